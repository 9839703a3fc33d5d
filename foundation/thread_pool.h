#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace zelko::plenar::agent {

// Fixed set of threads that take jobs from one first-in first-out queue. A job gets the index of
// the thread that runs it. The destructor lets every queued job run, then joins the threads.
class thread_pool {
  public:
    using job = std::packaged_task<void(int)>;

    // Throws std::system_error when a thread cannot be started; threads already started are
    // stopped and joined first.
    explicit thread_pool(int n);
    ~thread_pool();
    thread_pool(const thread_pool&) = delete;
    thread_pool& operator=(const thread_pool&) = delete;

    // The future holds the job's exception, if any; dropping it is fine.
    template <typename F>
    std::future<void> push(F&& f) {
        return push_job(job(std::forward<F>(f)));
    }

    int size() const { return static_cast<int>(threads.size()); }

  private:
    std::future<void> push_job(job j);
    bool try_pop(job& j);
    void worker_loop(int index);
    void stop();

    std::vector<std::thread> threads;
    std::deque<job> queue;
    std::mutex queue_mutex;
    std::atomic<bool> stopping{false};
    std::mutex pool_mutex;
    std::condition_variable pool_cv;
};

}  // namespace zelko::plenar::agent
