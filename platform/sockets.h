#pragma once

// Sockets for libraries that let their caller make them (libcurl's open-socket callback).

namespace zelko::platform {

// A socket as socket(2) makes it, opened close-on-exec: a program this process starts never holds
// it. -1 with errno set when it cannot be made.
int OpenSocket(int family, int type, int protocol);

}  // namespace zelko::platform
