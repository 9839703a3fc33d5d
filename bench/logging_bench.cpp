// Log lines per second through the agent's rolling log file (10 MiB, 3 files, CR LF, UTF-8).

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "foundation/logger.h"

namespace {

// One log file for the whole run, removed at exit.
class BenchLog {
  public:
    BenchLog() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zelko-bench-log-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) folder_ = pattern;
        appender_ = std::make_unique<zelko::plenar::agent::LogFileAppender>(folder_ / "zelko-bench.log");
        zelko::logging::init<0>(zelko::logging::info, appender_.get());
    }
    ~BenchLog() {
        std::error_code ec;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
    }

  private:
    std::filesystem::path folder_;
    std::unique_ptr<zelko::plenar::agent::LogFileAppender> appender_;
};

void EnsureLog() { static BenchLog log; }

void BM_LogLinesThroughRollingAppender(benchmark::State& state) {
    EnsureLog();
    int64_t i = 0;
    for (auto _ : state) {
        LOG_INFO << "Benchmark line " << ++i
                 << " with a payload of typical length: state=" << state.thread_index();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLinesThroughRollingAppender);
BENCHMARK(BM_LogLinesThroughRollingAppender)->Threads(4)->UseRealTime();

void BM_DroppedLogLine(benchmark::State& state) {
    EnsureLog();
    int64_t i = 0;
    for (auto _ : state) {
        LOG_DEBUG << "Dropped line " << ++i;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DroppedLogLine);

}  // namespace
