// The charge against the scripted test peer: the request values, the request loop over the
// template's `diameter` elements and the verdict.
#include "charge/charge.h"

#include <gtest/gtest.h>

#include <string>

#include "app/settings.h"
#include "message/diameter.h"
#include "message/template_cache.h"
#include "peer/peer_thread.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/socket.h"
#include "support/log_capture.h"
#include "support/test_peer.h"

namespace {

constexpr uint32_t kTimeoutSeconds = 2;
constexpr uint32_t kCalendar = 1700000000;
constexpr uint32_t kTick = 123456;

// Every request placeholder, one UTF8String AVP each, in slot order.
constexpr char kAllSlots[] =
    "<diameter>"
    "<avp code='263' type='UTF8String' value='@@Session-Id@@'/>"
    "<avp code='1' type='UTF8String' value='@@TimeStamp@@'/>"
    "<avp code='2' type='UTF8String' value='@@Sender@@'/>"
    "<avp code='3' type='UTF8String' value='@@Recip@@'/>"
    "<avp code='4' type='UTF8String' value='@@TimeZone@@'/>"
    "<avp code='5' type='UTF8String' value='@@SGSNMCCMNC@@'/>"
    "<avp code='6' type='UTF8String' value='@@SGSNADDRESS@@'/>"
    "<avp code='7' type='UTF8String' value='@@Sender-Address-Type@@'/>"
    "<avp code='8' type='UTF8String' value='@@Recip-Address-Type@@'/>"
    "<avp code='9' type='UTF8String' value='@@MsgSize@@'/>"
    "<avp code='10' type='UTF8String' value='@@VASPID@@'/>"
    "</diameter>";

class ChargeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::OverrideExecutablePath(dir.File("mm9charge").c_str());
    snprintf(Settings.OriginHost, sizeof Settings.OriginHost, "client.test.example");
    snprintf(Settings.OriginRealm, sizeof Settings.OriginRealm, "test.example");
  }
  void TearDown() override {
    platform::SocketClose(PeerState.PeerSocket.load());
    PeerState.PeerSocket.store(platform::kInvalidSocket);
    platform::OverrideExecutablePath(nullptr);
    platform::SetCalendarSecondsForTests(nullptr);
    platform::SetTickCountForTests(nullptr);
    platform::SetTimeZoneBiasForTests(nullptr);
  }

  void UseTemplate(const std::string& text) {
    WriteWholeFile(dir.File(kCreditControlTemplateName), text);
    TemplateCache.creditControl.lastCheck = 0;  // look at the file again on the next use
  }

  // The ready connection that the charge borrows from the peer thread.
  void Connect(TestPeer& peer) {
    peer.Start();
    platform::Socket s = platform::SocketCreateTcp();
    ASSERT_NE(s, platform::kInvalidSocket);
    ASSERT_TRUE(platform::SocketConnect(s, platform::InetAddr("127.0.0.1"), peer.Port(), 2000));
    PeerState.PeerSocket.store(s);
  }

  int Charge(const char* sender = "+4917012345", const char* recip = "+4917054321",
             const char* vasp = "vasp-1") {
    return SendCharge(sender, recip, 32768, "26201", "10.1.2.3", vasp, kTimeoutSeconds);
  }

  LogCapture log;
  TempDir dir;
};

TEST_F(ChargeTest, FillsEverySlotOfTheRequest) {
  platform::SetCalendarSecondsForTests([] { return kCalendar; });
  platform::SetTickCountForTests([] { return kTick; });
  platform::SetTimeZoneBiasForTests([]() -> int32_t { return -60; });  // UTC+1
  UseTemplate(kAllSlots);
  TestPeer peer;
  peer.Read().AnswerResult(2001);
  Connect(peer);
  EXPECT_EQ(Charge("+4917012345", "++mms@example.org", nullptr), 1);
  ASSERT_TRUE(peer.Finish()) << peer.Failure();

  std::vector<DecodedMessage> got = peer.Messages();
  ASSERT_EQ(got.size(), 1u);
  const std::vector<DecodedAvp>& avps = got[0].avps;
  ASSERT_EQ(avps.size(), 11u);
  const std::string expected[] = {
      "client.test.example;1700000000;123456",            // Session-Id: identity;high;low
      std::to_string(uint64_t{kCalendar} + 2208988800u),  // seconds since 1900
      "4917012345",                                       // one leading "+" dropped
      "+mms@example.org",                                 // only one "+" is dropped
      "4000",  // UTC+1: four quarter hours, swapped digits
      "26201",
      "10.1.2.3",
      "1",  // MSISDN: no "@"
      "0",  // e-mail address
      "32768",
      "",  // no VASP identifier given
  };
  for (size_t i = 0; i < avps.size(); ++i) EXPECT_EQ(avps[i].Text(), expected[i]) << "AVP " << i;
}

TEST_F(ChargeTest, TimeZoneFollowsTheThreeGppCoding) {
  struct Case {
    int32_t bias;
    const char* text;
  } cases[] = {{0, "0000"},    {-60, "4000"}, {300, "0A00"}, {-330, "2200"},
               {-480, "2300"}, {360, "4A00"}, {210, "4900"}, {-600, "0400"}};
  static int32_t bias;
  platform::SetTimeZoneBiasForTests([] { return bias; });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bias);
    bias = c.bias;
    UseTemplate("<diameter><avp code='4' type='UTF8String' value='@@TimeZone@@'/></diameter>");
    TestPeer peer;
    peer.Read().AnswerResult(2001);
    Connect(peer);
    Charge();
    peer.Finish();
    std::vector<DecodedMessage> got = peer.Messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].avps.at(0).Text(), c.text);
    platform::SocketClose(PeerState.PeerSocket.load());
    PeerState.PeerSocket.store(platform::kInvalidSocket);
    // Each request looks at the template again only after the cache's window; start afresh.
    TemplateCache.creditControl.lastCheck = 0;
    TemplateCache.creditControl.writeTime = 0;
  }
}

TEST_F(ChargeTest, ElementWithoutAttributesSendsCreditControlAndJudgesTheAnswer) {
  struct Case {
    std::optional<uint32_t> answerCode;
    int verdict;
    const char* line;
  } cases[] = {
      {2001, 1, "Diameter Result Code 2001\r\n"},
      {4012, 0, "Diameter Result Code 4012\r\n"},
      {std::nullopt, 0, "Result Code 0\r\nUnable to parse Diameter Result Code\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    UseTemplate("<diameter><avp code='263' type='UTF8String' value='x'/></diameter>");
    TestPeer peer;
    peer.Read().Answer({.resultCode = c.answerCode});
    Connect(peer);
    EXPECT_EQ(Charge(), c.verdict);
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    const DecodedMessage ccr = peer.Messages().at(0);
    EXPECT_EQ(ccr.commandCode, kCommandCreditControl);
    EXPECT_EQ(ccr.flags, 0xC0);  // R and P
    EXPECT_EQ(ccr.applicationId, kApplicationCreditControl);
    EXPECT_NE(log.Log().find(c.line), std::string::npos) << log.Log();
    platform::SocketClose(PeerState.PeerSocket.load());
    log.Clear();
  }
}

TEST_F(ChargeTest, AttributesGiveCommandApplicationAndTheList) {
  // command-code 0 falls back to 272, application-id 0 is taken as given, and the list skips the
  // blank after its comma; an answer without Result-Code counts when the list holds "0".
  UseTemplate(
      "<diameter command-code='0' application-id='0' result-code-ok='2001, 2002'></diameter>"
      "<diameter application-id='' result-code-ok='0'></diameter>");
  TestPeer peer;
  peer.Read().AnswerResult(2002).Read().Answer({.resultCode = std::nullopt});
  Connect(peer);
  // The second answer has no Result-Code: the loop ends there, judged against its list.
  EXPECT_EQ(Charge(), 1);
  ASSERT_TRUE(peer.Finish()) << peer.Failure();
  std::vector<DecodedMessage> got = peer.Messages();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].commandCode, kCommandCreditControl);
  EXPECT_EQ(got[0].applicationId, 0u);
  EXPECT_EQ(got[0].length, 20u);                               // no AVP at all: a bare header
  EXPECT_EQ(got[1].applicationId, kApplicationCreditControl);  // empty gives the default
  EXPECT_EQ(got[0].connection, got[1].connection);             // both on the one connection
}

TEST_F(ChargeTest, RefusedOrUnansweredElementEndsTheCharge) {
  constexpr char kTwo[] =
      "<diameter><avp code='1' type='unsigned32' value='1'/></diameter>"
      "<diameter><avp code='1' type='unsigned32' value='2'/></diameter>";
  {
    UseTemplate(kTwo);
    TestPeer peer;
    peer.Read().AnswerResult(5030).Pause(300);
    Connect(peer);
    EXPECT_EQ(Charge(), 0);
    peer.Finish();
    EXPECT_EQ(peer.Messages().size(), 1u) << "the second element is never sent";
    platform::SocketClose(PeerState.PeerSocket.load());
  }
  {
    TestPeer peer;
    peer.Read().AnswerResult(2001).Read().Hold(4000);
    Connect(peer);
    uint32_t begin = platform::ElapsedMilliseconds();
    EXPECT_EQ(Charge(), 0);
    uint32_t took = platform::ElapsedMilliseconds() - begin;
    EXPECT_GE(took, kTimeoutSeconds * 1000);
    EXPECT_LT(took, kTimeoutSeconds * 1000 + 1000);
    peer.Proceed();
    peer.Finish();
    EXPECT_EQ(peer.Messages().size(), 2u);
    std::string text = log.Log();
    EXPECT_NE(text.find("Diameter Result Code 2001\r\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 18), "Diameter timeout\r\n");
  }
}

TEST_F(ChargeTest, WatchdogAndStrayAnswerDuringTheWaitAreHandled) {
  UseTemplate("<diameter><avp code='1' type='unsigned32' value='1'/></diameter>");
  TestPeer peer;
  // Answers go to the last message read, the request: first with an identifier that belongs to
  // nobody, then a watchdog request, then the real answer; the watchdog answer is read last.
  peer.Read()
      .Answer({.hopByHop = 0x12345678})
      .SendWatchdogRequest(0xAAAA0001, 0xBBBB0001)
      .AnswerResult(2001)
      .Read();
  Connect(peer);
  EXPECT_EQ(Charge(), 1);
  ASSERT_TRUE(peer.Finish()) << peer.Failure();
  std::vector<DecodedMessage> got = peer.Messages();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].commandCode, kCommandDeviceWatchdog);
  EXPECT_EQ(got[1].flags, 0);
  EXPECT_EQ(got[1].hopByHop, 0xAAAA0001u);  // the request's own identifiers
  EXPECT_EQ(got[1].endToEnd, 0xBBBB0001u);
  std::string text = log.Log();
  size_t watchdog = text.find("Diameter request received - code 280\r\n");
  size_t mismatch = text.find("Diameter response ID does not match\r\n");
  size_t result = text.find("Diameter Result Code 2001\r\n");
  ASSERT_NE(watchdog, std::string::npos);
  ASSERT_NE(mismatch, std::string::npos);
  ASSERT_NE(result, std::string::npos);
  EXPECT_LT(mismatch, watchdog);
  EXPECT_LT(watchdog, result);
}

TEST_F(ChargeTest, NoTemplateOrNoDiameterElementSendsNothing) {
  TestPeer peer;
  peer.Pause(300);
  Connect(peer);
  EXPECT_EQ(Charge(), 0);  // no template file at all
  UseTemplate("<avp code='1' type='unsigned32' value='1'/>");
  TemplateCache.creditControl.lastCheck = 0;
  EXPECT_EQ(Charge(), 0);  // a template without a `diameter` element
  peer.Finish();
  EXPECT_TRUE(peer.Messages().empty());
  EXPECT_EQ(log.Log(), "");
}

}  // namespace
