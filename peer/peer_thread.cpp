// The peer connection thread: capabilities exchange, ready state with keep-alive polling,
// reconnection, the orderly disconnect at the end of a run, and the lock protocol with the
// main thread.
#include "peer/peer_thread.h"

#include <cstdio>

#include "app/log.h"
#include "app/settings.h"
#include "message/avp.h"
#include "message/avp_builder.h"
#include "message/decimal.h"
#include "message/diameter.h"
#include "message/identifiers.h"
#include "message/placeholders.h"
#include "message/scanner.h"
#include "message/template_cache.h"
#include "peer/connect.h"
#include "peer/inspect.h"
#include "peer/receiver.h"
#include "platform/clock.h"
#include "platform/text.h"

PeerStateRecord PeerState = {{0}, {0}, {0}, {platform::kInvalidSocket}};
platform::Lock ConnectionLock;

namespace {

constexpr uint32_t kNoResultCode = 0xFFFFFFFFu;
constexpr int32_t kIdentifierKey = -1;
constexpr char kDefaultResultCodeOk[] = "2001";
constexpr uint32_t kStopCheckSliceMs = 10;
constexpr uint32_t kDisconnectAnswerSeconds = 1;
constexpr uint32_t kDisconnectCauseRebooting = 0;

// The thread's own working data.
char resultCodeOk[kAttributeSize];
char attribute[kAttributeSize];
ReceiveBuffer receiveBuffer;

// Sleeps ms milliseconds, ending early once the main thread asks the thread to stop.
void SleepUnlessStopped(uint32_t ms) {
  uint32_t start = platform::ElapsedMilliseconds();
  while (PeerState.StopRequested.load() == 0) {
    uint32_t elapsed = platform::ElapsedMilliseconds() - start;
    if (elapsed >= ms) return;
    uint32_t left = ms - elapsed;
    platform::SleepMilliseconds(left < kStopCheckSliceMs ? left : kStopCheckSliceMs);
  }
}

void ClosePeerSocket() {
  platform::Socket s = PeerState.PeerSocket.load();
  if (s != platform::kInvalidSocket) platform::SocketClose(s);
  PeerState.PeerSocket.store(platform::kInvalidSocket);
}

// One capabilities exchange over the `diameter` elements of the template, each on a new
// connection, until one is answered with a code from its own list. Leaves PeerSocket open on
// success.
void ExchangeCapabilities(const char* text) {
  uint32_t lastCode = kNoResultCode;
  snprintf(resultCodeOk, sizeof resultCodeOk, "%s", kDefaultResultCodeOk);
  const char* cursor = text;
  char name[kElementNameSize];
  for (;;) {
    if (IsCodeInList(resultCodeOk, lastCode)) return;
    cursor = NextElement(cursor, name);
    if (cursor == nullptr || *cursor == '\0') return;
    if (!platform::TextEqualNoCase(name, "diameter")) continue;

    ServerStartTime = platform::CalendarSeconds();
    RequestCounter = 0;

    GetAttribute(cursor, "command-code", attribute);
    uint32_t commandCode = ReadDecimal32(attribute);
    if (commandCode == 0) commandCode = kCommandCapabilitiesExchange;
    GetAttribute(cursor, "application-id", attribute);
    uint32_t applicationId = ReadDecimal32(attribute);
    GetAttribute(cursor, "result-code-ok", resultCodeOk);
    if (resultCodeOk[0] == '\0') {
      snprintf(resultCodeOk, sizeof resultCodeOk, "%s", kDefaultResultCodeOk);
    }

    ByteBuffer* body = nullptr;
    BuildAvps(&cursor, &body, nullptr);
    uint32_t hopByHop = 0;
    uint32_t endToEnd = 0;
    NextIdentifiers(kIdentifierKey, 1, &hopByHop, &endToEnd);
    ByteBuffer* message = nullptr;
    AppendMessageHeader(&message, commandCode, applicationId, hopByHop, endToEnd, body);

    platform::Socket s = PrepareSocket();
    PeerState.PeerSocket.store(s);
    if (s == platform::kInvalidSocket) {
      LogWrite("Error creating socket for Diameter\r\n");
      BufferRelease(&body);
      BufferRelease(&message);
      continue;
    }
    uint32_t port = ReadDecimal32(Settings.DestinationHostPortNumber);
    int failed = ConnectPeer(&s, Settings.DestinationHostAddress, static_cast<int32_t>(port));
    PeerState.PeerSocket.store(s);
    if (failed != 0) {
      LogPrint("Error connecting to %s:%u\r\n", Settings.DestinationHostAddress, port);
      ClosePeerSocket();
      BufferRelease(&body);
      BufferRelease(&message);
      continue;
    }

    LogPrint("Connected to %s:%u\r\n", Settings.DestinationHostAddress, port);
    if (message != nullptr) {
      platform::SocketSend(s, message->bytes, message->length);
      TracePacket(1, s, static_cast<int32_t>(message->length), message->bytes);
    }
    BufferRelease(&body);
    BufferRelease(&message);

    lastCode = kNoResultCode;
    if (ReceiveMessage(s, hopByHop, &receiveBuffer, kCapabilitiesAnswerSeconds, nullptr)) {
      lastCode = ExtractResultCode(receiveBuffer.bytes, kReceiveBufferSize);
      if (lastCode != 0) {
        LogPrint("Capabilities-Exchange-Request -- Diameter Result Code %u\r\n", lastCode);
      } else {
        LogWrite("Capabilities-Exchange-Request -- Unable to parse Diameter Result Code\r\n");
      }
    }
    if (!IsCodeInList(resultCodeOk, lastCode)) ClosePeerSocket();
  }
}

// At the end of a run the server is told that the client goes away on purpose, so that it
// treats a reconnection of the same Origin-Host as a new peer rather than a failed one.
void SendDisconnectPeerRequest(platform::Socket s) {
  ByteBuffer* body = nullptr;
  AppendAvpText(&body, kAvpOriginHost, 1, 0, Settings.OriginHost);
  AppendAvpText(&body, kAvpOriginRealm, 1, 0, Settings.OriginRealm);
  AppendAvpUint32(&body, kAvpDisconnectCause, 1, 0, kDisconnectCauseRebooting);
  uint32_t hopByHop = 0;
  uint32_t endToEnd = 0;
  NextIdentifiers(kIdentifierKey, 1, &hopByHop, &endToEnd);
  ByteBuffer* message = nullptr;
  AppendMessageHeader(&message, kCommandDisconnectPeer, 0, hopByHop, endToEnd, body);
  BufferRelease(&body);
  if (message == nullptr) return;
  message->bytes[4] &=
      static_cast<uint8_t>(~kCommandFlagProxiable);  // base protocol: not proxiable
  platform::SocketSend(s, message->bytes, message->length);
  TracePacket(1, s, static_cast<int32_t>(message->length), message->bytes);
  BufferRelease(&message);
  ReceiveMessage(s, hopByHop, &receiveBuffer, kDisconnectAnswerSeconds, nullptr);
}

// The connection passed the exchange: poll it once a second under the lock until it goes away
// or the run ends.
void StayReady() {
  platform::Socket s = PeerState.PeerSocket.load();
  LogWrite("Diameter Ready\r\n");
  if (HasVendorId(receiveBuffer.bytes, kReceiveBufferSize, kVendor3GPP)) {
    LogWrite("3GPP is Supported-Vendor-ID\r\n");
  }
  if (HasVendorId(receiveBuffer.bytes, kReceiveBufferSize, kVendorScap)) {
    LogWrite("ERICSSON is Supported-Vendor-ID\r\n");
  }
  PeerState.Ready.store(1);
  while (PeerState.StopRequested.load() == 0 && PeerState.Ready.load() == 1) {
    platform::LockTake(&ConnectionLock);
    ReceiveMessage(s, kAnyHopByHop, &receiveBuffer, 0, nullptr);
    if (!IsConnectionAlive(s)) PeerState.Ready.store(0);
    platform::LockRelease(&ConnectionLock);
    if (PeerState.StopRequested.load() == 0 && PeerState.Ready.load() == 1) {
      SleepUnlessStopped(kReadyPollPauseMs);
    }
  }
  platform::LockTake(&ConnectionLock);
  bool stoppedWhileReady = PeerState.Ready.load() == 1;
  PeerState.Ready.store(0);
  platform::LockRelease(&ConnectionLock);
  if (stoppedWhileReady) SendDisconnectPeerRequest(s);
}

}  // namespace

void PeerThread() {
  PeerState.ThreadFinished.store(0);
  while (PeerState.StopRequested.load() == 0) {
    const char* text = GetCapabilitiesTemplate();
    if (text != nullptr) ExchangeCapabilities(text);
    if (PeerState.PeerSocket.load() != platform::kInvalidSocket) {
      StayReady();
    } else {
      SleepUnlessStopped(kRetryPauseMs);
    }
    ClosePeerSocket();
  }
  PeerState.ThreadFinished.store(1);
}

int WaitForDiameterReady(uint32_t seconds) {
  uint32_t start = platform::ElapsedMilliseconds();
  while (platform::ElapsedMilliseconds() - start < seconds * 1000u) {
    if (PeerState.Ready.load() == 1 && platform::LockTry(&ConnectionLock)) {
      if (PeerState.Ready.load() == 1) {
        LogWrite("WaitForDiameterReady - OK\r\n");
        return 1;
      }
      platform::LockRelease(&ConnectionLock);
    }
    platform::SleepMilliseconds(1);
  }
  LogWrite("WaitForDiameterReady - FAIL\r\n");
  return 0;
}

void ReleaseDiameterConnection() {
  platform::LockRelease(&ConnectionLock);
}
