// Reaching the Diameter server: the address text, its "#digits" suffix, name resolution with a
// start index from the tick count, and one bounded TCP connect per address.
#include "peer/connect.h"

#include <cstring>

#include "app/settings.h"
#include "platform/clock.h"

namespace {

constexpr uint32_t kDottedParts = 4;
constexpr uint32_t kLargestPart = 255;
constexpr uint16_t kAnyLocalPort = 0;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The four decimal parts of a text that IsDottedQuad accepted (leading blanks allowed); every
// part must hold at least one digit. Gives the address in network order; 0 when a part is empty.
int ConvertDotted(const char* text, uint32_t* address) {
  const char* p = SkipSpaces(text);
  uint8_t parts[kDottedParts];
  for (uint32_t i = 0; i < kDottedParts; ++i) {
    if (!IsDigit(*p)) return 0;
    uint32_t value = 0;
    while (IsDigit(*p)) {
      value = value * 10 + static_cast<uint32_t>(*p - '0');
      if (value > kLargestPart) return 0;
      ++p;
    }
    parts[i] = static_cast<uint8_t>(value);
    if (i + 1 < kDottedParts) {
      if (*p != '.') return 0;
      ++p;
    }
  }
  if (*p != '\0') return 0;
  memcpy(address, parts, sizeof parts);  // first part first: network order
  return 1;
}

// One attempt on *socket; a socket that failed is replaced by a fresh one for the next attempt,
// because a socket whose connect failed cannot be connected again on every platform.
int Attempt(platform::Socket* socket, uint32_t address, uint16_t port, int* failedBefore) {
  if (*failedBefore) {
    platform::Socket fresh = PrepareSocket();
    if (fresh == platform::kInvalidSocket) return 0;
    platform::SocketClose(*socket);
    *socket = fresh;
  }
  if (platform::SocketConnect(*socket, address, port, kConnectTimeoutMs)) return 1;
  *failedBefore = 1;
  return 0;
}

}  // namespace

platform::Socket PrepareSocket() {
  platform::Socket s = platform::SocketCreateTcp();
  if (s != platform::kInvalidSocket && Settings.IPAddressOut[0] != '\0') {
    platform::SocketBind(s, platform::InetAddr(Settings.IPAddressOut), kAnyLocalPort);
  }
  return s;
}

void TrimRight(char* text) {
  size_t n = strlen(text);
  while (n > 0 && static_cast<unsigned char>(text[n - 1]) <= 0x20) --n;
  text[n] = '\0';
}

int IsDottedQuad(char* text) {
  TrimRight(text);
  const char* p = SkipSpaces(text);
  uint32_t values[kDottedParts] = {0, 0, 0, 0};
  uint32_t dots = 0;
  for (; *p != '\0'; ++p) {
    if (IsDigit(*p)) {
      // Saturates above 255: such a part fails however many digits follow.
      if (values[dots] <= kLargestPart) values[dots] = values[dots] * 10 + (*p - '0');
    } else if (*p == '.') {
      if (++dots == kDottedParts) return 0;
    } else {
      break;
    }
  }
  if (*p != '\0' || dots < kDottedParts - 1) return 0;
  for (uint32_t v : values) {
    if (v > kLargestPart) return 0;
  }
  return values[0] != 0 ? 1 : 0;
}

int ConnectPeer(platform::Socket* socket, const char* address, int32_t port) {
  char copy[kAddressCopyLimit + 1];
  size_t n = strnlen(address, kAddressCopyLimit);
  memcpy(copy, address, n);
  copy[n] = '\0';

  char* hash = strchr(copy, '#');
  if (hash != nullptr) {
    const char* p = hash + 1;
    while (IsDigit(*p)) ++p;
    if (*p == '\0') *hash = '\0';
  }

  uint16_t tcpPort = static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFFu);
  int failedBefore = 0;
  if (IsDottedQuad(copy)) {
    uint32_t target = 0;
    if (!ConvertDotted(copy, &target)) return 1;
    return Attempt(socket, target, tcpPort, &failedBefore) ? 0 : 1;
  }

  uint32_t addresses[platform::kMaxResolvedAddresses];
  uint32_t count = 0;
  if (!platform::ResolveIPv4(copy, addresses, platform::kMaxResolvedAddresses, &count) ||
      count == 0) {
    return 1;
  }
  if (count > platform::kMaxResolvedAddresses) count = platform::kMaxResolvedAddresses;
  uint32_t index = platform::TickCount() % count;
  for (uint32_t tried = 0; tried < count; ++tried) {
    if (Attempt(socket, addresses[index], tcpPort, &failedBefore)) return 0;
    index = (index + 1) % count;
  }
  return 1;
}
