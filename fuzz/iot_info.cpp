// "iot-info.dat" as the connectivity module loads it: the whole file, in either layout.
#include <cstdint>
#include <string>

#include "fuzz/support.h"
#include "testing/fake_connectivity.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto* connectivity = new zelko::testing::FakeConnectivity();  // lives as long as the process
    static const auto path = zelko::fuzz::Root() / "iot-info.dat";
    zelko::fuzz::WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
    const auto info = connectivity->LoadIoTInfo(path);
    if (info) {
        // Every field the connection reads, as texts.
        for (const char* field : {info->GetRegion(), info->GetTenant(), info->GetEndpoint(), info->GetThingName(),
                                  info->GetCertificate(), info->GetCredsTopic(), info->GetsCredentialsShadowName(),
                                  info->GetCredentialEndpoint(), info->GetCredentialPath(), info->GetRootCA()})
            (void)std::string(field);
    }
    return 0;
}
