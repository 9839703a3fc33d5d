#include "foundation/default_configs.h"

namespace zelko::plenar::agent {

namespace {

constexpr char kZelkoPlenarAgentConfig[] = R"(
{
    "type": "zelko-plenar-agent json config",
    "cloud": {
        "stack": "prod"
    }
}
)";

// The retry policies of the states and tasks: standard, subscription ("sub") and
// five-minute-fetch documents.
constexpr char kZelkoRetriesConfig[] = R"(
{
    "states": {
        "FailureState": "attest",
        "Attestating": "attest",
        "AttestatingPoP": "attest",
        "Discovery": "discovery",
        "PreEnrollZelko": "enroll",
        "EnrollZelko": "enroll",
        "RequiredOnStarting": "enroll",
        "Enroll1E": "enroll",
        "PollEnrollZelkoStatus": "poll",
        "GettingIotCreds": "iot",
        "ConnectingToIot": "iot_conn",
        "RemoteJobsProcessing": "jobs",
        "tavragent-config_fetch": "refetch",
        "tavragent-config_sub": "fetch",
        "job-corvane-grants_fetch": "fetch",
        "job-corvane-grants_sub": "fetch",
        "job-corvane-policies_fetch": "fetch",
        "job-corvane-policies_sub": "fetch",
        "CorvaneEnrollment": "corvane",
        "ResetDataValveClient": "reset_data_valve",
        "CollectPerformance": "perf",
        "PerformanceMeasure": "month"
    },
    "policies": {
        "month": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 1, "units": "min"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 720, "units": "hr"}, "interval": {"count": 1, "units": "hr"}, "interval_type": "StartingWithBase"}
        },
        "reset_data_valve": {
            "type": "Exp",
            "end_type": "Reset",
            "initial_delay": {"base_value": {"count": 30, "units": "sec"}, "interval": {"count": 100, "units": "milli"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 30, "units": "sec"}, "interval_type": "StartingWithBase"},
            "max_delay": {"base_value": {"count": 12, "units": "hr"}, "interval": {"count": 10, "units": "min"}, "interval_type": "StartingWithBase"},
            "end_time": {"base_value": {"count": 12, "units": "hr"}, "interval": {"count": 30, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "refetch": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 2, "units": "sec"}, "interval": {"count": 100, "units": "milli"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 12, "units": "hr"}, "interval": {"count": 30, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "iot": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 2, "units": "sec"}, "interval": {"count": 100, "units": "milli"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 4, "units": "hr"}, "interval": {"count": 15, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "iot_conn": {
            "type": "Exp",
            "end_type": "Reset",
            "initial_delay": {"base_value": {"count": 2, "units": "sec"}, "interval": {"count": 100, "units": "milli"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 2, "units": "min"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "max_delay": {"base_value": {"count": 30, "units": "min"}, "interval": {"count": 30, "units": "sec"}, "interval_type": "StartingWithBase"},
            "end_time": {"base_value": {"count": 2, "units": "hr"}, "interval": {"count": 2, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "fetch": {
            "type": "Exp",
            "end_type": "Reset",
            "initial_delay": {"base_value": {"count": 2, "units": "min"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 2, "units": "min"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "max_delay": {"base_value": {"count": 4, "units": "hr"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "end_time": {"base_value": {"count": 6, "units": "hr"}, "interval": {"count": 30, "units": "sec"}, "interval_type": "StartingWithBase"}
        },
        "jobs": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "sec"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 24, "units": "hr"}, "interval": {"count": 30, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "attest": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "sec"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 24, "units": "hr"}, "interval": {"count": 30, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "corvane": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "sec"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 1, "units": "hr"}, "interval": {"count": 15, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "perf": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "sec"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 1, "units": "hr"}, "interval": {"count": 15, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "discovery": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 10, "units": "milli"}, "interval": {"count": 0, "units": "milli"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 10, "units": "milli"}, "interval": {"count": 0, "units": "milli"}, "interval_type": "StartingWithBase"}
        },
        "enroll": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "sec"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 4, "units": "hr"}, "interval": {"count": 30, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "poll": {
            "type": "Exp",
            "end_type": "Stop",
            "initial_delay": {"base_value": {"count": 7, "units": "sec"}, "interval": {"count": 5, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 3, "units": "sec"}, "interval": {"count": 100, "units": "milli"}, "interval_type": "StartingWithBase"},
            "max_delay": {"base_value": {"count": 30, "units": "sec"}, "interval": {"count": 100, "units": "milli"}, "interval_type": "StartingWithBase"},
            "end_time": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 30, "units": "sec"}, "interval_type": "StartingWithBase"}
        },
        "local_delay": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "sec"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 30, "units": "min"}, "interval": {"count": 30, "units": "min"}, "interval_type": "StartingWithBase"}
        }
    }
}
)";

constexpr char kZelkoRetriesConfigSub[] = R"(
{
    "states": {
        "FailureState": "attest",
        "Attestating": "attest",
        "AttestatingPoP": "attest",
        "Discovery": "discovery",
        "PreEnrollZelko": "enroll",
        "EnrollZelko": "enroll",
        "RequiredOnStarting": "enroll",
        "Enroll1E": "enroll",
        "PollEnrollZelkoStatus": "poll",
        "GettingIotCreds": "iot",
        "ConnectingToIot": "iot_conn",
        "RemoteJobsProcessing": "jobs",
        "tavragent-config_fetch": "refetch",
        "tavragent-config_sub": "fetch",
        "job-corvane-grants_fetch": "fetch",
        "job-corvane-grants_sub": "fetch",
        "job-corvane-policies_fetch": "fetch",
        "job-corvane-policies_sub": "fetch",
        "CorvaneEnrollment": "corvane",
        "ResetDataValveClient": "reset_data_valve"
    },
    "policies": {
        "month": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 1, "units": "min"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 720, "units": "hr"}, "interval": {"count": 1, "units": "hr"}, "interval_type": "StartingWithBase"}
        },
        "reset_data_valve": {
            "type": "Exp",
            "end_type": "Reset",
            "initial_delay": {"base_value": {"count": 30, "units": "sec"}, "interval": {"count": 100, "units": "milli"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 2, "units": "min"}, "interval": {"count": 30, "units": "sec"}, "interval_type": "StartingWithBase"},
            "max_delay": {"base_value": {"count": 1, "units": "hr"}, "interval": {"count": 10, "units": "min"}, "interval_type": "StartingWithBase"},
            "end_time": {"base_value": {"count": 12, "units": "hr"}, "interval": {"count": 30, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "refetch": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 1, "units": "hr"}, "interval": {"count": 30, "units": "min"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 1, "units": "hr"}, "interval": {"count": 30, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "iot": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 2, "units": "sec"}, "interval": {"count": 100, "units": "milli"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 1, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "iot_conn": {
            "type": "Exp",
            "end_type": "Reset",
            "initial_delay": {"base_value": {"count": 2, "units": "sec"}, "interval": {"count": 100, "units": "milli"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 2, "units": "min"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "max_delay": {"base_value": {"count": 30, "units": "min"}, "interval": {"count": 30, "units": "sec"}, "interval_type": "StartingWithBase"},
            "end_time": {"base_value": {"count": 2, "units": "hr"}, "interval": {"count": 2, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "fetch": {
            "type": "Exp",
            "end_type": "Reset",
            "initial_delay": {"base_value": {"count": 2, "units": "min"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 2, "units": "min"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "max_delay": {"base_value": {"count": 4, "units": "hr"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "end_time": {"base_value": {"count": 6, "units": "hr"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"}
        },
        "jobs": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "sec"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 24, "units": "hr"}, "interval": {"count": 30, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "attest": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "sec"}, "interval": {"count": 5, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 5, "units": "sec"}, "interval_type": "StartingWithBase"},
            "max_delay": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 5, "units": "sec"}, "interval_type": "StartingWithBase"}
        },
        "corvane": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "sec"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 1, "units": "hr"}, "interval": {"count": 15, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "discovery": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 10, "units": "milli"}, "interval": {"count": 0, "units": "milli"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 10, "units": "milli"}, "interval": {"count": 0, "units": "milli"}, "interval_type": "StartingWithBase"}
        },
        "enroll": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "sec"}, "interval": {"count": 5, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 5, "units": "sec"}, "interval_type": "StartingWithBase"}
        },
        "poll": {
            "type": "Exp",
            "end_type": "Stop",
            "initial_delay": {"base_value": {"count": 7, "units": "sec"}, "interval": {"count": 5, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 3, "units": "sec"}, "interval": {"count": 100, "units": "milli"}, "interval_type": "StartingWithBase"},
            "max_delay": {"base_value": {"count": 30, "units": "sec"}, "interval": {"count": 100, "units": "milli"}, "interval_type": "StartingWithBase"},
            "end_time": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 30, "units": "sec"}, "interval_type": "StartingWithBase"}
        },
        "local_delay": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "sec"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 5, "units": "sec"}, "interval_type": "StartingWithBase"}
        }
    }
}
)";

constexpr char kZelkoRetriesConfigFetch5mins[] = R"(
{
    "states": {
        "FailureState": "attest",
        "Attestating": "attest",
        "AttestatingPoP": "attest",
        "Discovery": "discovery",
        "PreEnrollZelko": "enroll",
        "EnrollZelko": "enroll",
        "RequiredOnStarting": "enroll",
        "Enroll1E": "enroll",
        "PollEnrollZelkoStatus": "poll",
        "GettingIotCreds": "iot",
        "ConnectingToIot": "iot_conn",
        "RemoteJobsProcessing": "jobs",
        "tavragent-config_fetch": "refetch",
        "tavragent-config_sub": "fetch",
        "job-corvane-grants_fetch": "fetch",
        "job-corvane-grants_sub": "fetch",
        "job-corvane-policies_fetch": "fetch",
        "job-corvane-policies_sub": "fetch",
        "CorvaneEnrollment": "corvane",
        "ResetDataValveClient": "reset_data_valve",
        "CollectPerformance": "perf",
        "PerformanceMeasure": "month"
    },
    "policies": {
        "month": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 1, "units": "min"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 720, "units": "hr"}, "interval": {"count": 1, "units": "hr"}, "interval_type": "StartingWithBase"}
        },
        "reset_data_valve": {
            "type": "Exp",
            "end_type": "Reset",
            "initial_delay": {"base_value": {"count": 30, "units": "sec"}, "interval": {"count": 100, "units": "milli"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 2, "units": "min"}, "interval": {"count": 30, "units": "sec"}, "interval_type": "StartingWithBase"},
            "max_delay": {"base_value": {"count": 1, "units": "hr"}, "interval": {"count": 10, "units": "min"}, "interval_type": "StartingWithBase"},
            "end_time": {"base_value": {"count": 12, "units": "hr"}, "interval": {"count": 30, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "refetch": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 2, "units": "sec"}, "interval": {"count": 100, "units": "milli"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 30, "units": "sec"}, "interval_type": "StartingWithBase"}
        },
        "iot": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 2, "units": "sec"}, "interval": {"count": 100, "units": "milli"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 1, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "iot_conn": {
            "type": "Exp",
            "end_type": "Reset",
            "initial_delay": {"base_value": {"count": 2, "units": "sec"}, "interval": {"count": 100, "units": "milli"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 2, "units": "min"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "max_delay": {"base_value": {"count": 30, "units": "min"}, "interval": {"count": 30, "units": "sec"}, "interval_type": "StartingWithBase"},
            "end_time": {"base_value": {"count": 2, "units": "hr"}, "interval": {"count": 2, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "fetch": {
            "type": "Exp",
            "end_type": "Reset",
            "initial_delay": {"base_value": {"count": 2, "units": "min"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 2, "units": "min"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "max_delay": {"base_value": {"count": 4, "units": "hr"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "end_time": {"base_value": {"count": 6, "units": "hr"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"}
        },
        "jobs": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "sec"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 24, "units": "hr"}, "interval": {"count": 30, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "attest": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "sec"}, "interval": {"count": 5, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 5, "units": "sec"}, "interval_type": "StartingWithBase"}
        },
        "corvane": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "sec"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 1, "units": "hr"}, "interval": {"count": 15, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "perf": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 1, "units": "hr"}, "interval": {"count": 15, "units": "min"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 1, "units": "hr"}, "interval": {"count": 15, "units": "min"}, "interval_type": "StartingWithBase"}
        },
        "discovery": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 10, "units": "milli"}, "interval": {"count": 0, "units": "milli"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 10, "units": "milli"}, "interval": {"count": 0, "units": "milli"}, "interval_type": "StartingWithBase"}
        },
        "enroll": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "sec"}, "interval": {"count": 5, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 5, "units": "sec"}, "interval_type": "StartingWithBase"}
        },
        "poll": {
            "type": "Exp",
            "end_type": "Stop",
            "initial_delay": {"base_value": {"count": 7, "units": "sec"}, "interval": {"count": 5, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 3, "units": "sec"}, "interval": {"count": 100, "units": "milli"}, "interval_type": "StartingWithBase"},
            "end_time": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 30, "units": "sec"}, "interval_type": "StartingWithBase"}
        },
        "local_delay": {
            "type": "Linear",
            "end_type": "Infinite",
            "initial_delay": {"base_value": {"count": 5, "units": "sec"}, "interval": {"count": 15, "units": "sec"}, "interval_type": "StartingWithBase"},
            "diff_or_base": {"base_value": {"count": 5, "units": "min"}, "interval": {"count": 5, "units": "sec"}, "interval_type": "StartingWithBase"}
        }
    }
}
)";

constexpr char kZelkoSchedulerConfig[] = R"(
{
    "type": "Scheduler json config",
    "hourly_is_date_based": false,
    "hourly_fake_min": 60
}
)";

constexpr char kConsentBridgeModuleConfig[] = R"(
{
    "stacks": {
        "prod": {"stackName": "prod", "host": "https://consent.zelko.com/"}
    }
}
)";

// The IoT side of the cloud: one stack, "prod". The "dev" stack exists only in configuration
// files written for a local cloud.
constexpr char kConnectivityModuleConfig[] = R"(
{
    "type": "Connectivity module json config",
    "cloud": {
        "stacks": {
            "prod": {
                "stackName": "prod",
                "dataValve": {
                    "version": "1.3.0",
                    "originator": {
                        "detailType": "com.zelko.cdm.domain.telemetry.type.originatorDetail.originator.personalComputer.version.1",
                        "details": {
                            "version": "1.0.0"
                        }
                    },
                    "endpointUrl": "https://api.us-east-1.pciot.zelko.com/clientdatavalvecontroller"
                },
                "iot": {
                    "telemetryTopic": "$aws/rules/pciot_telemetry_events_rule_prod/",
                    "corvaneEnrollmentTopic": "$aws/rules/pciot_notifications_rule_prod/"
                },
                "enrollment_v2": {
                    "discoveryUri": "https://discovery.pciot.zelko.com/v2/services",
                    "enrollmentUri": "https://api.us-east-1.pciot.zelko.com/pciot-enrollment/v1/tpm",
                    "enrollmentStatusUri": "https://api.us-east-1.pciot.zelko.com/pciot-enrollment/v1/status",
                    "preEnrollmentUri": "https://api.us-east-1.pciot.zelko.com/pciot-enrollment/v1/challenge"
                },
                "enrollment_1e": {
                    "preEnrollmentUri": "https://api.us-east-1.pciot.zelko.com/pciot-attestation/v1/{deviceUniqueId}/pre",
                    "enrollmentUri": "https://api.us-east-1.pciot.zelko.com/pciot-attestation/v1/{deviceUniqueId}/attestnotpm"
                },
                "attestation": {
                    "attestUri": "https://api.us-east-1.pciot.zelko.com/pciot-attestation/v1/{deviceUniqueId}/attest",
                    "possesionUri": "https://api.us-east-1.pciot.zelko.com/pciot-attestation/v1/{deviceUniqueId}/pop",
                    "certificateUri": "https://api.us-east-1.pciot.zelko.com/pciot-attestation/v1/{deviceUniqueId}/iak/mock_device_1"
                }
            }
        }
    }
}
)";

constexpr char kOnboardingModuleConfig[] = R"(
{
    "onboarding_path": "/pciot-autoprovisiong/v1/device",
    "stacks": {
        "prod": {
            "host": "https://api.us-east-1.pciot.zelko.com",
            "stackName": "prod"
        }
    }
}
)";

constexpr char kTelemetryModuleConfig[] = R"(
{
    "type": "Telemtry Module json config",
    "pluginsFolder": "%programdata%/Zelko/Telemetry/collectors",
    "collectors": [
        {
            "name": "zelko-telemetry-device-info-collector",
            "events": [
                {
                    "dwControl": 13,
                    "dwEventType": 18
                },
                {
                    "dwControl": 220
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-hw-info-collector",
            "events": [
                {
                    "dwControl": 13,
                    "dwEventType": 18
                },
                {
                    "dwControl": 220
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-os-info-collector",
            "events": [
                {
                    "dwControl": 13,
                    "dwEventType": 18
                },
                {
                    "dwControl": 220
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-fw-info-collector",
            "events": [
                {
                    "dwControl": 13,
                    "dwEventType": 18
                },
                {
                    "dwControl": 220
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-peripheral-collector",
            "events": [
                {
                    "dwControl": 11,
                    "dwEventType": 32768
                },
                {
                    "dwControl": 11,
                    "dwEventType": 32772
                },
                {
                    "dwControl": 230,
                    "dwEventType": 50
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-1E-data-collector",
            "events": [
                {
                    "dwControl": 230,
                    "dwEventType": 20
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-performance-samples-collector",
            "events": [
                {
                    "dwControl": 230,
                    "dwEventType": 1
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-power-state-collector",
            "events": [
                {
                    "dwControl": 13
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-peripherals-summary-collector",
            "events": [
                {
                    "dwControl": 230,
                    "dwEventType": 30
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-device-position-summary-collector",
            "events": [
                {
                    "dwControl": 230,
                    "dwEventType": 30
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-app-inventory-summary-collector",
            "events": [
                {
                    "dwControl": 230,
                    "dwEventType": 30
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-top-apps-summary-collector",
            "events": [
                {
                    "dwControl": 230,
                    "dwEventType": 30
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-battery-health-collector",
            "events": [
                {
                    "dwControl": 230,
                    "dwEventType": 20
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-storage-health-collector",
            "events": [
                {
                    "dwControl": 230,
                    "dwEventType": 20
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-sleep-report-collector",
            "events": [
                {
                    "dwControl": 230,
                    "dwEventType": 20
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-boot-health-collector",
            "events": [
                {
                    "dwControl": 13,
                    "dwEventType": 18
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-windows-events-collector",
            "events": [
                {
                    "comment": "System sleep and wake events",
                    "comment1": "Channels 0-System, 1-Application, 2-Security, 3-Setup, 4-ForwaredEvents",
                    "comment2": "Event id 506",
                    "dwControl": 240,
                    "dwEventType": 506,
                    "dwChannel": 0
                },
                {
                    "comment": "System sleep and wake events",
                    "comment1": "Channels 0-System, 1-Application, 2-Security, 3-Setup, 4-ForwaredEvents",
                    "comment2": "Event id 507",
                    "dwControl": 240,
                    "dwEventType": 507,
                    "dwChannel": 0
                }
            ],
            "version": ">=1.0.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-device-location-info-collector",
            "events": [
                {
                    "dwControl": 230,
                    "dwEventType": 20
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-battery-usage-collector",
            "events": [
                {
                    "dwControl": 230,
                    "dwEventType": 20
                }
            ],
            "version": ">=1.0.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-battery-usage-summary-collector",
            "events": [
                {
                    "dwControl": 230,
                    "dwEventType": 20
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-diagnostics-collector",
            "events": [
                {
                    "comment": "Application diagnostics events",
                    "comment1": "Channels 0-System, 1-Application, 2-Security, 3-Setup, 4-ForwaredEvents",
                    "comment2": "Event id 134",
                    "dwControl": 240,
                    "dwEventType": 134,
                    "dwChannel": 1
                },
                {
                    "comment": "Application diagnostics events",
                    "comment1": "Channels 0-System, 1-Application, 2-Security, 3-Setup, 4-ForwaredEvents",
                    "comment2": "Event id 135",
                    "dwControl": 240,
                    "dwEventType": 135,
                    "dwChannel": 1
                }
            ],
            "version": ">=1.0.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-windows-updates-collector",
            "events": [
                {
                    "comment": "Windows update installation events",
                    "comment1": "Channels 0-System, 1-Application, 2-Security, 3-Setup, 4-ForwaredEvents",
                    "comment2": "Event id 19",
                    "dwControl": 240,
                    "dwEventType": 19,
                    "dwChannel": 0
                },
                {
                    "comment": "Windows update installation events",
                    "comment1": "Channels 0-System, 1-Application, 2-Security, 3-Setup, 4-ForwaredEvents",
                    "comment2": "Event id 20",
                    "dwControl": 240,
                    "dwEventType": 20,
                    "dwChannel": 0
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        },
        {
            "name": "zelko-telemetry-data-cleanup",
            "events": [
                {
                    "dwControl": 230,
                    "dwEventType": 20
                }
            ],
            "version": ">=1.2.0",
            "postpone": "All",
            "configuration": {}
        }
    ]
}
)";

constexpr char kAcmModuleConfig[] = R"(
{
    "type": "Acm Module json config",
    "workFolder": "%programdata%/Zelko/ACM/",
    "taskQueuePath": "%programdata%/Zelko/ACM/",
    "corvaneSchemaPath": "%programdata%/Zelko/Acm/Schema/corvane-config-schema-v1.json",
    "defaultSchedule": 60
}
)";

}  // namespace

// One entry per configuration file that has a built-in default. The document replaces a missing or
// unreadable file whole. Variant documents: file name + "#sub" or "#fetch5mins".
const DefaultConfigTable& DefaultConfigs() {
    static const DefaultConfigTable table = {
        {"zelko-plenar-agent-config.json", kZelkoPlenarAgentConfig},
        {"zelko-retries-config.json", kZelkoRetriesConfig},
        {"zelko-retries-config.json#sub", kZelkoRetriesConfigSub},
        {"zelko-retries-config.json#fetch5mins", kZelkoRetriesConfigFetch5mins},
        {"zelko-scheduler-config.json", kZelkoSchedulerConfig},
        {"consent-bridge-module-config.json", kConsentBridgeModuleConfig},
        {"connectivity-module-config.json", kConnectivityModuleConfig},
        {"onboarding-module-config.json", kOnboardingModuleConfig},
        {"telemetry-module-config.json", kTelemetryModuleConfig},
        {"acm-module-config.json", kAcmModuleConfig},
        // "vev-e-module-config.json" is kept by its module.
    };
    return table;
}

std::string_view VariantSuffix(ConfigVariant variant) {
    switch (variant) {
        case ConfigVariant::Subscription:
            return "#sub";
        case ConfigVariant::Fetch5mins:
            return "#fetch5mins";
        case ConfigVariant::Standard:
            break;
    }
    return "";
}

const std::string* FindDefaultConfig(const DefaultConfigTable& table, std::string_view file_name,
                                     ConfigVariant variant) {
    if (variant != ConfigVariant::Standard) {
        std::string key(file_name);
        key += VariantSuffix(variant);
        if (auto it = table.find(key); it != table.end()) return &it->second;
    }
    if (auto it = table.find(file_name); it != table.end()) return &it->second;
    return nullptr;
}

}  // namespace zelko::plenar::agent
