// Reaching the Diameter server: address text, name resolution and the TCP connect.
#pragma once

#include <cstdint>

#include "platform/socket.h"

constexpr uint32_t kAddressCopyLimit = 249;    // characters of the address text that are used
constexpr uint32_t kConnectTimeoutMs = 10000;  // one attempt blocks at most this long

// A new IPv4 TCP socket, bound to the IPAddressOut setting (any local port) when that is set;
// the outcome of the bind is not examined. kInvalidSocket when none can be created.
platform::Socket PrepareSocket();

// Connects *socket to address (dotted IPv4 or a host name, an optional "#digits" suffix cut
// off) on the low 16 bits of port. Each attempt after a failed one uses a fresh socket from
// PrepareSocket; *socket is the connected one on success, the last one tried otherwise.
// Returns 0 when connected and 1 when no attempt succeeded.
int ConnectPeer(platform::Socket* socket, const char* address, int32_t port);
// 1 when text (trimmed in place) is a dotted-decimal IPv4 address whose first part is not 0.
int IsDottedQuad(char* text);
// Removes trailing characters with codes 0x20 and below, in place.
void TrimRight(char* text);
