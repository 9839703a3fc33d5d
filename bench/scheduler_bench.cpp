// The agent scheduler: latency from posting In(0) to the run, throughput of posted callables, and
// the processor time of an idle scheduler.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "foundation/scheduler.h"

namespace {

using zelko::plenar::agent::Duration;
using zelko::plenar::agent::Scheduler;
using SteadyClock = std::chrono::steady_clock;

class Signal {
  public:
    void Set() {
        std::lock_guard lock(mutex_);
        set_ = true;
        cv_.notify_one();
    }
    void Wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return set_; });
        set_ = false;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

void BM_SchedulerInZeroLatency(benchmark::State& state) {
    Scheduler scheduler("-bench");
    Signal ran;
    SteadyClock::time_point run_at;
    for (auto _ : state) {
        const auto posted = SteadyClock::now();
        scheduler.In(Duration(0), [&] {
            run_at = SteadyClock::now();
            ran.Set();
        });
        ran.Wait();
        state.SetIterationTime(std::chrono::duration<double>(run_at - posted).count());
    }
    scheduler.Destroy();
}
BENCHMARK(BM_SchedulerInZeroLatency)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_SchedulerThroughput100k(benchmark::State& state) {
    constexpr int kCallables = 100'000;
    Scheduler scheduler("-bench");
    Signal done;
    for (auto _ : state) {
        std::atomic<int> count{0};
        for (int i = 0; i < kCallables; ++i) {
            scheduler.In(Duration(0), [&] {
                if (count.fetch_add(1, std::memory_order_relaxed) + 1 == kCallables) done.Set();
            });
        }
        done.Wait();
    }
    state.SetItemsProcessed(state.iterations() * kCallables);
    scheduler.Destroy();
}
BENCHMARK(BM_SchedulerThroughput100k)->Unit(benchmark::kMillisecond)->UseRealTime();

double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Processor time of the whole process while a scheduler waits for an entry an hour away.
void BM_IdleSchedulerCpu(benchmark::State& state) {
    Scheduler scheduler("-bench");
    scheduler.In(std::chrono::hours(1), [] {});
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        const double cpu_before = ProcessCpuSeconds();
        const auto start = SteadyClock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        wall += std::chrono::duration<double>(SteadyClock::now() - start).count();
        cpu += ProcessCpuSeconds() - cpu_before;
    }
    state.counters["cpu_ms_per_s"] = wall > 0 ? cpu * 1000 / wall : 0;
    scheduler.Destroy();
}
BENCHMARK(BM_IdleSchedulerCpu)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
