// BSD socket implementation of the platform socket layer.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace platform {
namespace {

thread_local uint32_t lastError = 0;
std::atomic<ResolverFn> resolverOverride{nullptr};
std::atomic<SocketFaultFn> faultHook{nullptr};
std::atomic<ConnectObserverFn> connectObserver{nullptr};

// 1 when a test has made this call fail; the error number is then noted.
int InjectedFault(SocketCall call) {
  SocketFaultFn fn = faultHook.load();
  uint32_t error = fn != nullptr ? fn(call) : 0;
  if (error == 0) return 0;
  lastError = error;
  return 1;
}

void NoteError() {
  lastError = static_cast<uint32_t>(errno);
}

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = address;
  return sa;
}

int RealResolve(const char* name, uint32_t* addresses, uint32_t room, uint32_t* count) {
  *count = 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr) return 0;
  for (addrinfo* ai = result; ai != nullptr && *count < room; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET) continue;
    uint32_t a = reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
    bool seen = false;  // getaddrinfo repeats an address once per protocol it knows
    for (uint32_t i = 0; i < *count; ++i) seen = seen || addresses[i] == a;
    if (!seen) addresses[(*count)++] = a;
  }
  freeaddrinfo(result);
  return *count > 0 ? 1 : 0;
}

}  // namespace

int SocketStartup() {
  signal(SIGPIPE, SIG_IGN);
  return 1;
}

Socket SocketCreateTcp() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (s < 0) {
    NoteError();
    return kInvalidSocket;
  }
  return s;
}

int SocketBind(Socket s, uint32_t address, uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    NoteError();
    return 0;
  }
  return 1;
}

int SocketConnect(Socket s, uint32_t address, uint16_t port, uint32_t timeoutMs) {
  ConnectObserverFn observer = connectObserver.load();
  if (observer != nullptr) observer(address, port);
  sockaddr_in sa = MakeAddress(address, port);
  int flags = fcntl(s, F_GETFL, 0);
  if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) {
    NoteError();
    return 0;
  }
  int ok = 0;
  if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
    ok = 1;
  } else if (errno == EINPROGRESS) {
    pollfd p{s, POLLOUT, 0};
    int r;
    do {
      r = poll(&p, 1, static_cast<int>(timeoutMs));
    } while (r < 0 && errno == EINTR);
    if (r > 0) {
      int error = 0;
      socklen_t len = sizeof error;
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0) {
        ok = 1;
      } else {
        errno = error != 0 ? error : errno;
        NoteError();
      }
    } else {
      if (r == 0) errno = ETIMEDOUT;
      NoteError();
    }
  } else {
    NoteError();
  }
  fcntl(s, F_SETFL, flags);
  return ok;
}

int32_t SocketSend(Socket s, const void* data, uint32_t count) {
  ssize_t n;
  do {
    n = send(s, data, count, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    NoteError();
    return -1;
  }
  return static_cast<int32_t>(n);
}

int32_t SocketRecv(Socket s, void* data, uint32_t count) {
  if (InjectedFault(SocketCall::kRecv)) return -1;
  ssize_t n;
  do {
    n = recv(s, data, count, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    NoteError();
    return -1;
  }
  return static_cast<int32_t>(n);
}

int SocketWaitReadable(Socket s, uint32_t timeoutMs) {
  if (InjectedFault(SocketCall::kWaitReadable)) return -1;
  pollfd p{s, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, static_cast<int>(timeoutMs));
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    NoteError();
    return -1;
  }
  if (r == 0) return 0;
  if (p.revents & POLLNVAL) {
    errno = EBADF;
    NoteError();
    return -1;
  }
  return 1;  // POLLIN, POLLHUP and POLLERR all mean a read will not block
}

int SocketPendingBytes(Socket s, uint32_t* count) {
  if (InjectedFault(SocketCall::kPendingBytes)) return 0;
  int n = 0;
  if (ioctl(s, FIONREAD, &n) != 0) {
    NoteError();
    return 0;
  }
  *count = static_cast<uint32_t>(n);
  return 1;
}

void SocketShutdownSend(Socket s) {
  if (shutdown(s, SHUT_WR) != 0) NoteError();
}

void SocketClose(Socket s) {
  if (s != kInvalidSocket) close(s);
}

int SocketPeerAddress(Socket s, char* out, size_t size) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getpeername(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET) {
    NoteError();
    return 0;
  }
  FormatDotted(sa.sin_addr.s_addr, out, size);
  return 1;
}

uint32_t SocketLastError() {
  return lastError;
}

uint32_t InetAddr(const char* dotted) {
  return inet_addr(dotted);
}

void FormatDotted(uint32_t address, char* out, size_t size) {
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&address);
  snprintf(out, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

int LocalHostName(char* out, size_t size) {
  if (size == 0 || gethostname(out, size) != 0) return 0;
  out[size - 1] = '\0';
  return out[0] != '\0' ? 1 : 0;
}

int ResolveIPv4(const char* name, uint32_t* addresses, uint32_t room, uint32_t* count) {
  ResolverFn fn = resolverOverride.load();
  return fn != nullptr ? fn(name, addresses, room, count)
                       : RealResolve(name, addresses, room, count);
}

void SetResolverForTests(ResolverFn fn) {
  resolverOverride.store(fn);
}
void SetSocketFaultForTests(SocketFaultFn fn) {
  faultHook.store(fn);
}
void SetConnectObserverForTests(ConnectObserverFn fn) {
  connectObserver.store(fn);
}

}  // namespace platform
