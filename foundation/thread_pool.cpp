#include "foundation/thread_pool.h"

namespace zelko::plenar::agent {

thread_pool::thread_pool(int n) {
    threads.reserve(n > 0 ? n : 0);
    try {
        for (int i = 0; i < n; ++i) threads.emplace_back([this, i] { worker_loop(i); });
    } catch (...) {
        stop();
        throw;
    }
}

thread_pool::~thread_pool() { stop(); }

void thread_pool::stop() {
    stopping.store(true);
    {
        std::lock_guard lock(pool_mutex);
        pool_cv.notify_all();
    }
    for (auto& thread : threads) {
        if (thread.joinable()) thread.join();
    }
}

std::future<void> thread_pool::push_job(job j) {
    auto done = j.get_future();
    {
        std::lock_guard lock(queue_mutex);
        queue.push_back(std::move(j));
    }
    std::lock_guard lock(pool_mutex);
    pool_cv.notify_one();
    return done;
}

bool thread_pool::try_pop(job& j) {
    std::lock_guard lock(queue_mutex);
    if (queue.empty()) return false;
    j = std::move(queue.front());
    queue.pop_front();
    return true;
}

void thread_pool::worker_loop(int index) {
    for (;;) {
        job j;
        while (try_pop(j)) {
            j(index);  // a throwing job keeps its exception in its future
            j = job();
        }
        {
            std::unique_lock lock(pool_mutex);
            pool_cv.wait(lock, [&] { return try_pop(j) || stopping.load(); });
        }
        if (!j.valid()) return;  // stopping and nothing queued
        j(index);
    }
}

}  // namespace zelko::plenar::agent
