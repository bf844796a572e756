// Reading one Diameter message at a time from the server: framing by the Message Length, the
// time-outs of the call and of the rest of a message, and the automatic watchdog and disconnect
// answers.
#include "peer/receiver.h"

#include <cstdio>
#include <cstring>

#include "app/log.h"
#include "app/settings.h"
#include "message/avp.h"
#include "message/byte_buffer.h"
#include "message/diameter.h"
#include "message/wire_read.h"
#include "platform/clock.h"

namespace {

constexpr uint32_t kLengthBytes = 4;
constexpr uint32_t kMillisecondsPerSecond = 1000;
constexpr uint32_t kLeastWaitSeconds = 1;
constexpr uint32_t kVersionWord = 0x01000000u;
constexpr size_t kReceiverLineSize = 160;
constexpr size_t kFlagsOffset = 4;
constexpr size_t kCommandOffset = 5;
constexpr size_t kHopByHopOffset = 12;

constexpr ReceiveLimits kRealLimits = {kRestWaitSeconds * kMillisecondsPerSecond, kRestTotalMs};

// Receiver lines are composed in the call's own storage: the main thread and the peer thread
// may both be inside the receiver (never on the same socket).
void WriteErrorLine(const char* format, int32_t* errorFlag) {
  char line[kReceiverLineSize];
  snprintf(line, sizeof line, format, static_cast<unsigned long>(platform::SocketLastError()));
  LogWrite(line);
  if (errorFlag != nullptr) *errorFlag = 1;
}

void WriteValueLine(const char* format, uint32_t value) {
  char line[kReceiverLineSize];
  snprintf(line, sizeof line, format, value);
  LogWrite(line);
}

// Answers a Device-Watchdog-Request or Disconnect-Peer-Request held in message: the same header
// with all command flags clear, then Result-Code 2001, Origin-Host and Origin-Realm.
void SendAutomaticAnswer(platform::Socket socket, uint8_t* message) {
  ByteBuffer* answer = nullptr;
  ByteBuffer* avps = nullptr;
  message[kFlagsOffset] = 0;
  BufferAppend(&answer, message, kHeaderSize);
  AppendAvpUint32(&avps, kAvpResultCode, 1, 0, kResultSuccess);
  AppendAvpText(&avps, kAvpOriginHost, 1, 0, Settings.OriginHost);
  AppendAvpText(&avps, kAvpOriginRealm, 1, 0, Settings.OriginRealm);
  if (avps != nullptr) BufferAppend(&answer, avps->bytes, avps->length);
  // Without the heap there is no whole answer to send; the server's own time-out will tell.
  if (answer != nullptr && avps != nullptr) {
    WriteU32(answer->bytes, kVersionWord + (answer->length & kLength24Mask));
    platform::SocketSend(socket, answer->bytes, answer->length);
    TracePacket(1, socket, static_cast<int32_t>(answer->length), answer->bytes);
  }
  BufferRelease(&answer);
  BufferRelease(&avps);
}

}  // namespace

int ReceiveMessage(platform::Socket socket, uint32_t expected, ReceiveBuffer* buffer,
                   uint32_t timeoutSeconds, int32_t* errorFlag) {
  return ReceiveMessageWithLimits(socket, expected, buffer, timeoutSeconds, errorFlag,
                                  &kRealLimits);
}

int ReceiveMessageWithLimits(platform::Socket socket, uint32_t expected, ReceiveBuffer* buffer,
                             uint32_t timeoutSeconds, int32_t* errorFlag,
                             const ReceiveLimits* limits) {
  uint8_t* bytes = buffer->bytes;
  const uint32_t callStart = platform::ElapsedMilliseconds();
  const bool reportsTimeout = timeoutSeconds >= kSelectTimeoutLogSeconds;

  for (bool again = false;; again = true) {
    memset(bytes, 0, kReceiveBufferSize);
    if (again) {
      // Requests and stray answers that keep coming would otherwise stretch the call without
      // end, one least wait at a time: past its time-out and that least wait, the call ends as
      // a time-out does.
      uint64_t elapsedMs = platform::ElapsedMilliseconds() - callStart;
      uint64_t limitMs =
          (static_cast<uint64_t>(timeoutSeconds) + kLeastWaitSeconds) * kMillisecondsPerSecond;
      if (elapsedMs >= limitMs) {
        if (reportsTimeout) LogWrite("Diameter select timeout\r\n");
        return 0;
      }
    }

    uint32_t waitMs = 0;
    if (timeoutSeconds != 0) {
      uint32_t elapsed = (platform::ElapsedMilliseconds() - callStart) / kMillisecondsPerSecond;
      uint32_t seconds = elapsed < timeoutSeconds ? timeoutSeconds - elapsed : kLeastWaitSeconds;
      waitMs = seconds * kMillisecondsPerSecond;
    }
    int ready = platform::SocketWaitReadable(socket, waitMs);
    if (ready < 0) {
      WriteErrorLine("Diameter Debug:  select failed, WSAGetLastError reports %lu\r\n", errorFlag);
      if (reportsTimeout) LogWrite("Diameter select timeout\r\n");
      return 0;
    }
    uint32_t pending = 0;
    if (ready == 0) {
      if (timeoutSeconds == 0) return 0;
      if (!platform::SocketPendingBytes(socket, &pending) || pending == 0) {
        if (reportsTimeout) LogWrite("Diameter select timeout\r\n");
        return 0;
      }
      WriteValueLine("Diameter Debug:  ioctlsocket reports %u bytes to read, but select failed\r\n",
                     pending);
    }

    // Start of the message: the four bytes of version and Message Length.
    if (!platform::SocketPendingBytes(socket, &pending)) {
      WriteErrorLine("Diameter Debug:  ioctlsocket failed, WSAGetLastError reports %lu\r\n",
                     errorFlag);
      return 0;
    }
    if (pending == 0) {
      platform::SocketShutdownSend(socket);
      LogWrite("Diamter Debug:  ioctlsocket failed, no data\r\n");
      return 0;
    }
    if (pending < kLengthBytes) {
      LogWrite("Diameter Debug:  ioctlsocket failed, not enough data\r\n");
      return 0;
    }
    int32_t got = platform::SocketRecv(socket, bytes, kLengthBytes);
    if (got < 0) {
      WriteErrorLine("Diameter Debug:  recv failed, WSAGetLastError reports %lu\r\n", errorFlag);
      return 0;
    }
    if (static_cast<uint32_t>(got) < kLengthBytes) {
      LogWrite("Diameter Debug:  recv failed, not enough data\r\n");
      return 0;
    }
    uint32_t length = 0;
    ReadU24(bytes, kReceiveBufferSize, 1, &length);
    if (length > kReceiveBufferSize) {
      LogWrite("Diameter Debug:  recv failed, SMPP packet size exceeds max length\r\n");
      return 0;
    }

    // Rest of the message: never more than it still lacks, so a following message stays on the
    // socket.
    const uint32_t restStart = platform::ElapsedMilliseconds();
    uint32_t in = kLengthBytes;
    while (in < length && platform::ElapsedMilliseconds() - restStart <= limits->restTotalMs) {
      int more = platform::SocketWaitReadable(socket, limits->restWaitMs);
      if (more < 0) {
        WriteErrorLine("Diameter Debug:  select 2 failed, WSAGetLastError reports %lu\r\n",
                       errorFlag);
        return 0;
      }
      if (more == 0) {
        LogWrite("Diameter Timeout\r\n");
        TracePacket(0, socket, static_cast<int32_t>(in), bytes);
        return 0;
      }
      if (!platform::SocketPendingBytes(socket, &pending)) {
        WriteErrorLine("Diameter Debug:  ioctlsocket 2 failed, WSAGetLastError reports %lu\r\n",
                       errorFlag);
        return 0;
      }
      if (pending == 0) {
        LogWrite("Diameter Debug:  ioctlsocket 2 failed, no data\r\n");
        return 0;
      }
      uint32_t missing = length - in;
      got = platform::SocketRecv(socket, bytes + in, pending < missing ? pending : missing);
      if (got < 0) {
        WriteErrorLine("Diameter Debug:  recv 2 failed, WSAGetLastError reports %lu\r\n",
                       errorFlag);
        return 0;
      }
      in += static_cast<uint32_t>(got);
    }
    if (in < length) {
      LogWrite("DIAMETER TIMEOUT\r\n");
      TracePacket(0, socket, static_cast<int32_t>(in), bytes);
      return 0;
    }

    TracePacket(0, socket, static_cast<int32_t>(length), bytes);
    if (length < kHeaderSize) return 1;

    uint32_t flags = 0, command = 0, hopByHop = 0;
    ReadU8(bytes, length, kFlagsOffset, &flags);
    ReadU24(bytes, length, kCommandOffset, &command);
    ReadU32(bytes, length, kHopByHopOffset, &hopByHop);
    if ((flags & kCommandFlagRequest) == 0) {
      if (hopByHop == expected) return 1;
      LogWrite("Diameter response ID does not match\r\n");
      continue;
    }
    WriteValueLine("Diameter request received - code %u\r\n", command);
    if (command == kCommandDeviceWatchdog) {
      SendAutomaticAnswer(socket, bytes);
    } else if (command == kCommandDisconnectPeer) {
      SendAutomaticAnswer(socket, bytes);
      return 0;
    }
  }
}

int IsConnectionAlive(platform::Socket socket) {
  int ready = platform::SocketWaitReadable(socket, 0);
  if (ready == 0) return 1;
  if (ready < 0) return 0;
  uint32_t pending = 0;
  if (!platform::SocketPendingBytes(socket, &pending) || pending == 0) return 0;
  return 1;
}
