#include "outside/s3/s3_client.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "outside/http/http_errors.h"
#include "outside/iot/iot_credential.h"
#include "testing/scripted_http_client.h"
#include "testing/temp_system_root.h"

namespace zelko::shared::s3 {
namespace {

using namespace std::chrono_literals;

// An object store whose transfers stop after their first ten bytes until the test opens their
// gate; a transfer the client aborts ends as a cut transfer does.
class GatedHttpClient : public zelko::testing::ScriptedHttpClient {
  public:
    GatedHttpClient() : ScriptedHttpClient([](const http::HttpRequest&) { return Answer{200, "", {}}; }) {}
    using ScriptedHttpClient::Perform;

    error::Error Perform(const http::HttpRequest& request, http::IHttpResponse*& response,
                         const http::HttpBodySink& sink) override {
        const std::string url = request.GetUrl();
        const bool first_taken = sink("0123456789", 10);
        {
            std::unique_lock lock(mutex_);
            ++started_[url];
            changed_.notify_all();
            changed_.wait(lock, [&] { return open_.count(url) > 0; });
        }
        if (!first_taken || !sink("abcdefghij", 10)) {
            response = nullptr;
            return http::MakeTransferError(42, "Callback aborted");
        }
        return ScriptedHttpClient::Perform(request, response, sink);
    }
    bool WaitStarted(const std::string& url) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return started_[url] > 0; });
    }
    void Open(const std::string& url) {
        std::lock_guard lock(mutex_);
        open_[url] = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, int> started_;
    std::map<std::string, bool> open_;
};

struct Download {
    error::Error error;
    uint64_t size = 0;
    bool complete = false;
};

class S3ClientTest : public zelko::testing::SystemRootTest {
  protected:
    std::thread Start(const std::string& name, Download& out) {
        return std::thread([this, name, &out] {
            out.error = s3.DownloadFile(nullptr, &credential, "s3://bucket/" + name, Path(name), out.size,
                                        out.complete);
        });
    }
    std::string Path(const std::string& name) const { return (scratch() / name).string(); }
    static std::string Url(const std::string& name) { return "http://127.0.0.1:1/objects/bucket/" + name; }

    std::shared_ptr<GatedHttpClient> http = std::make_shared<GatedHttpClient>();
    S3Client s3{http, "http://127.0.0.1:1/objects"};
    iot::IoTCredential credential{error::Error(), "id", "secret", "token", "2030-01-01T00:00:00Z"};
};

TEST_F(S3ClientTest, ACancelStopsItsOwnDownloadAlone) {
    Download a, b;
    std::thread first = Start("a.bin", a);
    ASSERT_TRUE(http->WaitStarted(Url("a.bin")));
    s3.CancelDownload(Path("a.bin"));
    // A download that starts after the cancel neither loses it for the first nor is cut by it.
    std::thread second = Start("b.bin", b);
    ASSERT_TRUE(http->WaitStarted(Url("b.bin")));
    http->Open(Url("a.bin"));
    http->Open(Url("b.bin"));
    first.join();
    second.join();

    EXPECT_FALSE(a.error) << a.error.what();
    EXPECT_FALSE(a.complete);
    EXPECT_EQ(a.size, 10u);
    EXPECT_FALSE(std::filesystem::exists(Path("a.bin")));
    EXPECT_TRUE(std::filesystem::exists(Path("a.bin") + ".part"));

    EXPECT_FALSE(b.error) << b.error.what();
    EXPECT_TRUE(b.complete);
    EXPECT_EQ(b.size, 20u);
    std::ifstream in(Path("b.bin"));
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "0123456789abcdefghij");

    // A cancel for a path with nothing under way is not kept for a later download to it.
    s3.CancelDownload(Path("c.bin"));
    Download c;
    http->Open(Url("c.bin"));
    std::thread third = Start("c.bin", c);
    third.join();
    EXPECT_TRUE(c.complete);
}

TEST_F(S3ClientTest, CancellingEveryDownloadStopsAllUnderWay) {
    Download a, b;
    std::thread first = Start("a.bin", a);
    std::thread second = Start("b.bin", b);
    ASSERT_TRUE(http->WaitStarted(Url("a.bin")));
    ASSERT_TRUE(http->WaitStarted(Url("b.bin")));
    s3.CancelDownload();
    http->Open(Url("a.bin"));
    http->Open(Url("b.bin"));
    first.join();
    second.join();
    EXPECT_FALSE(a.complete);
    EXPECT_FALSE(b.complete);
    EXPECT_EQ(a.size, 10u);
    EXPECT_EQ(b.size, 10u);
}

}  // namespace
}  // namespace zelko::shared::s3
