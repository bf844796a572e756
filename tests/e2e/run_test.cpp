// The whole run of the real program against a scripted Diameter server: the verdicts, the log of
// an accepted charge, an unreachable server, missing templates and the end of standard input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_folder.h"
#include "support/test_peer.h"

namespace {

constexpr uint32_t kAvpSupportedVendorId = 265;
constexpr uint32_t kVendor3gpp = 10415;
constexpr uint32_t kCommandCapabilitiesExchange = 257;
constexpr uint32_t kCommandCreditControl = 272;
constexpr uint32_t kCommandDisconnectPeer = 282;
// With the SCAP set off, Enter answers the 19 questions of a run.
const std::string kEnterThrough(19, '\n');

void AnswerCapabilities(TestPeer& peer) {
  peer.Read().Answer({.avps = AvpU32(kAvpSupportedVendorId, kVendor3gpp)});
}

constexpr char kReceivedTrace[] = " 127.0.0.1 <- ";

std::string TraceHeader(const char* direction, size_t bytes) {
  return " 127.0.0.1 " + std::string(direction) + " " + std::to_string(bytes) + " byte packet\r\n";
}

// The console text after the answer to the last question.
std::string AfterLastQuestion(const std::string& err) {
  size_t question = err.rfind(kLastQuestion);
  if (question == std::string::npos) return "<no last question>";
  size_t end = err.find("]: ", question);
  return end == std::string::npos ? "<no last question>" : err.substr(end + 3);
}

TEST(Run, AcceptedChargeIsLoggedAfterTheLastAnswerInTheOrderOfTheExchange) {
  RunFolder folder;
  TestPeer peer;
  ASSERT_TRUE(peer.Listening());
  AnswerCapabilities(peer);
  peer.Read().AnswerResult(2001).Read().Answer();  // the charge, then the disconnect at the end
  peer.Start();
  folder.WriteIni(RunIni(peer.Port()));
  const std::string earlier = "earlier run\r\n";
  WriteWholeFile(folder.LogPath(), earlier);

  ProcessResult r = folder.Run(kEnterThrough);
  ASSERT_TRUE(peer.Finish()) << peer.Failure() << r.err;
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_FALSE(r.timedOut);

  std::vector<DecodedMessage> got = peer.Messages();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].commandCode, kCommandCapabilitiesExchange);
  EXPECT_EQ(got[1].commandCode, kCommandCreditControl);
  EXPECT_EQ(got[2].commandCode, kCommandDisconnectPeer);
  for (const DecodedMessage& m : got) EXPECT_TRUE(m.IsRequest() && m.wellFormed);

  // The earlier text stays, and this run's first text is the banner.
  const std::string log = folder.Log();
  ASSERT_EQ(log.compare(0, earlier.size(), earlier), 0) << log;
  const std::string run = log.substr(earlier.size());
  EXPECT_EQ(run.rfind(kBannerStart, 0), 0u) << run;
  // The console carries the same text, right after the last answer; the questions stay off the
  // log.
  EXPECT_EQ(AfterLastQuestion(r.err), run);
  EXPECT_EQ(run.find("Diameter Server"), std::string::npos);

  const std::string port = std::to_string(peer.Port());
  EXPECT_EQ(
      MissingInOrder(
          run,
          {kBannerStart, "\r\n========================\r\n\r\n",
           "Connected to 127.0.0.1:" + port + "\r\n", TraceHeader("->", got[0].bytes.size()),
           kReceivedTrace, "Capabilities-Exchange-Request -- Diameter Result Code 2001\r\n",
           "Diameter Ready\r\n", "3GPP is Supported-Vendor-ID\r\n", "WaitForDiameterReady - OK\r\n",
           TraceHeader("->", got[1].bytes.size()), kReceivedTrace, "Diameter Result Code 2001\r\n",
           "Diameter charge OK\r\n", TraceHeader("->", got[2].bytes.size())}),
      "")
      << run;
  EXPECT_EQ(run.find("FAILED"), std::string::npos);
}

TEST(Run, RefusedOrUnansweredChargeEndsWithFailedAndStatusZero) {
  enum class Reply { kRefuse, kSilence, kClose };
  struct Case {
    const char* name;
    Reply reply;
    const char* line;  // written before the verdict
  };
  const Case cases[] = {
      {"refused", Reply::kRefuse, "Diameter Result Code 4012\r\n"},
      {"no answer within the time-out", Reply::kSilence, "Diameter timeout\r\n"},
      {"connection closed instead", Reply::kClose, "Diameter timeout\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunFolder folder;
    TestPeer peer;
    AnswerCapabilities(peer);
    peer.Read();
    switch (c.reply) {
      case Reply::kRefuse:
        peer.AnswerResult(4012).Read().Answer();
        break;
      case Reply::kSilence:
        peer.Read(8000).Answer();  // the next message is the disconnect at the end
        break;
      case Reply::kClose:
        peer.Close();
        break;
    }
    peer.Start();
    folder.WriteIni(RunIni(peer.Port()));

    ProcessResult r = folder.Run(kEnterThrough, 15000);
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_FALSE(r.timedOut);
    const std::string log = folder.Log();
    EXPECT_EQ(MissingInOrder(
                  log, {"WaitForDiameterReady - OK\r\n", c.line, "Diameter charge FAILED\r\n"}),
              "")
        << log;
    EXPECT_EQ(log.find("Diameter charge OK"), std::string::npos);
    std::vector<DecodedMessage> got = peer.Messages();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[1].commandCode, kCommandCreditControl);
    if (c.reply != Reply::kClose) {
      ASSERT_EQ(got.size(), 3u);
      EXPECT_EQ(got[2].commandCode, kCommandDisconnectPeer);
    }
  }
}

TEST(Run, UnreachableServerFailsTheWaitWithoutAVerdict) {
  uint16_t port = 0;
  {
    TestPeer closed;  // a loopback port that nobody listens on once it is gone
    port = closed.Port();
  }
  RunFolder folder;
  folder.WriteIni(RunIni(port));
  ProcessResult r = folder.Run(kEnterThrough, 20000);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_FALSE(r.timedOut);
  // Ten seconds of waiting, then an orderly stop without delay.
  EXPECT_GE(r.elapsedMs, 10000u);
  EXPECT_LT(r.elapsedMs, 14000u);
  const std::string log = folder.Log();
  EXPECT_EQ(MissingInOrder(log, {kBannerStart,
                                 "Error connecting to 127.0.0.1:" + std::to_string(port) + "\r\n",
                                 "WaitForDiameterReady - FAIL\r\n"}),
            "")
      << log;
  EXPECT_EQ(log.find("Diameter charge"), std::string::npos);
  EXPECT_EQ(log.find("Diameter Ready"), std::string::npos);
}

TEST(Run, UnreadableTemplateEndsTheRunBeforeAnyQuestion) {
  struct Case {
    const char* name;
    std::vector<const char*> present;
    const char* reported;
  };
  const Case cases[] = {
      {"both missing", {}, "diameter-capabilities-exchange.xml"},
      {"capabilities missing",
       {"diameter-credit-control.xml"},
       "diameter-capabilities-exchange.xml"},
      {"credit-control missing",
       {"diameter-capabilities-exchange.xml"},
       "diameter-credit-control.xml"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunFolder folder(false);
    for (const char* name : c.present) {
      WriteWholeFile(folder.dir.File(name),
                     ReadWholeFile(std::string(MM9_SOURCE_DIR "/templates/") + name));
    }
    const std::string ini = RunIni(3868, "", "[Quendel]\r\nOriginHostName=legacy\r\n");
    folder.WriteIni(ini);

    ProcessResult r = folder.Run(kEnterThrough);
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(r.err,
              "Unable to access Diameter template file " + std::string(c.reported) + "\a\r\n");
    EXPECT_EQ(r.inputRead, 0u);  // no question asked
    EXPECT_TRUE(FileExists(folder.LogPath()));
    EXPECT_EQ(folder.Log(), "");
    EXPECT_EQ(folder.Ini(), ini);  // not even the legacy section is touched
  }
}

TEST(Run, EndOfInputWithoutAUsableValueStopsBeforeAnythingIsLoggedOrSent) {
  struct Case {
    const char* name;
    std::string mainExtra;
    bool withOriginRealm;
    std::string input;
    const char* key;
    const char* alsoShown;  // a reminder shown on the way
  };
  const Case cases[] = {
      {"required field still empty", "", false, "\n\n\n", "Origin-Realm",
       "This field is required\r\n"},
      {"amount from the file too large", "CC-Money=99999999999\r\n", true, "", "CC-Money",
       "CC-Money is too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunFolder folder;
    TestPeer peer;
    peer.Start();  // counts connections; none may come
    std::string ini = RunIni(peer.Port(), c.mainExtra);
    if (!c.withOriginRealm) ini.erase(ini.find("Origin-Realm=test\r\n"), 19);
    folder.WriteIni(ini);

    ProcessResult r = folder.Run(c.input);
    peer.Finish(200);
    EXPECT_EQ(peer.Connections(), 0);
    EXPECT_EQ(r.exitStatus, 255) << r.err;
    EXPECT_NE(r.err.find(c.alsoShown), std::string::npos) << r.err;
    const size_t last = r.err.rfind("\r\nUnable to continue");
    ASSERT_NE(last, std::string::npos) << r.err;
    EXPECT_NE(r.err.find(std::string(c.key) + " still needs an answer\r\n", last),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(FileExists(folder.LogPath()));
    EXPECT_EQ(folder.Log(), "");
    // The answers given so far were written back.
    EXPECT_EQ(folder.Key("MM9Diameter", "Destination-Realm"), "ocs.test");
    EXPECT_EQ(folder.Key("MM9Diameter", "SupportedExtensionSets"), kAbsentKey);
  }
}

}  // namespace
