// mm9responder: a local credit-control server on loopback for trying mm9charge without an online
// charging system; it answers capabilities exchange, credit control, watchdog and disconnect
// requests and prints every message it receives and sends.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "message/avp.h"
#include "message/byte_buffer.h"
#include "message/diameter.h"
#include "message/wire_read.h"
#include "tools/responder/avp_dump.h"

namespace {

constexpr uint32_t kMaxMessageSize = 65536;     // a longer message closes the connection
constexpr uint32_t kPollSliceMs = 200;          // how often the stop flag is looked at
constexpr uint32_t kMessageCompleteMs = 10000;  // the rest of a begun message must come by then
constexpr uint32_t kDisconnectGraceMs = 5000;   // after a Disconnect-Peer-Answer
constexpr uint32_t kAvpCcRequestType = 416;
constexpr uint32_t kAvpCcRequestNumber = 415;
constexpr uint32_t kAvpAuthApplicationId = 258;
constexpr uint32_t kAvpProductName = 269;
constexpr uint32_t kResultCommandUnsupported = 3001;
constexpr uint8_t kCommandFlagError = 0x20;
constexpr int kListenBacklog = 8;
constexpr char kProductName[] = "mm9responder";
constexpr char kLoopback[] = "127.0.0.1";

struct Options {
  uint16_t port;
  uint32_t resultCode;
  uint32_t watchdogSeconds;  // 0: the responder sends no watchdog requests
  const char* originHost;
  const char* originRealm;
  const char* portFile;
};

struct Connection {
  int fd;
  char peer[64];
  uint8_t bytes[kMaxMessageSize];
  uint32_t used;
  uint32_t messageStartMs;  // when the first byte of the message being read came
  uint32_t lastWatchdogMs;
  int disconnecting;      // a Disconnect-Peer-Answer went out
  uint32_t disconnectMs;  // when it did
  int exchanged;          // the capabilities exchange was answered
  uint32_t nextHopByHop;
};

volatile sig_atomic_t stopRequested = 0;
Connection connection;

void OnStopSignal(int) {
  stopRequested = 1;
}

uint32_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(ts.tv_sec * 1000u + ts.tv_nsec / 1000000);
}

void Usage() {
  fprintf(stderr,
          "usage: mm9responder [--port N] [--result-code N] [--watchdog-seconds N]\n"
          "                    [--origin-host NAME] [--origin-realm NAME] [--port-file PATH]\n"
          "  --port N              TCP port on 127.0.0.1 (default 0: a free port, printed)\n"
          "  --result-code N       Result-Code of every Credit-Control-Answer (default 2001)\n"
          "  --watchdog-seconds N  send a Device-Watchdog-Request every N seconds (default 0:"
          " none)\n"
          "  --origin-host NAME    own Diameter identity (default responder.mm9.test)\n"
          "  --origin-realm NAME   own realm (default mm9.test)\n"
          "  --port-file PATH      also write the port number to PATH once listening\n");
}

int ParseNumber(const char* text, uint32_t limit, uint32_t* out) {
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  errno = 0;
  unsigned long value = strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || text[0] == '-' || value > limit) return 0;
  *out = static_cast<uint32_t>(value);
  return 1;
}

int ParseOptions(int argc, char** argv, Options* options) {
  *options = {0, kResultSuccess, 0, "responder.mm9.test", "mm9.test", nullptr};
  for (int i = 1; i < argc; i += 2) {  // each option is followed by its value
    const char* name = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    uint32_t number = 0;
    if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0) return 0;
    if (value == nullptr) {
      fprintf(stderr, "mm9responder: %s needs a value\n", name);
      return 0;
    }
    if (strcmp(name, "--port") == 0 && ParseNumber(value, 65535, &number)) {
      options->port = static_cast<uint16_t>(number);
    } else if (strcmp(name, "--result-code") == 0 && ParseNumber(value, UINT32_MAX, &number)) {
      options->resultCode = number;
    } else if (strcmp(name, "--watchdog-seconds") == 0 && ParseNumber(value, 86400, &number)) {
      options->watchdogSeconds = number;
    } else if (strcmp(name, "--origin-host") == 0 && value[0] != '\0') {
      options->originHost = value;
    } else if (strcmp(name, "--origin-realm") == 0 && value[0] != '\0') {
      options->originRealm = value;
    } else if (strcmp(name, "--port-file") == 0 && value[0] != '\0') {
      options->portFile = value;
    } else {
      fprintf(stderr, "mm9responder: unknown option or bad value: %s %s\n", name, value);
      return 0;
    }
  }
  return 1;
}

int Listen(const Options& options, uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, kListenBacklog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

void SendMessage(Connection* c, ByteBuffer* message) {
  if (message == nullptr) return;
  const uint8_t* data = message->bytes;
  size_t left = message->length;
  while (left > 0) {
    ssize_t n = send(c->fd, data, left, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data += n;
    left -= static_cast<size_t>(n);
  }
  printf("-> %s %s", c->peer, DumpMessage(message->bytes, message->length).c_str());
  fflush(stdout);
}

// A whole message from a body: the header carries exactly these flags.
ByteBuffer* BuildMessage(uint32_t command, uint8_t flags, uint32_t application, uint32_t hopByHop,
                         uint32_t endToEnd, const ByteBuffer* body) {
  ByteBuffer* message = nullptr;
  AppendMessageHeader(&message, command, application, hopByHop, endToEnd, body);
  if (message != nullptr) message->bytes[4] = flags;
  return message;
}

void AppendIdentity(ByteBuffer** body, const Options& options) {
  AppendAvpText(body, kAvpOriginHost, 1, 0, options.originHost);
  AppendAvpText(body, kAvpOriginRealm, 1, 0, options.originRealm);
}

// Copies a top-level AVP of the request into the answer unchanged, when the request has it.
void EchoAvp(ByteBuffer** body, const uint8_t* request, uint32_t length, uint32_t code) {
  size_t offset = 0;
  uint32_t size = 0;
  if (FindTopLevelAvp(request, length, kHeaderSize, code, &offset, &size)) {
    AppendAvp(body, code, 1, 0, request + offset, size);
  }
}

void Answer(Connection* c, const Options& options, uint32_t length) {
  const uint8_t* request = c->bytes;
  uint32_t flags = 0;
  uint32_t command = 0;
  uint32_t application = 0;
  uint32_t hopByHop = 0;
  uint32_t endToEnd = 0;
  ReadU8(request, length, 4, &flags);
  ReadU24(request, length, 5, &command);
  ReadU32(request, length, 8, &application);
  ReadU32(request, length, 12, &hopByHop);
  ReadU32(request, length, 16, &endToEnd);
  if ((flags & kCommandFlagRequest) == 0) return;  // an answer to our watchdog request
  uint8_t answerFlags = static_cast<uint8_t>(flags & kCommandFlagProxiable);

  ByteBuffer* body = nullptr;
  if (command == kCommandCapabilitiesExchange) {
    AppendAvpUint32(&body, kAvpResultCode, 1, 0, kResultSuccess);
    AppendIdentity(&body, options);
    AppendAvpAddress(&body, kAvpHostIpAddress, 1, 0, kLoopback);
    AppendAvpUint32(&body, kAvpVendorId, 1, 0, 0);
    AppendAvpText(&body, kAvpProductName, 0, 0, kProductName);
    AppendAvpUint32(&body, kAvpSupportedVendorId, 1, 0, kVendor3GPP);
    AppendAvpUint32(&body, kAvpAuthApplicationId, 1, 0, kApplicationCreditControl);
    c->exchanged = 1;
    c->lastWatchdogMs = NowMs();
  } else if (command == kCommandCreditControl) {
    EchoAvp(&body, request, length, kAvpSessionId);
    AppendAvpUint32(&body, kAvpResultCode, 1, 0, options.resultCode);
    AppendIdentity(&body, options);
    AppendAvpUint32(&body, kAvpAuthApplicationId, 1, 0, kApplicationCreditControl);
    EchoAvp(&body, request, length, kAvpCcRequestType);
    EchoAvp(&body, request, length, kAvpCcRequestNumber);
  } else if (command == kCommandDeviceWatchdog || command == kCommandDisconnectPeer) {
    AppendAvpUint32(&body, kAvpResultCode, 1, 0, kResultSuccess);
    AppendIdentity(&body, options);
    if (command == kCommandDisconnectPeer) {
      c->disconnecting = 1;
      c->disconnectMs = NowMs();
    }
  } else {
    EchoAvp(&body, request, length, kAvpSessionId);
    AppendAvpUint32(&body, kAvpResultCode, 1, 0, kResultCommandUnsupported);
    AppendIdentity(&body, options);
    answerFlags |= kCommandFlagError;
  }
  ByteBuffer* message = BuildMessage(command, answerFlags, application, hopByHop, endToEnd, body);
  BufferRelease(&body);
  SendMessage(c, message);
  BufferRelease(&message);
}

void SendWatchdogRequest(Connection* c, const Options& options) {
  ByteBuffer* body = nullptr;
  AppendIdentity(&body, options);
  uint32_t id = c->nextHopByHop++;
  ByteBuffer* message = BuildMessage(kCommandDeviceWatchdog, kCommandFlagRequest, 0, id, id, body);
  BufferRelease(&body);
  SendMessage(c, message);
  BufferRelease(&message);
}

// Reads what has arrived; handles each whole message. 0 when the connection is to be closed.
int ReadAvailable(Connection* c, const Options& options) {
  uint32_t wanted = kHeaderSize;
  uint32_t length = 0;
  if (c->used >= kHeaderSize) {
    ReadU24(c->bytes, c->used, 1, &length);
    wanted = length;
  }
  ssize_t n = recv(c->fd, c->bytes + c->used, wanted - c->used, 0);
  if (n < 0 && errno == EINTR) return 1;
  if (n <= 0) {
    printf("== %s closed the connection%s\n", c->peer,
           c->used > 0 ? ", in the middle of a message" : "");
    return 0;
  }
  if (c->used == 0) c->messageStartMs = NowMs();
  c->used += static_cast<uint32_t>(n);
  if (c->used == kHeaderSize && length == 0) {
    uint32_t version = 0;
    ReadU8(c->bytes, c->used, 0, &version);
    ReadU24(c->bytes, c->used, 1, &length);
    if (version != 1 || length < kHeaderSize || length > kMaxMessageSize) {
      printf("== %s sent a header with version %u and Message Length %u: closing\n", c->peer,
             version, length);
      return 0;
    }
  }
  if (c->used >= kHeaderSize) {
    ReadU24(c->bytes, c->used, 1, &length);
    if (c->used == length) {
      printf("<- %s %s", c->peer, DumpMessage(c->bytes, length).c_str());
      fflush(stdout);
      Answer(c, options, length);
      c->used = 0;
    }
  }
  return 1;
}

void Serve(int fd, const sockaddr_in& from, const Options& options) {
  Connection* c = &connection;
  c->fd = fd;
  c->used = 0;
  c->exchanged = 0;
  c->disconnecting = 0;
  c->disconnectMs = 0;
  c->lastWatchdogMs = NowMs();
  snprintf(c->peer, sizeof c->peer, "%s:%u", inet_ntoa(from.sin_addr), ntohs(from.sin_port));
  printf("== connection from %s\n", c->peer);
  fflush(stdout);
  while (!stopRequested) {
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, kPollSliceMs);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && !ReadAvailable(c, options)) break;
    uint32_t now = NowMs();
    if (c->used > 0 && now - c->messageStartMs > kMessageCompleteMs) {
      printf("== %s left a message unfinished for %u ms: closing\n", c->peer, kMessageCompleteMs);
      break;
    }
    if (c->disconnecting && now - c->disconnectMs > kDisconnectGraceMs) {
      printf("== %s kept the connection after the Disconnect-Peer-Answer: closing\n", c->peer);
      break;
    }
    if (options.watchdogSeconds > 0 && c->exchanged && !c->disconnecting &&
        now - c->lastWatchdogMs >= options.watchdogSeconds * 1000u) {
      SendWatchdogRequest(c, options);
      c->lastWatchdogMs = now;
    }
  }
  close(fd);
  printf("== connection from %s ended\n", c->peer);
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    Usage();
    return 2;
  }
  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  uint16_t port = 0;
  int listenFd = Listen(options, &port);
  if (listenFd < 0) {
    fprintf(stderr, "mm9responder: cannot listen on %s port %u: %s\n", kLoopback, options.port,
            strerror(errno));
    return 1;
  }
  connection.nextHopByHop = static_cast<uint32_t>(time(nullptr));
  printf("mm9responder listening on %s port %u, Credit-Control Result-Code %u\n", kLoopback, port,
         options.resultCode);
  fflush(stdout);
  if (options.portFile != nullptr) {
    std::string temporary = std::string(options.portFile) + ".part";
    FILE* f = fopen(temporary.c_str(), "w");
    if (f == nullptr || fprintf(f, "%u\n", port) < 0 || fclose(f) != 0 ||
        rename(temporary.c_str(), options.portFile) != 0) {
      fprintf(stderr, "mm9responder: cannot write %s\n", options.portFile);
      close(listenFd);
      return 1;
    }
  }

  while (!stopRequested) {
    pollfd p{listenFd, POLLIN, 0};
    int ready = poll(&p, 1, kPollSliceMs);
    if (ready <= 0) continue;
    sockaddr_in from{};
    socklen_t size = sizeof from;
    int fd = accept(listenFd, reinterpret_cast<sockaddr*>(&from), &size);
    if (fd < 0) continue;
    Serve(fd, from, options);
  }
  close(listenFd);
  printf("mm9responder stopped\n");
  return 0;
}
