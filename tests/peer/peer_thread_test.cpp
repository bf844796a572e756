// The peer connection thread against the scripted test peer: the capabilities exchange from the
// template, the ready state, keep-alive answers, reconnection and the orderly stop.
#include "peer/peer_thread.h"

#include <gtest/gtest.h>

#include <string>

#include "app/settings.h"
#include "message/diameter.h"
#include "message/placeholders.h"
#include "message/template_cache.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/thread.h"
#include "support/log_capture.h"
#include "support/test_peer.h"

namespace {

constexpr uint32_t kStopLimitMs = 3000;

constexpr char kOneElement[] =
    "<?xml version='1.0'?>\n"
    "<diameter application-id='0'>\n"
    "  <avp code='264' mandatory='Y' type='UTF8String' value='@@Config-Origin-Host@@'/>\n"
    "  <avp code='296' mandatory='Y' type='UTF8String' value='@@Config-Origin-Realm@@'/>\n"
    "  <avp code='257' mandatory='Y' type='IPAddress' value='@@Config-Host-IP-Address@@'/>\n"
    "  <avp code='266' mandatory='Y' type='unsigned32' value='10415'/>\n"
    "  <avp code='269' type='UTF8String' value='@@Config-Product-Name@@'/>\n"
    "</diameter>\n";

class PeerThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::OverrideExecutablePath(dir.File("mm9charge").c_str());
    snprintf(Settings.OriginHost, sizeof Settings.OriginHost, "client.test.example");
    snprintf(Settings.OriginRealm, sizeof Settings.OriginRealm, "test.example");
    snprintf(Settings.HostIPAddress, sizeof Settings.HostIPAddress, "127.0.0.1");
    snprintf(Settings.DestinationHostAddress, sizeof Settings.DestinationHostAddress, "127.0.0.1");
    ASSERT_TRUE(platform::LockCreate(&ConnectionLock));
  }

  void TearDown() override {
    Stop();
    platform::OverrideExecutablePath(nullptr);
  }

  void UseTemplate(const std::string& text) {
    WriteWholeFile(dir.File(kCapabilitiesTemplateName), text);
    TemplateCache.capabilities.lastCheck = 0;  // look at the file again on the next use
  }

  void StartThread(const TestPeer& peer) {
    snprintf(Settings.DestinationHostPortNumber, sizeof Settings.DestinationHostPortNumber, "%u",
             peer.Port());
    ASSERT_TRUE(platform::StartThread(PeerThread));
    started = true;
  }

  // Asks the thread to stop and waits for it; the time it took.
  uint32_t Stop() {
    if (!started) return 0;
    started = false;
    uint32_t begin = platform::ElapsedMilliseconds();
    PeerState.StopRequested.store(1);
    while (PeerState.ThreadFinished.load() == 0 &&
           platform::ElapsedMilliseconds() - begin < kStopLimitMs) {
      platform::SleepMilliseconds(1);
    }
    EXPECT_EQ(PeerState.ThreadFinished.load(), 1) << "the peer thread did not stop";
    return platform::ElapsedMilliseconds() - begin;
  }

  LogCapture log;
  TempDir dir;
  bool started = false;
};

TEST_F(PeerThreadTest, ExchangesCapabilitiesFromTheTemplateAndBecomesReady) {
  UseTemplate(kOneElement);
  TestPeer peer;
  peer.Read()
      .Answer({.avps = Concat({AvpU32(kAvpSupportedVendorId, kVendor3GPP),
                               AvpU32(kAvpSupportedVendorId, kVendorScap)})})
      .Read()  // the disconnect request of the orderly stop
      .Answer()
      .ExpectEnd();
  peer.Start();
  StartThread(peer);

  ASSERT_EQ(WaitForDiameterReady(5), 1);
  ReleaseDiameterConnection();
  uint32_t stopMs = Stop();
  ASSERT_TRUE(peer.Finish()) << peer.Failure();
  EXPECT_LT(stopMs, 1500u);

  std::vector<DecodedMessage> got = peer.Messages();
  ASSERT_EQ(got.size(), 2u);
  const DecodedMessage& cer = got[0];
  EXPECT_EQ(cer.commandCode, kCommandCapabilitiesExchange);  // no command-code attribute
  EXPECT_EQ(cer.flags, 0x80);                                // R only, never P for 257
  EXPECT_EQ(cer.applicationId, 0u);
  ASSERT_EQ(cer.avps.size(), 5u);
  EXPECT_EQ(cer.avps[0].Text(), "client.test.example");      // Origin-Host from the settings
  EXPECT_EQ(cer.avps[1].Text(), "test.example");             // Origin-Realm
  EXPECT_EQ(cer.avps[2].data, (Bytes{0, 1, 127, 0, 0, 1}));  // Host-IP-Address, family IPv4
  EXPECT_EQ(cer.avps[3].U32(), kVendor3GPP);                 // Vendor-Id
  EXPECT_EQ(cer.avps[4].Text(), "MMSC");                     // Product-Name default
  EXPECT_FALSE(cer.avps[4].IsMandatory());

  const DecodedMessage& dpr = got[1];
  EXPECT_EQ(dpr.commandCode, kCommandDisconnectPeer);
  EXPECT_EQ(dpr.flags, 0x80);  // a request, not proxiable
  EXPECT_EQ(dpr.applicationId, 0u);
  EXPECT_NE(dpr.hopByHop, cer.hopByHop);
  ASSERT_EQ(dpr.avps.size(), 3u);
  EXPECT_EQ(dpr.avps[0].code, kAvpOriginHost);
  EXPECT_EQ(dpr.avps[0].Text(), "client.test.example");
  EXPECT_EQ(dpr.avps[1].code, kAvpOriginRealm);
  EXPECT_EQ(dpr.avps[2].code, kAvpDisconnectCause);
  EXPECT_EQ(dpr.avps[2].U32(), 0u);  // REBOOTING

  std::string text = log.Log();
  const std::string expected[] = {
      "Connected to 127.0.0.1:" + std::to_string(peer.Port()) + "\r\n",
      "-> 108 byte packet\r\n",
      "<- ",
      "Result Code 2001\r\n",
      "Capabilities-Exchange-Request -- Diameter Result Code 2001\r\n",
      "Diameter Ready\r\n3GPP is Supported-Vendor-ID\r\nERICSSON is Supported-Vendor-ID\r\n",
      "WaitForDiameterReady - OK\r\n",
  };
  size_t at = 0;
  for (const std::string& line : expected) {
    size_t found = text.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing in order: " << line << "\n" << text;
    at = found;
  }
  EXPECT_EQ(log.Console(), text);
}

TEST_F(PeerThreadTest, RefusedFirstElementIsFollowedBySecondOnANewConnection) {
  UseTemplate(
      "<diameter><avp code='1' type='unsigned32' value='@@RequestCounter@@'/>"
      "<avp code='2' type='unsigned32' value='@@ServerStartTime@@'/></diameter>"
      "<diameter result-code-ok='2001, 2002'>"
      "<avp code='1' type='unsigned32' value='@@RequestCounter@@'/>"
      "<avp code='2' type='unsigned32' value='@@ServerStartTime@@'/></diameter>");
  static std::atomic<uint32_t> calendar{1000};
  platform::SetCalendarSecondsForTests([] { return calendar.fetch_add(7); });
  TestPeer peer;
  peer.Read().AnswerResult(5012).ExpectEnd().Accept().Read().AnswerResult(2002).Hold();
  peer.Start();
  StartThread(peer);

  ASSERT_EQ(WaitForDiameterReady(5), 1);
  ReleaseDiameterConnection();
  peer.Proceed();
  Stop();
  peer.Finish();
  platform::SetCalendarSecondsForTests(nullptr);

  std::vector<DecodedMessage> got = peer.Messages();
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(got[0].connection, 0);
  EXPECT_EQ(got[1].connection, 1);  // the second element went out on a new connection
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(got[i].avps.size(), 2u);
    EXPECT_EQ(got[i].avps[0].U32(), 1u) << "RequestCounter starts again for each element";
  }
  EXPECT_GT(got[1].avps[1].U32(), got[0].avps[1].U32()) << "ServerStartTime set per element";
  std::string text = log.Log();
  EXPECT_NE(text.find("Capabilities-Exchange-Request -- Diameter Result Code 5012\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("Capabilities-Exchange-Request -- Diameter Result Code 2002\r\n"
                      "Diameter Ready\r\n"),
            std::string::npos);
}

TEST_F(PeerThreadTest, AnswerWithoutResultCodeIsAcceptedOnlyWhenTheListHoldsZero) {
  struct Case {
    const char* list;
    bool ready;
  } cases[] = {{"2001", false}, {"2001,0", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    UseTemplate(std::string("<diameter result-code-ok='") + c.list + "'></diameter>");
    TestPeer peer;
    peer.Read().Answer({.resultCode = std::nullopt}).Hold(3000);
    peer.Start();
    PeerState.StopRequested.store(0);
    PeerState.ThreadFinished.store(0);
    StartThread(peer);
    EXPECT_EQ(WaitForDiameterReady(c.ready ? 5 : 2), c.ready ? 1 : 0);
    if (c.ready) ReleaseDiameterConnection();
    peer.Proceed();
    Stop();
    peer.Finish();
    std::string text = log.Log();
    EXPECT_NE(
        text.find("Result Code 0\r\n"
                  "Capabilities-Exchange-Request -- Unable to parse Diameter Result Code\r\n"),
        std::string::npos);
    EXPECT_EQ(text.find("Diameter Ready\r\n") != std::string::npos, c.ready);
    log.Clear();
  }
}

TEST_F(PeerThreadTest, ClosedReadyConnectionStartsANewExchangeAtOnce) {
  UseTemplate(kOneElement);
  TestPeer peer;
  peer.Read().Answer().Pause(200).Close().Accept().Read().Answer().Hold();
  peer.Start();
  StartThread(peer);
  ASSERT_TRUE(peer.WaitForMessages(1));
  uint32_t firstAt = platform::ElapsedMilliseconds();
  ASSERT_TRUE(peer.WaitForMessages(2, 4000));
  uint32_t gapMs = platform::ElapsedMilliseconds() - firstAt;
  // The poll notices the close within a second; the next exchange follows without the 2000 ms
  // pause of a failed cycle.
  EXPECT_LT(gapMs, 1900u);
  EXPECT_EQ(WaitForDiameterReady(3), 1);
  ReleaseDiameterConnection();
  peer.Proceed();
  Stop();
  peer.Finish();
  EXPECT_NE(log.Log().find("Diamter Debug:  ioctlsocket failed, no data\r\n"), std::string::npos);
}

TEST_F(PeerThreadTest, WatchdogAndDisconnectRequestsOnAReadyConnectionAreAnswered) {
  UseTemplate(kOneElement);
  TestPeer peer;
  peer.Read()
      .Answer()
      .SendWatchdogRequest(0x11111111, 0x22222222)
      .Read()
      .SendDisconnectRequest(0x33333333, 0x44444444)
      .Read()
      .Hold();
  peer.Start();
  StartThread(peer);
  ASSERT_TRUE(peer.WaitForMessages(3, 4000));
  // After a Disconnect-Peer-Request the connection stays ready until the server closes it.
  EXPECT_EQ(WaitForDiameterReady(5), 1);
  ReleaseDiameterConnection();
  peer.Proceed();
  peer.Finish();
  Stop();

  std::vector<DecodedMessage> got = peer.Messages();
  ASSERT_EQ(got.size(), 3u);
  struct Expect {
    uint32_t command, hopByHop, endToEnd;
  } answers[] = {{kCommandDeviceWatchdog, 0x11111111, 0x22222222},
                 {kCommandDisconnectPeer, 0x33333333, 0x44444444}};
  for (int i = 0; i < 2; ++i) {
    const DecodedMessage& a = got[i + 1];
    EXPECT_EQ(a.commandCode, answers[i].command);
    EXPECT_EQ(a.flags, 0);  // an answer: R, P, E and T clear
    EXPECT_EQ(a.hopByHop, answers[i].hopByHop);
    EXPECT_EQ(a.endToEnd, answers[i].endToEnd);
    ASSERT_EQ(a.avps.size(), 3u);
    EXPECT_EQ(a.avps[0].code, kAvpResultCode);
    EXPECT_EQ(a.avps[0].U32(), kResultSuccess);
    EXPECT_EQ(a.avps[1].Text(), "client.test.example");
    EXPECT_EQ(a.avps[2].Text(), "test.example");
  }
  std::string text = log.Log();
  EXPECT_NE(text.find("Diameter request received - code 280\r\n"), std::string::npos);
  EXPECT_NE(text.find("Diameter request received - code 282\r\n"), std::string::npos);
}

TEST_F(PeerThreadTest, WithoutTemplateTheThreadRetriesAndTheWaitFails) {
  TestPeer peer;  // never contacted
  StartThread(peer);
  EXPECT_EQ(WaitForDiameterReady(0), 0);
  uint32_t begin = platform::ElapsedMilliseconds();
  EXPECT_EQ(WaitForDiameterReady(2), 0);
  uint32_t waited = platform::ElapsedMilliseconds() - begin;
  EXPECT_GE(waited, 2000u);
  EXPECT_LT(waited, 2500u);
  // The thread sleeps its 2000 ms pause; a stop ends the pause early.
  EXPECT_LT(Stop(), 200u);
  EXPECT_EQ(log.Log(), "WaitForDiameterReady - FAIL\r\nWaitForDiameterReady - FAIL\r\n");
  EXPECT_EQ(peer.Connections(), 0);
}

TEST_F(PeerThreadTest, UnreachableServerIsRetriedAfterThePause) {
  UseTemplate(kOneElement);
  uint16_t port;
  {
    TestPeer closed;  // a port nobody listens on once it is gone
    port = closed.Port();
  }
  snprintf(Settings.DestinationHostPortNumber, sizeof Settings.DestinationHostPortNumber, "%u",
           port);
  ASSERT_TRUE(platform::StartThread(PeerThread));
  started = true;
  EXPECT_EQ(WaitForDiameterReady(3), 0);
  Stop();
  std::string line = "Error connecting to 127.0.0.1:" + std::to_string(port) + "\r\n";
  std::string text = log.Log();
  size_t first = text.find(line);
  ASSERT_NE(first, std::string::npos) << text;
  EXPECT_NE(text.find(line, first + 1), std::string::npos) << "retried after 2000 ms";
}

TEST_F(PeerThreadTest, StopWhileReadyEndsPromptlyAndClosesTheSocketFirst) {
  UseTemplate(kOneElement);
  TestPeer peer;
  peer.Read().Answer().Read(4000).Answer().ExpectEnd(3000);
  peer.Start();
  StartThread(peer);
  ASSERT_EQ(WaitForDiameterReady(5), 1);
  ReleaseDiameterConnection();
  platform::SleepMilliseconds(100);  // the thread now sleeps between two polls
  EXPECT_LT(Stop(), 500u);
  // ThreadFinished was set only after the socket was closed: the peer has seen the end.
  EXPECT_EQ(PeerState.PeerSocket.load(), platform::kInvalidSocket);
  ASSERT_TRUE(peer.Finish(3000)) << peer.Failure();
}

}  // namespace
