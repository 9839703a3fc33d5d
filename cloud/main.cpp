// zelko-local-cloud: the local stand-in for the maker's cloud (see README).

#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <nlohmann/json.hpp>

#include "cloud/local_ca.h"
#include "cloud/local_cloud.h"
#include "outside/iot/iot_info.h"

namespace {

int IssueCertificate(const std::filesystem::path& data, const std::string& thing, const std::filesystem::path& out) {
    zelko::cloud::LocalCa ca(data / "ca");
    zelko::cloud::IssuedCertificate issued = ca.IssueDevice(thing);
    std::filesystem::create_directories(out);
    zelko::cloud::WritePrivateFile(out / zelko::shared::iot::kStoreCertificateFile, issued.certificate);
    zelko::cloud::WritePrivateFile(out / zelko::shared::iot::kStorePrivateKeyFile, issued.privateKey);
    zelko::cloud::WritePrivateFile(out / "ca.pem", ca.CertificatePem());
    std::cout << "Certificate for thing " << thing << " written to " << out.string() << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("zelko-local-cloud: a local broker, device endpoints and admin side on 127.0.0.1");
    std::filesystem::path data = "local-cloud";
    zelko::cloud::LocalCloud::Settings settings;
    std::filesystem::path readyFile;
    app.add_option("--data", data, "Folder of the CA, certificates and broker files (made when missing)");
    app.add_option("--https-port", settings.httpsPort, "Device HTTPS port (0: a free port)");
    app.add_option("--mqtt-port", settings.mqttPort, "Broker port (0: a free port)");
    app.add_option("--admin-port", settings.adminPort, "Admin HTTP port (0: a free port)");
    app.add_option("--consent-port", settings.consentPort, "Consent service HTTP port (0: a free port)");
    app.add_option("--services-port", settings.servicesPort, "Device services HTTPS port (0: a free port)");
    app.add_option("--ready-file", readyFile, "Write the ports as JSON here once everything listens");
    auto* issue = app.add_subcommand("issue-certificate", "Issue a device certificate from the local CA");
    std::string thing;
    std::filesystem::path out;
    issue->add_option("--thing", thing, "Thing name (the certificate's CN)")->required();
    issue->add_option("--out", out, "Folder for certificate.pem, private_key.pem and ca.pem")->required();
    issue->fallthrough();
    CLI11_PARSE(app, argc, argv);

    try {
        data = std::filesystem::absolute(data);
        if (*issue) return IssueCertificate(data, thing, out);

        // Signals are taken by sigwait below, not by whichever thread they land on.
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        signal(SIGPIPE, SIG_IGN);

        settings.folder = data;
        zelko::cloud::LocalCloud cloud(settings);
        cloud.Start();
        const nlohmann::json ready = {{"https_port", cloud.HttpsPort()},
                                      {"mqtt_port", cloud.MqttPort()},
                                      {"admin_port", cloud.AdminPort()},
                                      {"consent_port", cloud.ConsentPort()},
                                      {"services_port", cloud.ServicesPort()},
                                      {"ca_file", cloud.Ca().CertificateFile().string()},
                                      {"folder", data.string()},
                                      {"pid", static_cast<int>(getpid())}};
        if (!readyFile.empty()) {
            const auto temp = readyFile.string() + ".tmp";
            std::ofstream(temp) << ready.dump() << "\n";
            std::filesystem::rename(temp, readyFile);
        }
        std::cout << "zelko-local-cloud ready\n"
                  << "  device HTTPS  https://127.0.0.1:" << cloud.HttpsPort() << "\n"
                  << "  MQTT (TLS)    127.0.0.1:" << cloud.MqttPort() << "\n"
                  << "  admin         http://127.0.0.1:" << cloud.AdminPort() << "\n"
                  << "  consent       http://127.0.0.1:" << cloud.ConsentPort() << "/\n"
                  << "  services      https://127.0.0.1:" << cloud.ServicesPort() << "\n"
                  << "  CA            " << cloud.Ca().CertificateFile().string() << "\n"
                  << "Ctrl-C stops it." << std::endl;
        int received = 0;
        sigwait(&signals, &received);
        std::cout << "Stopping." << std::endl;
        cloud.Stop();
        if (!readyFile.empty()) std::filesystem::remove(readyFile);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "zelko-local-cloud: " << e.what() << std::endl;
        return 1;
    }
}
