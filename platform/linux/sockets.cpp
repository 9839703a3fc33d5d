#include "platform/sockets.h"

#include <sys/socket.h>

namespace zelko::platform {

int OpenSocket(int family, int type, int protocol) { return ::socket(family, type | SOCK_CLOEXEC, protocol); }

}  // namespace zelko::platform
