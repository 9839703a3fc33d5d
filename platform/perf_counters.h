#pragma once

// Performance counters in the shape of the system's counter queries: a query holds counters named
// by path, each collect takes one reading of all of them, and a formatted value compares the last
// two readings for rates. On Linux the readings come from /proc.
//
// Supported paths (names compared without regard to case):
//   \Process(<instance>)\% Processor Time      share of one processor, in percent (rate)
//   \Process(<instance>)\Working Set            resident memory in bytes
//   \Process(<instance>)\IO Data Bytes/sec      bytes read and written per second (rate)
//   \Processor(_Total)\% Processor Time        share of all processors, in percent (rate)
// The instance of a process is its executable's file name without the extension (the lowest
// process id wins when several run). A counter of a process that does not run is added; its
// values are invalid until the process runs.

#include <cstdint>
#include <optional>
#include <string>

namespace zelko::platform {

// Status numbers of the counter calls, as the system numbers them.
using PdhStatus = uint32_t;
constexpr PdhStatus kPdhOk = 0;
constexpr PdhStatus kPdhCstatusNoInstance = 0x800007D1;
constexpr PdhStatus kPdhNoData = 0x800007D5;
constexpr PdhStatus kPdhCstatusNoObject = 0xC0000BB8;
constexpr PdhStatus kPdhCstatusNoCounter = 0xC0000BB9;
constexpr PdhStatus kPdhInvalidHandle = 0xC0000BBC;
constexpr PdhStatus kPdhInvalidArgument = 0xC0000BBD;
constexpr PdhStatus kPdhCstatusBadCountername = 0xC0000BC0;
constexpr PdhStatus kPdhInvalidData = 0xC0000BC6;

constexpr uint32_t kPdhFmtLong = 0x100;
constexpr uint32_t kPdhFmtDouble = 0x200;
constexpr uint32_t kPdhFmtLarge = 0x400;

struct PdhFmtCounterValue {
    uint32_t CStatus;
    union {
        int32_t longValue;
        double doubleValue;
        int64_t largeValue;
    };
};

struct PdhQueryTag;
using PdhQuery = PdhQueryTag*;
struct PdhCounterTag;
using PdhCounter = PdhCounterTag*;

// Only the live data of the local machine (no data source).
PdhStatus PdhOpenQuery(const char16_t* data_source, uintptr_t user_data, PdhQuery* query);
PdhStatus PdhAddCounter(PdhQuery query, const char16_t* path, uintptr_t user_data, PdhCounter* counter);
// kPdhNoData for a query without counters. A counter whose process does not run is no failure.
PdhStatus PdhCollectQueryData(PdhQuery query);
// kPdhInvalidData (value->CStatus tells why) when the counter has no valid value: a rate before
// its second reading or across a restart of its process, a process that does not run.
PdhStatus PdhGetFormattedCounterValue(PdhCounter counter, uint32_t format, uint32_t* type,
                                      PdhFmtCounterValue* value);
// Closes the query and its counters.
PdhStatus PdhCloseQuery(PdhQuery query);

struct SystemInfo {
    uint32_t dwNumberOfProcessors;
};
SystemInfo GetSystemInfo();

struct PerfCountersFake;

// Test seam: while alive, queries read from it instead of /proc (a newer one takes over from an
// older one until it goes). Every reading of a counter takes
// the value set for its counter name ("% Processor Time", "Working Set", "IO Data Bytes/sec"),
// which an invalid reading (nullopt) or a failing status can replace.
class ScopedFakePerfCounters {
  public:
    ScopedFakePerfCounters();
    ~ScopedFakePerfCounters();
    ScopedFakePerfCounters(const ScopedFakePerfCounters&) = delete;
    ScopedFakePerfCounters& operator=(const ScopedFakePerfCounters&) = delete;

    void SetOpenStatus(PdhStatus status);
    // Adding a counter of that name answers the status.
    void SetAddStatus(const std::u16string& counter_name, PdhStatus status);
    void SetCollectStatus(PdhStatus status);
    void SetValue(const std::u16string& counter_name, std::optional<double> value);
    // Collects made while alive.
    int Collects() const;

  private:
    PerfCountersFake* state_;
    PerfCountersFake* previous_;
};

}  // namespace zelko::platform
