#include "cloud/device_services.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <chrono>
#include <regex>
#include <stdexcept>

namespace zelko::cloud {

namespace {

using nlohmann::json;

template <typename T, void (*F)(T*)>
struct Free {
    void operator()(T* p) const { F(p); }
};
using Bio = std::unique_ptr<BIO, Free<BIO, BIO_free_all>>;
using Key = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Free<X509, X509_free>>;
using Req = std::unique_ptr<X509_REQ, Free<X509_REQ, X509_REQ_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Free<EVP_MD_CTX, EVP_MD_CTX_free>>;

constexpr int64_t kTokenLifetime = 3600;
constexpr int64_t kClockSkew = 300;

int64_t Now() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Bio MemoryOf(const std::string& text) { return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size()))); }

std::string Random(size_t bytes) {
    std::string out(bytes, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(bytes));
    return out;
}

std::string Base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

bool Unbase64(const std::string& text, std::string& bytes) {
    if (text.empty() || text.size() % 4 != 0) return false;
    bytes.assign(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return false;
    size_t size = static_cast<size_t>(n);
    if (text.back() == '=') --size;
    if (text[text.size() - 2] == '=') --size;
    bytes.resize(size);
    return true;
}

std::string Hex(const std::string& bytes) {
    static const char* kHex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
    }
    return out;
}

DeviceServices::Response Answer(int status, const json& body) {
    DeviceServices::Response response;
    response.status = status;
    response.body = body.dump(-1, ' ', false, json::error_handler_t::replace);
    return response;
}

// Refusals carry the problem form the device libraries read ("status", "type", "detail").
DeviceServices::Response Problem(int status, const std::string& type, const std::string& detail) {
    return Answer(status, {{"status", status}, {"type", type}, {"detail", detail}});
}

std::string Text(const json& body, const char* key) {
    const auto it = body.find(key);
    return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The request's subject as its entries in order ("CN", "OU", ...), after checking its signature.
bool ReadRequest(const std::string& pem, std::vector<std::pair<std::string, std::string>>& subject) {
    Bio bio = MemoryOf(pem);
    Req request(bio ? PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!request) return false;
    EVP_PKEY* key = X509_REQ_get0_pubkey(request.get());
    if (key == nullptr || X509_REQ_verify(request.get(), key) != 1) return false;
    X509_NAME* name = X509_REQ_get_subject_name(request.get());
    subject.clear();
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const char* field = OBJ_nid2sn(OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)));
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
        subject.emplace_back(field != nullptr ? field : "?",
                             length > 0 ? std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(length)) : "");
        OPENSSL_free(utf8);
    }
    return true;
}

// The public key of a PEM certificate or request.
Key PublicKeyOf(const std::string& pem) {
    {
        Bio bio = MemoryOf(pem);
        Cert certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
        if (certificate) return Key(X509_get_pubkey(certificate.get()));
    }
    Bio bio = MemoryOf(pem);
    Req request(bio ? PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    return Key(request ? X509_REQ_get_pubkey(request.get()) : nullptr);
}

bool Verify(const std::string& pem, const std::string& data, const std::string& signatureBase64) {
    std::string signature;
    if (!Unbase64(signatureBase64, signature)) return false;
    Key key = PublicKeyOf(pem);
    MdCtx context(EVP_MD_CTX_new());
    if (!key || !context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

std::string CommonNameOfPem(const std::string& pem) {
    Bio bio = MemoryOf(pem);
    Cert certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    return certificate ? CommonNameOf(certificate.get()) : std::string();
}

}  // namespace

const std::vector<std::string>& DeviceServices::Endpoints() {
    static const std::vector<std::string> kEndpoints = {
        "discovery", "onboarding", "attest", "pop", "attestation-certificate", "challenge", "enroll",
        "status", "pre-1e", "enroll-1e", "objects-put", "objects-get", "valve-rules"};
    return kEndpoints;
}

DeviceServices::DeviceServices(const LocalCa& ca, std::function<std::string()> iotEndpoint)
    : ca_(ca), iotEndpoint_(std::move(iotEndpoint)) {}

json DeviceServices::DefaultValveRules() {
    return {{"rules", json::array({{{"gun", "*"}, {"allow", json::array({"*"})}}})}};
}

DeviceServices::~DeviceServices() { Stop(); }

bool DeviceServices::TakeFault(const std::string& endpoint, Response& response) {
    Fault fault;
    response.cutAfter = -1;
    {
        std::lock_guard lock(mutex_);
        auto it = faults_.find(endpoint);
        if (it == faults_.end()) return false;
        fault = it->second;
        if (it->second.remaining > 0 && --it->second.remaining == 0) faults_.erase(it);
    }
    if (fault.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(fault.delayMs));
    if (fault.status == 0) {
        response.cutAfter = fault.cutAfter;
        return false;
    }
    response = Answer(fault.status, {{"status", fault.status}, {"message", "Scripted failure of " + endpoint}});
    return true;
}

DeviceServices::Response DeviceServices::Handle(const Request& request) {
    static const std::regex kAttestation(R"(/pciot-attestation/v1/([^/]+)/(attest|pop|pre|attestnotpm|iak/[^/]+))");
    static const std::regex kObject(R"(/objects/([^/]+)/(.+))");
    std::smatch match;
    const std::string& path = request.path;
    const std::string& method = request.method;
    try {
        if (method == "POST" && path == "/v2/services") return Discovery(request);
        if (method == "POST" && path == "/pciot-autoprovisiong/v1/device") return Onboarding(request);
        if (std::regex_match(path, match, kAttestation)) {
            const std::string device = match[1];
            const std::string action = match[2];
            if (method == "POST" && action == "attest") return Attest(device, request);
            if (method == "POST" && action == "pop") return Possession(device, request);
            if (method == "POST" && action == "pre") return Pre1E(device, request);
            if (method == "POST" && action == "attestnotpm") return Enroll1E(device, request);
            if (method == "GET" && action.rfind("iak/", 0) == 0) return AttestationCertificate(device);
        }
        if (method == "POST" && path == "/pciot-enrollment/v1/challenge") return Challenge(request);
        if (method == "POST" && path == "/pciot-enrollment/v1/tpm") return Enroll(request);
        if (method == "GET" && path == "/pciot-enrollment/v1/status") return Status(request);
        if (std::regex_match(path, match, kObject)) {
            if (method == "PUT") return PutObject(match[1], match[2], request);
            if (method == "GET") return GetObject(match[1], match[2], request);
        }
        if (method == "GET" && path == "/clientdatavalvecontroller/rules") return ValveRules(request);
    } catch (const std::exception& e) {
        return Answer(500, {{"status", 500}, {"message", std::string("Internal error: ") + e.what()}});
    }
    return Answer(404, {{"status", 404}, {"message", "No such endpoint: " + method + " " + path}});
}

bool DeviceServices::IssuedByCa(const std::string& certificatePem) const {
    Bio bio = MemoryOf(certificatePem);
    Cert certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    Bio caBio = MemoryOf(ca_.CertificatePem());
    Cert ca(caBio ? PEM_read_bio_X509(caBio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!certificate || !ca) return false;
    EVP_PKEY* caKey = X509_get0_pubkey(ca.get());
    if (caKey == nullptr || X509_verify(certificate.get(), caKey) != 1) return false;
    return X509_cmp_current_time(X509_get0_notAfter(certificate.get())) > 0 &&
           X509_cmp_current_time(X509_get0_notBefore(certificate.get())) < 0;
}

std::string DeviceServices::TokenDevice(const Request& request) {
    const auto header = request.headers.find("authorization");
    if (header == request.headers.end() || header->second.rfind("Bearer ", 0) != 0) return {};
    std::lock_guard lock(mutex_);
    const auto it = tokens_.find(header->second.substr(7));
    if (it == tokens_.end() || it->second.second <= Now()) return {};
    return it->second.first;
}

DeviceServices::Response DeviceServices::Discovery(const Request& request) {
    Response faulted;
    if (TakeFault("discovery", faulted)) return faulted;
    const json body = json::parse(request.body, nullptr, false);
    if (!body.is_object()) return Answer(400, {{"status", 400}, {"message", "The body is not a JSON object"}});
    const std::string device = Text(body, "deviceUniqueId");
    const std::string certificate = Text(body, "certificate");
    const std::string timestamp = Text(body, "timestamp");
    if (device.empty() || certificate.empty() || timestamp.empty())
        return Answer(400, {{"status", 400}, {"message", "deviceUniqueId, certificate, timestamp and signature are required"}});
    if (!IssuedByCa(certificate) || CommonNameOfPem(certificate) != device)
        return Answer(401, {{"status", 401}, {"message", "The attestation certificate is not valid for " + device}});
    int64_t when = 0;
    try {
        when = std::stoll(timestamp);
    } catch (const std::exception&) {
        return Answer(400, {{"status", 400}, {"message", "The timestamp is not a number"}});
    }
    if (when < Now() - kClockSkew || when > Now() + kClockSkew)
        return Answer(401, {{"status", 401}, {"message", "The timestamp is out of range"}});
    if (!Verify(certificate, device + "|" + timestamp, Text(body, "signature")))
        return Answer(401, {{"status", 401}, {"message", "The signature does not verify with the attested key"}});
    const std::string token = Hex(Random(24));
    {
        std::lock_guard lock(mutex_);
        tokens_[token] = {device, Now() + kTokenLifetime};
        devices_[device].lastSeen = Now();
    }
    return Answer(200, {{"token", token},
                        {"expiresIn", kTokenLifetime},
                        {"services", json::array({{{"serviceName", "pciot-enrollment"}},
                                                  {{"serviceName", "pciot-telemetry"}},
                                                  {{"serviceName", "pciot-remote-config"}}})}});
}

DeviceServices::Response DeviceServices::Onboarding(const Request& request) {
    Response faulted;
    if (TakeFault("onboarding", faulted)) return faulted;
    const json body = json::parse(request.body, nullptr, false);
    const std::string serial = body.is_object() ? Text(body, "serialNumber") : "";
    if (serial.empty()) return Answer(400, {{"status", 400}, {"message", "serialNumber is required"}});
    std::lock_guard lock(mutex_);
    if (onboardingStatus_ == 200) {
        for (auto& [id, device] : devices_) {
            if (device.serialNumber == serial) device.onboarded = true;
        }
    }
    return Answer(onboardingStatus_, onboardingBody_);
}

DeviceServices::Response DeviceServices::Attest(const std::string& deviceId, const Request& request) {
    Response faulted;
    if (TakeFault("attest", faulted)) return faulted;
    const json body = json::parse(request.body, nullptr, false);
    if (!body.is_object()) return Problem(400, "ATT0001", "The body is not a JSON object");
    const std::string csr = Text(body, "csr");
    std::vector<std::pair<std::string, std::string>> subject;
    if (Text(body, "deviceUniqueId") != deviceId) return Problem(400, "ATT0001", "The device id differs from the path's");
    if (!ReadRequest(csr, subject)) return Problem(400, "ATT0002", "The attestation request's signature does not verify");
    if (subject.empty() || subject[0].first != "CN" || subject[0].second != deviceId)
        return Problem(400, "ATT0002", "The attestation request's CN is not the device id");
    Attestation attestation;
    attestation.challenge = Random(32);
    attestation.request = csr;
    std::lock_guard lock(mutex_);
    attestation.id = nextAttestationId_++;
    Device& device = devices_[deviceId];
    device.serialNumber = Text(body, "serialNumber");
    device.lastSeen = Now();
    device.attestation = attestation;
    return Answer(200, {{"attestationId", attestation.id}, {"challenge", Base64(attestation.challenge)}});
}

DeviceServices::Response DeviceServices::Possession(const std::string& deviceId, const Request& request) {
    Response faulted;
    if (TakeFault("pop", faulted)) return faulted;
    const json body = json::parse(request.body, nullptr, false);
    if (!body.is_object() || !body.contains("attestationId") || !body["attestationId"].is_number_unsigned())
        return Problem(400, "ATT0001", "attestationId and signature are required");
    Attestation attestation;
    {
        std::lock_guard lock(mutex_);
        auto it = devices_.find(deviceId);
        if (it == devices_.end() || it->second.attestation.id != body["attestationId"].get<uint64_t>() ||
            it->second.attestation.challenge.empty())
            return Problem(404, "ATT0005", "No pending attestation with this id");
        attestation = it->second.attestation;
        it->second.attestation.challenge.clear();  // one answer per challenge
    }
    if (!Verify(attestation.request, attestation.challenge, Text(body, "signature")))
        return Problem(403, "ATT0003", "The proof of possession does not verify with the attested key");
    const std::string certificate = ca_.SignRequest(attestation.request);
    std::lock_guard lock(mutex_);
    Device& device = devices_[deviceId];
    device.attestation.proven = true;
    device.attestation.certificate = certificate;
    return Answer(200, {{"status", "accepted"}});
}

DeviceServices::Response DeviceServices::AttestationCertificate(const std::string& deviceId) {
    Response faulted;
    if (TakeFault("attestation-certificate", faulted)) return faulted;
    std::lock_guard lock(mutex_);
    auto it = devices_.find(deviceId);
    if (it == devices_.end() || !it->second.attestation.proven)
        return Problem(404, "ATT0004", "The device has no attestation certificate");
    return Answer(200, {{"certificate", it->second.attestation.certificate}});
}

DeviceServices::Response DeviceServices::Challenge(const Request& request) {
    Response faulted;
    if (TakeFault("challenge", faulted)) return faulted;
    const std::string deviceId = TokenDevice(request);
    if (deviceId.empty()) return Answer(401, {{"status", 401}, {"message", "No valid discovery token"}});
    const json body = json::parse(request.body, nullptr, false);
    const std::string csr = body.is_object() ? Text(body, "csr") : "";
    std::vector<std::pair<std::string, std::string>> subject;
    if (!ReadRequest(csr, subject)) return Answer(400, {{"status", 400}, {"message", "The request's signature does not verify"}});
    const std::vector<std::pair<std::string, std::string>> expected = {{"CN", deviceId}, {"OU", "Vitalix"}};
    if (subject != expected)
        return Answer(400, {{"status", 400}, {"message", "The request's subject must be CN=" + deviceId + ", OU=Vitalix"}});
    Enrollment enrollment;
    enrollment.id = Hex(Random(12));
    enrollment.challenge = Random(32);
    enrollment.request = csr;
    enrollment.state = "challenged";
    std::lock_guard lock(mutex_);
    devices_[deviceId].enrollment = enrollment;
    return Answer(200, {{"enrollmentId", enrollment.id}, {"challenge", Base64(enrollment.challenge)}});
}

DeviceServices::Response DeviceServices::Enroll(const Request& request) {
    Response faulted;
    if (TakeFault("enroll", faulted)) return faulted;
    const std::string deviceId = TokenDevice(request);
    if (deviceId.empty()) return Answer(401, {{"status", 401}, {"message", "No valid discovery token"}});
    const json body = json::parse(request.body, nullptr, false);
    if (!body.is_object()) return Answer(400, {{"status", 400}, {"message", "The body is not a JSON object"}});
    Enrollment enrollment;
    {
        std::lock_guard lock(mutex_);
        enrollment = devices_[deviceId].enrollment;
    }
    if (enrollment.id.empty() || enrollment.id != Text(body, "enrollmentId") || enrollment.state != "challenged")
        return Answer(404, {{"status", 404}, {"message", "No pending enrollment challenge with this id"}});
    if (Text(body, "csr") != enrollment.request)
        return Answer(400, {{"status", 400}, {"message", "The request differs from the challenged one"}});
    if (!Verify(enrollment.request, enrollment.challenge, Text(body, "signature")))
        return Answer(403, {{"status", 403}, {"message", "The challenge signature does not verify with the request's key"}});
    const std::string certificate = ca_.SignRequest(enrollment.request);
    std::lock_guard lock(mutex_);
    Enrollment& stored = devices_[deviceId].enrollment;
    stored.state = "enrolled";
    stored.certificate = certificate;
    stored.pollsLeft = notReadyPolls_;
    return Answer(202, {{"enrollmentId", stored.id}, {"status", "accepted"}});
}

DeviceServices::Response DeviceServices::Status(const Request& request) {
    Response faulted;
    if (TakeFault("status", faulted)) return faulted;
    const std::string deviceId = TokenDevice(request);
    if (deviceId.empty()) return Answer(401, {{"status", 401}, {"message", "No valid discovery token"}});
    const auto query = request.query.find("enrollmentId");
    std::lock_guard lock(mutex_);
    Enrollment& enrollment = devices_[deviceId].enrollment;
    if (query == request.query.end() || query->second != enrollment.id || enrollment.state == "challenged")
        return Answer(404, {{"status", 404}, {"message", "No such enrollment"}});
    if (enrollment.pollsLeft > 0) {
        --enrollment.pollsLeft;
        return Answer(404, {{"status", 404}, {"message", "The enrollment is not ready"}});
    }
    if (enrollment.state != "issued") {
        enrollment.state = "issued";
        enrollment.issuedAt = Now();
    }
    const json status = {{"certificate", enrollment.certificate},
                         {"creds_topic", "$aws/things/" + deviceId + "/credentials"},
                         {"deviceId", deviceId},
                         {"IotInfo",
                          {{"amazonCa", Base64(ca_.CertificatePem())},
                           {"iot_endpoint", iotEndpoint_ ? iotEndpoint_() : ""},
                           {"iot_region", "local-1"}}}};
    return Answer(200, {{"tenant", "zelko-local"}, {"status", status}});
}

DeviceServices::Response DeviceServices::Pre1E(const std::string& deviceId, const Request& request) {
    Response faulted;
    if (TakeFault("pre-1e", faulted)) return faulted;
    const json body = json::parse(request.body, nullptr, false);
    if (!body.is_object()) return Answer(400, {{"status", 400}, {"message", "The body is not a JSON object"}});
    const std::string certificate = Text(body, "certificate");
    if (!IssuedByCa(certificate) || CommonNameOfPem(certificate) != deviceId)
        return Answer(401, {{"status", 401}, {"message", "The attestation certificate is not valid for " + deviceId}});
    std::vector<std::pair<std::string, std::string>> subject;
    const std::string csr = Text(body, "csr");
    const std::vector<std::pair<std::string, std::string>> expected = {{"CN", deviceId}, {"OU", "ZelkoPlenar"}};
    if (!ReadRequest(csr, subject) || subject != expected)
        return Answer(400, {{"status", 400}, {"message", "The request must verify, subject CN=" + deviceId + ", OU=ZelkoPlenar"}});
    const std::string challenge = Random(32);
    std::lock_guard lock(mutex_);
    Device& device = devices_[deviceId];
    device.challenge1E = challenge;
    device.request1E = csr;
    return Answer(200, {{"challenge", Base64(challenge)}});
}

DeviceServices::Response DeviceServices::Enroll1E(const std::string& deviceId, const Request& request) {
    Response faulted;
    if (TakeFault("enroll-1e", faulted)) return faulted;
    const json body = json::parse(request.body, nullptr, false);
    std::string challenge;
    std::string csr;
    {
        std::lock_guard lock(mutex_);
        Device& device = devices_[deviceId];
        challenge = device.challenge1E;
        csr = device.request1E;
        device.challenge1E.clear();
    }
    if (challenge.empty() || !body.is_object() || Text(body, "csr") != csr)
        return Answer(404, {{"status", 404}, {"message", "No pending 1E challenge for this request"}});
    if (!Verify(csr, challenge, Text(body, "signature")))
        return Answer(403, {{"status", 403}, {"message", "The challenge signature does not verify"}});
    const std::string certificate = ca_.SignRequest(csr);
    std::lock_guard lock(mutex_);
    devices_[deviceId].certificate1E = certificate;
    return Answer(200, {{"certificate", certificate}});
}

DeviceServices::Response DeviceServices::PutObject(const std::string& bucket, const std::string& key,
                                                   const Request& request) {
    Response faulted;
    if (TakeFault("objects-put", faulted)) return faulted;
    const auto token = request.headers.find("x-amz-security-token");
    if (token == request.headers.end() || token->second.empty())
        return Answer(403, {{"status", 403}, {"message", "No session token"}});
    std::lock_guard lock(mutex_);
    objects_[bucket + "/" + key] = request.body;
    return Answer(200, {{"stored", bucket + "/" + key}});
}

DeviceServices::Response DeviceServices::GetObject(const std::string& bucket, const std::string& key,
                                                   const Request& request) {
    const auto range = request.headers.find("range");
    {
        // Recorded on arrival, before a scripted delay, so a test can act while the read waits.
        std::lock_guard lock(mutex_);
        objectReads_.push_back({{"object", bucket + "/" + key}, {"range", range == request.headers.end() ? "" : range->second}});
    }
    Response faulted;
    if (TakeFault("objects-get", faulted)) return faulted;
    const auto token = request.headers.find("x-amz-security-token");
    if (token == request.headers.end() || token->second.empty())
        return Answer(403, {{"status", 403}, {"message", "No session token"}});
    std::string bytes;
    {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(bucket + "/" + key);
        if (it == objects_.end()) return Answer(404, {{"status", 404}, {"message", "No such object"}});
        bytes = it->second;
    }
    DeviceServices::Response response;
    response.contentType = "application/octet-stream";
    response.cutAfter = faulted.cutAfter;
    if (range != request.headers.end() && range->second.rfind("bytes=", 0) == 0 && !request.serverAppliesRanges) {
        size_t from = 0;
        try {
            from = std::stoull(range->second.substr(6));
        } catch (const std::exception&) {
            from = bytes.size() + 1;
        }
        if (from > bytes.size()) return Answer(416, {{"status", 416}, {"message", "Range not satisfiable"}});
        response.status = 206;
        response.body = bytes.substr(from);
        return response;
    }
    response.body = std::move(bytes);
    return response;
}

DeviceServices::Response DeviceServices::ValveRules(const Request& request) {
    Response faulted;
    if (TakeFault("valve-rules", faulted)) return faulted;
    static const std::vector<std::string> kKeys = {"Hx4Tn8Wq2Lr6Vb9Mz3Kc7Pd1Fs5Jg0Ye", "Qm7RtY2wKp9LxN4vB8cZ1hF6jD3sG5aE"};
    const auto key = request.headers.find("x-api-key");
    if (key == request.headers.end() || std::find(kKeys.begin(), kKeys.end(), key->second) == kKeys.end())
        return Answer(403, {{"status", 403}, {"message", "Unknown API key"}});
    std::lock_guard lock(mutex_);
    return Answer(200, valveRules_);
}

json DeviceServices::Devices() const {
    std::lock_guard lock(mutex_);
    json list = json::array();
    for (const auto& [id, device] : devices_) {
        list.push_back({{"deviceUniqueId", id},
                        {"serialNumber", device.serialNumber},
                        {"onboarded", device.onboarded},
                        {"attested", device.attestation.proven},
                        {"enrollment", device.enrollment.state.empty() ? "none" : device.enrollment.state},
                        {"thing", device.enrollment.state == "issued" ? id : ""},
                        {"enrolled_1e", !device.certificate1E.empty()},
                        {"last_seen", device.lastSeen}});
    }
    return list;
}

void DeviceServices::SetFault(const std::string& endpoint, Fault fault) {
    const auto& names = Endpoints();
    if (std::find(names.begin(), names.end(), endpoint) == names.end())
        throw std::invalid_argument("Unknown endpoint " + endpoint);
    std::lock_guard lock(mutex_);
    faults_[endpoint] = fault;
}

void DeviceServices::ClearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

void DeviceServices::Clear() {
    std::lock_guard lock(mutex_);
    devices_.clear();
    tokens_.clear();
    faults_.clear();
    objects_.clear();
    objectReads_ = json::array();
    notReadyPolls_ = kNotReadyPolls;
    onboardingStatus_ = 200;
    onboardingBody_ = json::object();
    valveRules_ = DefaultValveRules();
}

void DeviceServices::SetNotReadyPolls(int polls) {
    std::lock_guard lock(mutex_);
    notReadyPolls_ = polls < 0 ? 0 : polls;
}

void DeviceServices::SetOnboardingAnswer(int status, json body) {
    std::lock_guard lock(mutex_);
    onboardingStatus_ = status;
    onboardingBody_ = std::move(body);
}

void DeviceServices::SetValveRules(json rules) {
    std::lock_guard lock(mutex_);
    valveRules_ = std::move(rules);
}

void DeviceServices::StoreObject(const std::string& bucket, const std::string& key, std::string bytes) {
    std::lock_guard lock(mutex_);
    objects_[bucket + "/" + key] = std::move(bytes);
}

json DeviceServices::ObjectReads() const {
    std::lock_guard lock(mutex_);
    return objectReads_;
}

json DeviceServices::Objects() const {
    std::lock_guard lock(mutex_);
    json list = json::array();
    for (const auto& [name, bytes] : objects_) list.push_back({{"object", name}, {"size", bytes.size()}});
    return list;
}

}  // namespace zelko::cloud
