// An install job against the local cloud: the cloud's admin side publishes a job shadow and a signed
// installer; the job downloads it (resuming a cut transfer), checks the signature, starts it
// through the task facility, verifies what it did and reports its status shadow.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "connectivity/connectivity_module.h"
#include "jobs/install_component.h"
#include "jobs/windows_paths.h"
#include "outside/http/http_client.h"
#include "outside/iot/iot_info.h"
#include "outside/plugin_manager/validator.h"
#include "outside/s3/s3_client.h"
#include "testing/enrolled_device.h"
#include "testing/fake_device_info.h"
#include "testing/local_cloud.h"
#include "testing/log_capture.h"
#include "testing/named_features.h"
#include "testing/temp_system_root.h"

namespace zelko::plenar::agent {
namespace {

namespace fs = std::filesystem;
using cloud::test::Admin;
using cloud::test::Cloud;
using nlohmann::json;
using shared::error::Error;
using shared::http::HttpMethod;

int ServicesPort() {
    std::ifstream in(std::getenv("ZELKO_TEST_CLOUD"));
    return json::parse(in).at("services_port").get<int>();
}

void WriteText(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// An admin PUT of raw bytes (an object's content).
int PutRaw(const std::string& path, const std::string& bytes) {
    static shared::http::HttpClient client(nullptr, nullptr);
    shared::http::HttpRequest request(shared::http::HttpMethod::PUT,
                                      "http://127.0.0.1:" + std::to_string(Cloud().admin) + path, bytes, 10);
    request.AddHeader("Content-Type", "application/octet-stream");
    shared::http::IHttpResponse* response = nullptr;
    if (client.Perform(request, response)) return 0;
    const int status = response->GetStatusCode();
    shared::http::ReleaseHttpResponse(client.GetAllocator(), response);
    return status;
}

// A key made for the test only, and detached signatures with it (SHA-256, as the validator checks).
class TestKey {
  public:
    TestKey() { key_ = EVP_EC_gen("P-256"); }
    ~TestKey() { EVP_PKEY_free(key_); }
    void WritePublic(const fs::path& path) const {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        PEM_write_PUBKEY(file, key_);
        std::fclose(file);
    }
    std::string Sign(const std::string& bytes) const {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        size_t size = 0;
        EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key_);
        EVP_DigestSign(context, nullptr, &size, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        std::string signature(size, '\0');
        EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        EVP_MD_CTX_free(context);
        signature.resize(size);
        return signature;
    }

  private:
    EVP_PKEY* key_ = nullptr;
};

class InstallCloudTest : public zelko::testing::SystemRootTest {
  protected:
    void SetUp() override {
        SystemRootTest::SetUp();
        Admin(HttpMethod::DEL, "/faults");
        Admin(HttpMethod::DEL, "/device-faults");
        zelko::testing::TrustLocalCloud(scratch());

        thing_ = cloud::test::UniqueName("installer");
        device_->snrId = thing_;
        zelko::testing::WriteEnrolledDevice(scratch(), thing_);
        const std::string services = "https://127.0.0.1:" + std::to_string(ServicesPort());
        const auto config = zelko::testing::WriteConnectivityConfig(scratch() / "Configuration Files",
                                                                    zelko::testing::LocalCloudStack("telemetry/"));
        ConnectivityModule::Environment environment;
        environment.executableFolder = scratch();
        connectivity_ = std::make_shared<ConnectivityModule>(
            "dev", config.string(), nullptr, zelko::testing::FinderOf({"Managed"}), device_, nullptr, nullptr,
            std::make_shared<shared::s3::S3Client>(nullptr, services + "/objects"), false, nullptr, environment);
        const Error credentials = connectivity_->GetCredentials(false);
        ASSERT_FALSE(credentials) << credentials.what();
        key_.WritePublic(scratch() / "signing-key.pem");
        WriteText(scratch() / "install-component.json", "{}");
    }
    void TearDown() override {
        Admin(HttpMethod::DEL, "/device-faults");
        ::unsetenv("ZELKO_CLOUD_CA_FILE");
        connectivity_.reset();
        SystemRootTest::TearDown();
    }

    // Publishes the installer (a script that leaves a marker), its signature and the job shadow.
    void Publish(const std::string& job, const std::string& installer, const std::string& signature,
                 const json& validation = json()) {
        ASSERT_EQ(PutRaw("/objects/installers/" + job + ".sh", installer), 200);
        ASSERT_EQ(PutRaw("/objects/installers/" + job + ".sh.sig", signature), 200);
        const json data = {
            {"timestamp", "2026-12-10T12:00:00Z"},
            {"location_x64", "s3://installers/" + job + ".sh"},
            {"executor", "/bin/sh"},
            {"arguments", ""},
            {"validationParams",
             validation.is_null() ? json{{"files", {{{"path", Marker().string()}}}}} : validation}};
        ASSERT_EQ(Admin(HttpMethod::PUT, "/shadows/" + thing_ + "/" + job, {{"state", {{"desired", {{"data", data}}}}}})
                      .first,
                  200);
    }
    std::string Script() const {
        return "#!/bin/sh\n# A test installer: it only leaves a marker behind.\n# " + std::string(200, '-') +
               "\necho installed > '" + Marker().string() + "'\n";
    }
    fs::path Marker() const { return scratch() / "installed-marker"; }

    std::shared_ptr<InstallComponent> MakeJob(const std::string& name) {
        auto job = std::make_shared<InstallComponent>(
            (scratch() / "install-component.json").string(), nullptr, name, connectivity_,
            [this](bool, std::chrono::milliseconds delay, std::string) { reruns_.push_back(delay.count()); },
            nullptr, nullptr, nullptr, json{{"name", name}, {"ival", "60"}}, "C:\\A\\a.exe");
        job->actions.makeValidator = [this] {
            return std::make_unique<shared::plugin::Validator>(
                shared::plugin::ValidatorSettings{scratch() / "signing-key.pem", false});
        };
        job->actions.sleep = [this](std::chrono::seconds wait) { waits_.push_back(wait.count()); };
        job->actions.hasInternet = [] { return true; };
        return job;
    }
    void RunOnce(InstallComponent& job) {
        job.Process();
        std::lock_guard lock(job.taskMutex);
        if (job.processTask.valid()) job.processTask.wait();
    }
    json StatusShadow(const std::string& job) {
        auto [status, body] = Admin(HttpMethod::GET, "/shadows/" + thing_ + "/status-" + job);
        return status == 200 ? body : json();
    }
    bool WaitForMarker() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!fs::exists(Marker())) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    std::string thing_;
    std::shared_ptr<zelko::testing::FakeDeviceInfo> device_ = std::make_shared<zelko::testing::FakeDeviceInfo>();
    std::shared_ptr<ConnectivityModule> connectivity_;
    TestKey key_;
    std::vector<int64_t> reruns_;
    std::vector<int64_t> waits_;
    zelko::testing::LogCapture log_;
};

TEST_F(InstallCloudTest, SignedInstallerIsDownloadedResumedCheckedLaunchedVerifiedAndReported) {
    const std::string job_name = "job-test-install";
    const std::string script = Script();
    Publish(job_name, script, key_.Sign(script));
    // The first transfer is cut after 100 bytes.
    ASSERT_EQ(Admin(HttpMethod::POST, "/device-faults", {{"endpoint", "objects-get"}, {"cut_after", 100}, {"count", 1}})
                  .first,
              200);
    auto job = MakeJob(job_name);

    RunOnce(*job);
    EXPECT_EQ(job->LastStatus(), Downloading);
    EXPECT_EQ(job->updateLog.back().downloadedbytes, 100u);
    EXPECT_TRUE(log_.Contains(logging::info, "Install component: " + job_name + " Download interruptedBytes: 100"));

    // The next run continues at byte 100, checks the signature and starts the installer.
    RunOnce(*job);
    const json reads = Admin(HttpMethod::GET, "/object-reads").second;
    json ranges = json::array();
    for (const auto& read : reads)
        if (read["object"] == "installers/" + job_name + ".sh") ranges.push_back(read["range"]);
    EXPECT_EQ(ranges, json({"", "bytes=100-"}));
    std::ifstream downloaded(winpath::ToNative(job->installerPath), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(downloaded), {}), script);
    EXPECT_EQ(waits_, (std::vector<int64_t>{15}));
    EXPECT_TRUE(log_.Contains(logging::info, "Install component: " + job_name + " Windows task created."));

    ASSERT_TRUE(WaitForMarker()) << "the task facility ran the installer";
    // Awaiting the installation, the job is asked to look again; it finds it installed.
    for (int i = 0; i < 3 && StatusShadow(job_name).is_null(); ++i) RunOnce(*job);
    const json status = StatusShadow(job_name);
    ASSERT_FALSE(status.is_null());
    EXPECT_EQ(status["state"]["desired"]["data"]["code"], "0");
    EXPECT_EQ(status["state"]["desired"]["data"]["message"], "Success");
    EXPECT_EQ(job->LastStatus(), Idle);
    EXPECT_EQ(job->updateLog[job->updateLog.size() - 2].status, Succeeded);
    // The job shadow is removed once done.
    EXPECT_EQ(Admin(HttpMethod::GET, "/shadows/" + thing_ + "/" + job_name).first, 404);
}

TEST_F(InstallCloudTest, RestartAfterSuccessLaunchesNothingAndReportsNothingAgain) {
    const std::string job_name = "job-test-restart";
    // The installer counts its launches; the job document names nothing to check.
    const std::string script = "#!/bin/sh\necho launched >> '" + Marker().string() + "'\n";
    Publish(job_name, script, key_.Sign(script), json::object());
    {
        auto job = MakeJob(job_name);
        for (int i = 0; i < 3 && StatusShadow(job_name).is_null(); ++i) RunOnce(*job);
        ASSERT_EQ(job->LastStatus(), Idle);
        EXPECT_EQ(job->updateLog[job->updateLog.size() - 2].status, Succeeded);
    }
    const json reported = StatusShadow(job_name);
    ASSERT_FALSE(reported.is_null());
    EXPECT_EQ(reported["state"]["desired"]["data"]["message"], "Success");
    ASSERT_TRUE(WaitForMarker());
    EXPECT_EQ(log_.Count(logging::info, "Install component: " + job_name + " Windows task created."), 1);

    // The agent starts again: the job is built anew over its folder, run, and its keeping started
    // as the service does for a cache that shows a success; a rerun the keeping asked for follows.
    auto job = MakeJob(job_name);
    RunOnce(*job);
    job->Monitor();
    {
        std::lock_guard lock(job->taskMutex);
        if (job->monitorTask.valid()) job->monitorTask.wait();
    }
    RunOnce(*job);
    EXPECT_EQ(job->LastStatus(), Idle);
    EXPECT_FALSE(log_.Contains(logging::error, "Installed verion requires a repair"));
    EXPECT_EQ(log_.Count(logging::info, "Install component: " + job_name + " Windows task created."), 1);
    EXPECT_EQ(StatusShadow(job_name), reported);
    std::ifstream launches(Marker());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(launches), {}), "launched\n");
}

TEST_F(InstallCloudTest, TamperedInstallerIsNeverRunAndFailureIsReported) {
    const std::string job_name = "job-test-tampered";
    const std::string script = Script();
    Publish(job_name, script + "echo extra\n", key_.Sign(script));
    auto job = MakeJob(job_name);
    for (int i = 0; i < 12 && StatusShadow(job_name).is_null(); ++i) RunOnce(*job);
    const json status = StatusShadow(job_name);
    ASSERT_FALSE(status.is_null());
    EXPECT_EQ(status["state"]["desired"]["data"]["code"], "1");
    EXPECT_EQ(status["state"]["desired"]["data"]["message"], "Failure");
    // Four checks of three tries each, every one after its wait.
    EXPECT_EQ(waits_.size(), 12u);
    EXPECT_FALSE(fs::exists(Marker()));
    EXPECT_FALSE(log_.Contains(logging::info, "Install component: " + job_name + " Windows task created."));
}

bool WaitForRead(const std::string& object) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        for (const auto& read : Admin(HttpMethod::GET, "/object-reads").second)
            if (read["object"] == object) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST_F(InstallCloudTest, EndingJobCancelsItsDownload) {
    const std::string job_name = "job-test-cancel";
    const std::string script = Script();
    Publish(job_name, script, key_.Sign(script));
    // The object store holds the answer back long enough for the job to end meanwhile.
    ASSERT_EQ(Admin(HttpMethod::POST, "/device-faults", {{"endpoint", "objects-get"}, {"delay_ms", 700}, {"count", 1}})
                  .first,
              200);
    auto job = MakeJob(job_name);
    const std::string folder = job->jobFolder;
    job->Process();
    ASSERT_TRUE(WaitForRead("installers/" + job_name + ".sh"));
    job.reset();
    // The run ended at the interrupted download: nothing was checked or started.
    std::ifstream in(winpath::ToNative(folder + "\\Cache.json"));
    const json cache = json::parse(in);
    EXPECT_EQ(cache["UpdateLog"].back()["status"], Downloading);
    EXPECT_EQ(cache["UpdateLog"].back()["downloadedbytes"], 0);
    EXPECT_TRUE(waits_.empty());
    EXPECT_TRUE(log_.Contains(logging::info, "Install component: " + job_name + " Download interruptedBytes: 0"));
}

}  // namespace
}  // namespace zelko::plenar::agent
