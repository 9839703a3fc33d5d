#pragma once

// The tests' view of the service: its private parts, named again as public. Test services derive
// from this rather than from Service, so the product keeps its members private.

#include "service/service.h"

namespace zelko::plenar::agent {

class TestableService : public Service {
  public:
    using Service::Service;
    // For the test service's own destructor: posted work may call its virtual functions.
    using Service::EndPostedWork;

    // States and the service's own tasks.
    using Service::NotInited;
    using Service::FailureState;
    using Service::Initializing;
    using Service::Onboarding;
    using Service::Attestating;
    using Service::AttestatingPoP;
    using Service::Discovery;
    using Service::PreEnrollZelko;
    using Service::EnrollZelko;
    using Service::PollEnrollZelkoStatus;
    using Service::GettingIotCreds;
    using Service::ConnectingToIot;
    using Service::UpdatingConsent;
    using Service::RequiredOnStarting;
    using Service::Processing;
    using Service::Stopping;
    using Service::WaitingForNetwork;
    using Service::RemoteJobsProcessing;

    // The shell, the documents and the device's standing.
    using Service::_svc_status;
    using Service::_svc_stop_event_handle;
    using Service::_app;
    using Service::_plugin_name;
    using Service::_plugin_payload_path;
    using Service::_cli_params_path;
    using Service::_config_folder;
    using Service::_agent_config;
    using Service::_install_component_config;
    using Service::_stack;
    using Service::_retry_config;
    using Service::_cert_store_policy;
    using Service::_cert_store_save_policy;
    using Service::_local_delay_policy;
    using Service::_state_file_path;
    using Service::_persisted_state;
    using Service::_stop_for_vxm;
    using Service::_is_vxm_managed_subscription;
    using Service::_is_sleeping;
    using Service::_startup_grace_done;

    // The service's own bookkeeping.
    using Service::RemoteConfigurations;
    ComplianceReports& Compliance() { return _compliance; }
    using Service::_device_info;
    using Service::_collect_perf;
    using Service::_current_state;
    using Service::_network_wait_queue;
    using Service::_scheduler;
    using Service::_modules;
    using Service::_power_events;
    using Service::_stopping;
    using Service::_required_on_start_done;
};

}  // namespace zelko::plenar::agent
