// Reading one Diameter message with a time-out, answering the server's watchdog and disconnect
// requests on the way.
#pragma once

#include <cstdint>

#include "platform/socket.h"

constexpr uint32_t kReceiveBufferSize = 16384;     // also the largest message accepted
constexpr uint32_t kAnyHopByHop = 0xFFFFFFFFu;     // the poll expects no particular answer
constexpr uint32_t kRestWaitSeconds = 15;          // wait for each further piece of a message
constexpr uint32_t kRestTotalMs = 15000;           // the whole rest of a message must come within
constexpr uint32_t kSelectTimeoutLogSeconds = 30;  // time-outs this long report themselves

struct ReceiveBuffer {
  uint8_t bytes[kReceiveBufferSize];
};

// Reads messages until the answer with hop-by-hop identifier expected arrives (1), or a message
// shorter than a header (1); 0 on time-out, failure, close, oversize or truncated message, and
// after answering a Disconnect-Peer-Request. timeoutSeconds 0 is a single poll. errorFlag, when
// given, is set to 1 when a socket call fails.
int ReceiveMessage(platform::Socket socket, uint32_t expected, ReceiveBuffer* buffer,
                   uint32_t timeoutSeconds, int32_t* errorFlag);

// The same with the limits for the rest of a message given, so tests need not wait 15 seconds.
struct ReceiveLimits {
  uint32_t restWaitMs;
  uint32_t restTotalMs;
};
int ReceiveMessageWithLimits(platform::Socket socket, uint32_t expected, ReceiveBuffer* buffer,
                             uint32_t timeoutSeconds, int32_t* errorFlag,
                             const ReceiveLimits* limits);

// 1 while the connection looks open, 0 when it is closed or broken; never waits.
int IsConnectionAlive(platform::Socket socket);
