// The message receiver against the scripted peer over real loopback sockets: framing by the
// Message Length, the limits of a message, every failure line, the automatic watchdog and
// disconnect answers, and the connection probe.
#include "peer/receiver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/log.h"
#include "app/settings.h"
#include "message/diameter.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "support/log_capture.h"
#include "support/test_peer.h"

namespace {

constexpr uint32_t kExpected = 0x01020304u;  // Hop-by-Hop Identifier the tests wait for
constexpr uint32_t kSettleMs = 3000;         // bound of the tests' own waits for bytes

// A credit-control answer (P set, R clear).
Bytes AnswerWith(uint32_t hopByHop, const Bytes& avps) {
  return BuildMessage(kCommandCreditControl, kCommandFlagProxiable, kApplicationCreditControl,
                      hopByHop, 77, avps);
}

Bytes Prefix(const Bytes& bytes, size_t count) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

Bytes Rest(const Bytes& bytes, size_t from) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end());
}

Bytes PeerOrigin() {
  return Concat({AvpText(kAvpOriginHost, kTestPeerOriginHost),
                 AvpText(kAvpOriginRealm, kTestPeerOriginRealm)});
}

uint32_t Now() {
  return platform::ElapsedMilliseconds();
}

// Reads count bytes straight from the socket (bounded).
Bytes ReadRaw(platform::Socket s, size_t count) {
  Bytes out(count);
  size_t have = 0;
  uint32_t start = Now();
  while (have < count && Now() - start < kSettleMs) {
    if (platform::SocketWaitReadable(s, 100) != 1) continue;
    int32_t n = platform::SocketRecv(s, out.data() + have, static_cast<uint32_t>(count - have));
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  out.resize(have);
  return out;
}

bool WaitForPending(platform::Socket s, uint32_t count) {
  uint32_t start = Now();
  while (Now() - start < kSettleMs) {
    uint32_t n = 0;
    if (platform::SocketPendingBytes(s, &n) && n >= count) return true;
    platform::SleepMilliseconds(5);
  }
  return false;
}

// The answer to a watchdog or disconnect request: the request's header with every flag clear,
// then Result-Code 2001, Origin-Host and Origin-Realm of this client, each mandatory.
void ExpectAutomaticAnswer(const DecodedMessage& answer, const Bytes& requestBytes) {
  DecodedMessage request = DecodeMessage(requestBytes);
  EXPECT_TRUE(answer.wellFormed);
  EXPECT_EQ(answer.version, 1);
  EXPECT_EQ(answer.length, answer.bytes.size());
  EXPECT_EQ(answer.flags, 0);
  EXPECT_EQ(answer.commandCode, request.commandCode);
  EXPECT_EQ(answer.applicationId, request.applicationId);
  EXPECT_EQ(answer.hopByHop, request.hopByHop);
  EXPECT_EQ(answer.endToEnd, request.endToEnd);
  ASSERT_EQ(answer.avps.size(), 3u);
  const uint32_t codes[] = {kAvpResultCode, kAvpOriginHost, kAvpOriginRealm};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(answer.avps[i].code, codes[i]);
    EXPECT_EQ(answer.avps[i].flags, kAvpFlagMandatory);
  }
  EXPECT_EQ(answer.avps[0].length, 12u);
  EXPECT_EQ(answer.avps[0].U32(), kResultSuccess);
  EXPECT_EQ(answer.avps[1].Text(), Settings.OriginHost);
  EXPECT_EQ(answer.avps[2].Text(), Settings.OriginRealm);
}

// Makes the nth call of one kind fail with ECONNRESET.
platform::SocketCall faultCall = platform::SocketCall::kRecv;
int faultNth = 0;
int faultSeen = 0;
uint32_t FailNthCall(platform::SocketCall call) {
  if (call != faultCall) return 0;
  return ++faultSeen == faultNth ? static_cast<uint32_t>(ECONNRESET) : 0;
}

class ReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    snprintf(Settings.OriginHost, sizeof Settings.OriginHost, "client.test.example");
    snprintf(Settings.OriginRealm, sizeof Settings.OriginRealm, "client.example");
    memset(buffer.bytes, 0xAA, sizeof buffer.bytes);
  }

  void TearDown() override {
    platform::SetSocketFaultForTests(nullptr);
    platform::SocketClose(s);
  }

  // Starts the peer's script and connects to it; a previous connection is closed.
  void Connect(TestPeer& peer) {
    platform::SocketClose(s);
    ASSERT_TRUE(peer.Listening());
    peer.Start();
    s = platform::SocketCreateTcp();
    ASSERT_EQ(platform::SocketConnect(s, platform::InetAddr("127.0.0.1"), peer.Port(), 2000), 1);
  }

  // The dump of the first count bytes as it appears for this connection; forgets the log.
  std::string Trace(int direction, const Bytes& bytes, size_t count) {
    log.Clear();
    TracePacket(direction, s, static_cast<int32_t>(count), bytes.data());
    std::string dump = log.Log();
    log.Clear();
    return dump;
  }
  std::string Trace(int direction, const Bytes& bytes) {
    return Trace(direction, bytes, bytes.size());
  }

  // The buffer holds exactly the message, zero bytes after it.
  void ExpectDelivered(const Bytes& message) {
    EXPECT_TRUE(std::equal(message.begin(), message.end(), buffer.bytes));
    EXPECT_TRUE(std::all_of(buffer.bytes + message.size(), buffer.bytes + kReceiveBufferSize,
                            [](uint8_t b) { return b == 0; }));
  }

  LogCapture log;
  ReceiveBuffer buffer;
  platform::Socket s = platform::kInvalidSocket;
};

TEST_F(ReceiverTest, DeliversWholeMessagesUpToTheLargestLength) {
  // Below a header's length nothing past the length bytes is looked at: this one would be a
  // watchdog request.
  const Bytes shortMessage = {0x01, 0x00, 0x00, 0x0C, kCommandFlagRequest, 0x00, 0x01, 0x18,
                              0x00, 0x00, 0x00, 0x00};
  const Bytes headerOnly = AnswerWith(kExpected, {});
  const Bytes largest = AnswerWith(kExpected, AvpText(kAvpSessionId, std::string(16356, 'x')));
  ASSERT_EQ(largest.size(), kReceiveBufferSize);
  for (const Bytes* message : {&shortMessage, &headerOnly, &largest}) {
    SCOPED_TRACE(message->size());
    TestPeer peer;
    peer.Send(*message);
    Connect(peer);
    int32_t flag = 0;
    EXPECT_EQ(ReceiveMessage(s, kExpected, &buffer, 5, &flag), 1);
    EXPECT_EQ(flag, 0);
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    EXPECT_TRUE(peer.Messages().empty());
    ExpectDelivered(*message);
    std::string got = log.Log();
    EXPECT_EQ(got, Trace(0, *message));
  }
}

TEST_F(ReceiverTest, RefusesALongerMessageAfterItsLengthBytes) {
  Bytes tooLong = AnswerWith(kExpected, AvpText(kAvpSessionId, std::string(16356, 'x')));
  tooLong.push_back('y');
  tooLong[1] = 0x00;  // Message Length 16385
  tooLong[2] = 0x40;
  tooLong[3] = 0x01;
  TestPeer peer;
  peer.Send(tooLong);
  Connect(peer);
  int32_t flag = 0;
  EXPECT_EQ(ReceiveMessage(s, kExpected, &buffer, 5, &flag), 0);
  EXPECT_EQ(log.Log(), "Diameter Debug:  recv failed, SMPP packet size exceeds max length\r\n");
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(ReadRaw(s, tooLong.size() - 4), Rest(tooLong, 4));  // the rest stays unread
  EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

TEST_F(ReceiverTest, FewerThanFourPendingBytesAreLeftOnTheSocket) {
  TestPeer peer;
  peer.Send({0x01, 0x00}).Hold();
  Connect(peer);
  int32_t flag = 0;
  EXPECT_EQ(ReceiveMessage(s, kExpected, &buffer, 5, &flag), 0);
  EXPECT_EQ(log.Log(), "Diameter Debug:  ioctlsocket failed, not enough data\r\n");
  EXPECT_EQ(flag, 0);
  uint32_t pending = 0;
  EXPECT_EQ(platform::SocketPendingBytes(s, &pending), 1);
  EXPECT_EQ(pending, 2u);
  peer.Proceed();
  EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

TEST_F(ReceiverTest, ClosedConnectionIsReportedShutDownAndNoLongerAlive) {
  TestPeer peer;
  peer.Hold().Send({1, 2, 3}).Hold().Close();
  Connect(peer);
  EXPECT_EQ(IsConnectionAlive(s), 1);  // idle
  peer.Proceed();
  ASSERT_TRUE(WaitForPending(s, 3));
  EXPECT_EQ(IsConnectionAlive(s), 1);  // bytes pending
  EXPECT_EQ(ReadRaw(s, 3).size(), 3u);
  peer.Proceed();
  ASSERT_TRUE(peer.Finish()) << peer.Failure();
  ASSERT_EQ(platform::SocketWaitReadable(s, kSettleMs), 1);

  int32_t flag = 0;
  EXPECT_EQ(ReceiveMessage(s, kAnyHopByHop, &buffer, 0, &flag), 0);
  EXPECT_EQ(log.Log(), "Diamter Debug:  ioctlsocket failed, no data\r\n");
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(IsConnectionAlive(s), 0);
  EXPECT_EQ(platform::SocketSend(s, "x", 1), -1);  // the sending direction is shut down
}

TEST_F(ReceiverTest, PollAndShortTimeOutOnAnIdleSocketWriteNothing) {
  TestPeer peer;
  peer.Hold();
  Connect(peer);
  struct Case {
    uint32_t timeoutSeconds;
    uint32_t leastMs;
    uint32_t mostMs;
  };
  for (const Case& c : {Case{0, 0, 300}, Case{1, 950, 2000}}) {
    SCOPED_TRACE(c.timeoutSeconds);
    int32_t flag = 0;
    uint32_t start = Now();
    EXPECT_EQ(ReceiveMessage(s, kExpected, &buffer, c.timeoutSeconds, &flag), 0);
    uint32_t took = Now() - start;
    EXPECT_GE(took, c.leastMs);
    EXPECT_LT(took, c.mostMs);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(log.Log(), "");
  }
  peer.Proceed();
  EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

TEST_F(ReceiverTest, MessageThatStopsArrivingTimesOutAndIsTraced) {
  const Bytes message = AnswerWith(kExpected, AvpU32(kAvpResultCode, kResultSuccess));
  TestPeer peer;
  peer.Send(Prefix(message, 10)).Hold();
  Connect(peer);
  const ReceiveLimits limits = {300, kRestTotalMs};
  int32_t flag = 0;
  uint32_t start = Now();
  EXPECT_EQ(ReceiveMessageWithLimits(s, kExpected, &buffer, 5, &flag, &limits), 0);
  uint32_t took = Now() - start;
  EXPECT_GE(took, 280u);
  EXPECT_LT(took, 2500u);
  EXPECT_EQ(flag, 0);
  std::string got = log.Log();
  EXPECT_EQ(got, "Diameter Timeout\r\n" + Trace(0, message, 10));
  peer.Proceed();
  EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

// The rest of a message has a wait of its own, independent of the call's time-out.
TEST_F(ReceiverTest, RestOfAMessageMayComeAfterTheCallTimeOut) {
  const Bytes message = AnswerWith(kExpected, AvpU32(kAvpResultCode, kResultSuccess));
  TestPeer peer;
  peer.Send(Prefix(message, 10)).Pause(1500).Send(Rest(message, 10));
  Connect(peer);
  int32_t flag = 0;
  uint32_t start = Now();
  EXPECT_EQ(ReceiveMessage(s, kExpected, &buffer, 1, &flag), 1);
  EXPECT_GE(Now() - start, 1400u);
  ExpectDelivered(message);
  std::string got = log.Log();
  EXPECT_EQ(got, Trace(0, message));
  EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

TEST_F(ReceiverTest, TrickleEndsOnceTheRestTakesLongerThanItsLimit) {
  const Bytes message = AnswerWith(kExpected, AvpText(kAvpSessionId, std::string(28, 's')));
  TestPeer peer;
  peer.Send(Prefix(message, 8)).Trickle(Rest(message, 8), 1, 40);
  Connect(peer);
  const ReceiveLimits limits = {2000, 300};
  int32_t flag = 0;
  uint32_t start = Now();
  EXPECT_EQ(ReceiveMessageWithLimits(s, kExpected, &buffer, 5, &flag, &limits), 0);
  uint32_t took = Now() - start;
  EXPECT_GE(took, 300u);
  EXPECT_LT(took, 1500u);
  EXPECT_EQ(flag, 0);
  std::string got = log.Log();
  unsigned traced = 0;
  size_t header = got.find(") 127.0.0.1 <- ");
  ASSERT_NE(header, std::string::npos) << got;
  ASSERT_EQ(sscanf(got.c_str() + header, ") 127.0.0.1 <- %u byte packet", &traced), 1);
  EXPECT_GT(traced, 8u);
  EXPECT_LT(traced, message.size());
  EXPECT_EQ(got, "DIAMETER TIMEOUT\r\n" + Trace(0, message, traced));
  EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

TEST_F(ReceiverTest, PeerClosingWithinAMessageIsReportedWithoutShutdown) {
  const Bytes message = AnswerWith(kExpected, AvpU32(kAvpResultCode, kResultSuccess));
  TestPeer peer;
  peer.Send(Prefix(message, 10)).Close();
  Connect(peer);
  int32_t flag = 0;
  EXPECT_EQ(ReceiveMessage(s, kExpected, &buffer, 5, &flag), 0);
  EXPECT_EQ(log.Log(), "Diameter Debug:  ioctlsocket 2 failed, no data\r\n");
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(platform::SocketSend(s, "x", 1), 1);  // still open for sending
  EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

TEST_F(ReceiverTest, StrayAnswerIsDroppedAndTheMatchingOneBehindItDelivered) {
  const Bytes stray =
      AnswerWith(kExpected + 1,
                 Concat({AvpU32(kAvpResultCode, 5012), AvpText(kAvpSessionId, "a longer one")}));
  const Bytes match = AnswerWith(kExpected, AvpU32(kAvpResultCode, kResultSuccess));
  TestPeer peer;
  peer.Send(Concat({stray, match}));  // one send: the receiver must frame them itself
  Connect(peer);
  int32_t flag = 1;  // never cleared by the receiver
  EXPECT_EQ(ReceiveMessage(s, kExpected, &buffer, 5, &flag), 1);
  EXPECT_EQ(flag, 1);
  ExpectDelivered(match);
  std::string got = log.Log();
  EXPECT_EQ(got, Trace(0, stray) + "Diameter response ID does not match\r\n" + Trace(0, match));
  EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

TEST_F(ReceiverTest, WatchdogRequestIsAnsweredAndOtherRequestsSkippedWhileWaiting) {
  const Bytes other = BuildMessage(258, kCommandFlagRequest | kCommandFlagProxiable, 4, 3, 4,
                                   AvpText(kAvpSessionId, "re-auth"));
  const Bytes watchdog =
      BuildMessage(kCommandDeviceWatchdog, kCommandFlagRequest, 0, 7, 8, PeerOrigin());
  const Bytes answer = AnswerWith(kExpected, AvpU32(kAvpResultCode, kResultSuccess));
  TestPeer peer;
  peer.Send(other).Send(watchdog).Read().Send(answer);
  Connect(peer);
  int32_t flag = 0;
  EXPECT_EQ(ReceiveMessage(s, kExpected, &buffer, 5, &flag), 1);
  EXPECT_EQ(flag, 0);
  ExpectDelivered(answer);
  ASSERT_TRUE(peer.Finish()) << peer.Failure();
  std::vector<DecodedMessage> sent = peer.Messages();
  ASSERT_EQ(sent.size(), 1u);  // the other request is not answered
  ExpectAutomaticAnswer(sent[0], watchdog);
  std::string got = log.Log();
  EXPECT_EQ(got, Trace(0, other) + "Diameter request received - code 258\r\n" + Trace(0, watchdog) +
                     "Diameter request received - code 280\r\n" + Trace(1, sent[0].bytes) +
                     Trace(0, answer));
}

// After an answered watchdog request the wait is for the whole seconds that remain of the call.
TEST_F(ReceiverTest, TimeOutCoversTheWholeCallAcrossAWatchdogRequest) {
  const Bytes watchdog =
      BuildMessage(kCommandDeviceWatchdog, kCommandFlagRequest, 0, 7, 8, PeerOrigin());
  TestPeer peer;
  peer.Pause(1200).Send(watchdog).Read().Hold(6000);
  Connect(peer);
  int32_t flag = 0;
  uint32_t start = Now();
  EXPECT_EQ(ReceiveMessage(s, kExpected, &buffer, 2, &flag), 0);
  uint32_t took = Now() - start;
  EXPECT_GE(took, 1900u);
  EXPECT_LT(took, 2900u);
  peer.Proceed();
  ASSERT_TRUE(peer.Finish()) << peer.Failure();
  std::vector<DecodedMessage> sent = peer.Messages();
  ASSERT_EQ(sent.size(), 1u);
  std::string got = log.Log();
  EXPECT_EQ(got, Trace(0, watchdog) + "Diameter request received - code 280\r\n" +
                     Trace(1, sent[0].bytes));
}

TEST_F(ReceiverTest, DisconnectRequestIsAnsweredAndEndsTheCall) {
  const Bytes disconnect = BuildMessage(kCommandDisconnectPeer, kCommandFlagRequest, 0, 11, 12,
                                        Concat({PeerOrigin(), AvpU32(kAvpDisconnectCause, 0)}));
  const Bytes answer = AnswerWith(kExpected, AvpU32(kAvpResultCode, kResultSuccess));
  TestPeer peer;
  peer.Send(disconnect).Read().Send(answer);
  Connect(peer);
  int32_t flag = 0;
  EXPECT_EQ(ReceiveMessage(s, kExpected, &buffer, 5, &flag), 0);
  EXPECT_EQ(flag, 0);
  ASSERT_TRUE(peer.Finish()) << peer.Failure();
  std::vector<DecodedMessage> sent = peer.Messages();
  ASSERT_EQ(sent.size(), 1u);
  ExpectAutomaticAnswer(sent[0], disconnect);
  std::string got = log.Log();
  EXPECT_EQ(got, Trace(0, disconnect) + "Diameter request received - code 282\r\n" +
                     Trace(1, sent[0].bytes));
  EXPECT_EQ(ReadRaw(s, answer.size()), answer);  // what came after stays for the next call
}

TEST_F(ReceiverTest, FailedSocketCallsReportTheErrorNumberAndSetTheFlag) {
  using Call = platform::SocketCall;
  const std::string reset = std::to_string(ECONNRESET) + "\r\n";
  struct Case {
    Call call;
    int nth;
    uint32_t timeoutSeconds;
    std::string lines;
  };
  const Case cases[] = {
      {Call::kWaitReadable, 1, 5,
       "Diameter Debug:  select failed, WSAGetLastError reports " + reset},
      {Call::kWaitReadable, 1, 30,
       "Diameter Debug:  select failed, WSAGetLastError reports " + reset +
           "Diameter select timeout\r\n"},
      {Call::kPendingBytes, 1, 5,
       "Diameter Debug:  ioctlsocket failed, WSAGetLastError reports " + reset},
      {Call::kRecv, 1, 5, "Diameter Debug:  recv failed, WSAGetLastError reports " + reset},
      {Call::kWaitReadable, 2, 5,
       "Diameter Debug:  select 2 failed, WSAGetLastError reports " + reset},
      {Call::kPendingBytes, 2, 5,
       "Diameter Debug:  ioctlsocket 2 failed, WSAGetLastError reports " + reset},
      {Call::kRecv, 2, 5, "Diameter Debug:  recv 2 failed, WSAGetLastError reports " + reset},
  };
  const Bytes message = AnswerWith(kExpected, AvpU32(kAvpResultCode, kResultSuccess));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    TestPeer peer;
    peer.Send(message);
    Connect(peer);
    ASSERT_TRUE(WaitForPending(s, static_cast<uint32_t>(message.size())));
    faultCall = c.call;
    faultNth = c.nth;
    faultSeen = 0;
    platform::SetSocketFaultForTests(FailNthCall);
    int32_t flag = 0;
    EXPECT_EQ(ReceiveMessage(s, kExpected, &buffer, c.timeoutSeconds, &flag), 0);
    platform::SetSocketFaultForTests(nullptr);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(log.Log(), c.lines);
    log.Clear();
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
  }
}

TEST_F(ReceiverTest, WaitOnAClosedHandleReportsThePlatformErrorNumber) {
  platform::Socket gone = platform::SocketCreateTcp();
  platform::SocketClose(gone);
  int32_t flag = 0;
  EXPECT_EQ(ReceiveMessage(gone, kExpected, &buffer, 30, &flag), 0);
  EXPECT_EQ(log.Log(), "Diameter Debug:  select failed, WSAGetLastError reports " +
                           std::to_string(EBADF) + "\r\nDiameter select timeout\r\n");
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(IsConnectionAlive(gone), 0);
}

}  // namespace
