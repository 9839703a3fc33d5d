#pragma once

// Server settings shared by the local cloud's ports, so devices keep their connections and TLS
// sessions as they would with the real cloud.

#include <httplib.h>
#include <openssl/ssl.h>

namespace zelko::cloud {

// A kept connection holds a worker of its server until it has been idle for the keep-alive time:
// more workers than the library's one per processor, so idle clients never make others wait.
inline constexpr size_t kServerWorkers = 16;
inline constexpr size_t kRequestsPerConnection = 1000;

inline void KeepConnections(httplib::Server& server) {
    // Small answers go out at once rather than after the peer's delayed acknowledgement.
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(kRequestsPerConnection);
    server.new_task_queue = [] { return new httplib::ThreadPool(kServerWorkers); };
}

// A session can only be resumed on a port that verifies client certificates when the port has a
// session id context; without one the resumption is refused with an internal error alert.
inline void KeepConnections(httplib::SSLServer& server) {
    KeepConnections(static_cast<httplib::Server&>(server));
    static constexpr unsigned char kContext[] = "zelko-local-cloud";
    SSL_CTX_set_session_id_context(server.ssl_context(), kContext, sizeof kContext - 1);
}

}  // namespace zelko::cloud
