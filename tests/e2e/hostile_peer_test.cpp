// The real program against Diameter servers that misbehave: silence, broken or endless messages,
// floods, resets and disconnects where an answer belongs. Every run must end on its own, with
// the lines that tell what happened, exit status 0 and no sanitizer report, within the time
// stated for the case.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "binary_run.h"
#include "message/diameter.h"
#include "support/test_peer.h"

namespace {

constexpr uint32_t kChargeHopByHop = 0;  // placeholder ids of raw answers that never complete
constexpr uint32_t kWatchdogBurst = 200;
constexpr uint32_t kFloodMessages = 400;  // one every 50 ms: 20 s of watchdog requests
constexpr uint32_t kFloodPauseMs = 50;
constexpr size_t kGarbageBytes = 1 << 20;
constexpr int kReconnectGuards = 6;  // a failed exchange is retried every 2 s for 10 s

Bytes WatchdogRequest(uint32_t hopByHop) {
  return BuildMessage(kCommandDeviceWatchdog, kCommandFlagRequest, 0, hopByHop, hopByHop + 1,
                      Concat({AvpText(kAvpOriginHost, kTestPeerOriginHost),
                              AvpText(kAvpOriginRealm, kTestPeerOriginRealm)}));
}

// A credit-control answer with ids the client does not wait for: used where it never completes.
Bytes StrayAnswer() {
  return BuildMessage(
      kCommandCreditControl, 0, kApplicationCreditControl, kChargeHopByHop, 0,
      Concat({AvpU32(kAvpResultCode, 2001), AvpText(kAvpOriginHost, kTestPeerOriginHost),
              AvpText(kAvpOriginRealm, kTestPeerOriginRealm),
              AvpText(kAvpSessionId, std::string(60, 's'))}));
}

// The exchange succeeds and the charge request is read; the case goes on from there.
void ReadyAndCharge(TestPeer& peer) {
  peer.Read().AnswerResult(2001).Read();
}

// A reconnection after the case's damage is refused at once, so that it cannot keep the client
// waiting for an exchange answer.
void RefuseReconnections(TestPeer& peer, int count) {
  for (int i = 0; i < count; ++i) peer.Accept(4000).Close();
}

struct HostileCase {
  const char* name;
  void (*script)(TestPeer& peer);
  std::vector<std::string> lines;   // in the log in this order; {port} is the peer's port
  std::vector<std::string> absent;  // lines that must not occur
  uint32_t boundMs;                 // the whole run, start to exit
  void (*check)(const std::vector<DecodedMessage>& got) = nullptr;
};

void ExpectWatchdogAnswers(const std::vector<DecodedMessage>& got) {
  // Exchange, charge, then one answer per watchdog request in their order, then the disconnect.
  ASSERT_GE(got.size(), 2u + kWatchdogBurst);
  for (uint32_t i = 0; i < kWatchdogBurst; ++i) {
    const DecodedMessage& m = got[2 + i];
    EXPECT_EQ(m.commandCode, kCommandDeviceWatchdog) << i;
    EXPECT_FALSE(m.IsRequest()) << i;
    EXPECT_EQ(m.hopByHop, 1000 + 2 * i) << i;
    ASSERT_NE(m.Find(kAvpResultCode), nullptr) << i;
    EXPECT_EQ(m.Find(kAvpResultCode)->U32(), 2001u) << i;
  }
}

void ExpectDisconnectAnswer(const std::vector<DecodedMessage>& got) {
  ASSERT_GE(got.size(), 3u);
  const DecodedMessage& m = got[2];
  EXPECT_EQ(m.commandCode, kCommandDisconnectPeer);
  EXPECT_FALSE(m.IsRequest());
  EXPECT_EQ(m.hopByHop, 77u);
  EXPECT_EQ(m.endToEnd, 78u);
  ASSERT_NE(m.Find(kAvpResultCode), nullptr);
  EXPECT_EQ(m.Find(kAvpResultCode)->U32(), 2001u);
  ASSERT_NE(m.Find(kAvpOriginHost), nullptr);
  EXPECT_EQ(m.Find(kAvpOriginHost)->Text(), kRunOriginHost);
}

const char kReady[] = "Diameter Ready";
const char kReadyFail[] = "WaitForDiameterReady - FAIL";
const char kChargeOk[] = "Diameter charge OK";
const char kChargeFailed[] = "Diameter charge FAILED";

const HostileCase kCases[] = {
    {"NeverAnswers",
     [](TestPeer& peer) { peer.Read().ExpectEnd(15000); },
     {"Connected to 127.0.0.1:{port}", kReadyFail},
     {kReady, kChargeOk, kChargeFailed},
     16000},
    {"ExchangeAnswerWithoutResultCode",
     [](TestPeer& peer) {
       for (int i = 0; i < kReconnectGuards; ++i) {
         peer.Read().Answer({.resultCode = std::nullopt});
         peer.Accept(4000);
       }
     },
     {"Connected to 127.0.0.1:{port}", "Result Code 0",
      "Capabilities-Exchange-Request -- Unable to parse Diameter Result Code",
      "Connected to 127.0.0.1:{port}", kReadyFail},
     {kReady, kChargeOk, kChargeFailed},
     16000},
    {"ClosesRightAfterAccepting",
     [](TestPeer& peer) {
       peer.Close();
       RefuseReconnections(peer, kReconnectGuards);
     },
     {"Connected to 127.0.0.1:{port}", "Diamter Debug:  ioctlsocket failed, no data",
      "Connected to 127.0.0.1:{port}", kReadyFail},
     {kReady, kChargeOk, kChargeFailed},
     16000},
    {"TricklesFromTheFirstByte",
     [](TestPeer& peer) {
       ReadyAndCharge(peer);
       peer.Trickle(StrayAnswer(), 1, 1000);
     },
     {"WaitForDiameterReady - OK", "Diameter Debug:  ioctlsocket failed, not enough data",
      "Diameter timeout", kChargeFailed},
     {kChargeOk},
     8000},
    {"TricklesAfterTheLength",
     [](TestPeer& peer) {
       ReadyAndCharge(peer);
       Bytes answer = StrayAnswer();
       peer.Send(Bytes(answer.begin(), answer.begin() + 4));
       peer.Trickle(Bytes(answer.begin() + 4, answer.end()), 1, 1000);
     },
     // The rest of a begun message gets 15 s, however the bytes come.
     {"WaitForDiameterReady - OK", "DIAMETER TIMEOUT", "Diameter timeout", kChargeFailed},
     {kChargeOk, "Diameter Timeout"},
     22000},
    {"WatchdogBurstBeforeTheAnswer",
     [](TestPeer& peer) {
       ReadyAndCharge(peer);
       Bytes burst;
       for (uint32_t i = 0; i < kWatchdogBurst; ++i)
         burst = Concat({burst, WatchdogRequest(1000 + 2 * i)});
       peer.Send(burst).AnswerResult(2001);
       for (uint32_t i = 0; i < kWatchdogBurst; ++i) peer.Read();
       peer.Read().AnswerResult(2001);  // the disconnect at the end of the run
     },
     {"Diameter request received - code 280", "Diameter Result Code 2001", kChargeOk},
     {kChargeFailed},
     12000,
     ExpectWatchdogAnswers},
    {"WatchdogFloodWithoutAnswer",
     [](TestPeer& peer) {
       ReadyAndCharge(peer);
       Bytes flood;
       for (uint32_t i = 0; i < kFloodMessages; ++i)
         flood = Concat({flood, WatchdogRequest(5000 + 2 * i)});
       peer.Trickle(flood, static_cast<uint32_t>(WatchdogRequest(0).size()), kFloodPauseMs);
     },
     // The charge's 5 s are not stretched without end by requests that keep coming.
     {"Diameter request received - code 280", "Diameter timeout", kChargeFailed},
     {kChargeOk},
     14000},
    {"MegabyteOfGarbage",
     [](TestPeer& peer) {
       ReadyAndCharge(peer);
       std::string noise = NoiseBytes(kGarbageBytes, 9);
       peer.Send(Bytes(noise.begin(), noise.end()));
     },
     {"WaitForDiameterReady - OK", "Diameter timeout", kChargeFailed},
     {kChargeOk},
     10000},
    {"AnnouncesSixteenMegabytes",
     [](TestPeer& peer) {
       ReadyAndCharge(peer);
       peer.Send({0x01, 0xFF, 0xFF, 0xFF});
     },
     {"Diameter Debug:  recv failed, SMPP packet size exceeds max length", "Diameter timeout",
      kChargeFailed},
     {kChargeOk},
     8000},
    {"ResetsInTheMiddleOfAMessage",
     [](TestPeer& peer) {
       ReadyAndCharge(peer);
       Bytes answer = StrayAnswer();
       peer.Send(Bytes(answer.begin(), answer.begin() + 30)).Pause(300).Reset();
       RefuseReconnections(peer, 1);
     },
     {"WaitForDiameterReady - OK", "Diameter Debug:  ioctlsocket 2 failed, no data",
      "Diameter timeout", kChargeFailed},
     {kChargeOk},
     8000},
    {"DisconnectRequestInPlaceOfTheAnswer",
     [](TestPeer& peer) {
       ReadyAndCharge(peer);
       peer.SendDisconnectRequest(77, 78).Read().Close();
       RefuseReconnections(peer, 1);
     },
     {"WaitForDiameterReady - OK", "Diameter request received - code 282", "Diameter timeout",
      kChargeFailed},
     {kChargeOk},
     8000,
     ExpectDisconnectAnswer},
};

void PrintTo(const HostileCase& c, std::ostream* out) {
  *out << c.name;
}

class HostilePeerTest : public testing::TestWithParam<HostileCase> {};

std::string WithPort(std::string line, uint16_t port) {
  size_t at = line.find("{port}");
  if (at != std::string::npos) line.replace(at, 6, std::to_string(port));
  return line;
}

TEST_P(HostilePeerTest, RunEndsInOrderWithinItsBound) {
  const HostileCase& c = GetParam();
  TestPeer peer;
  ASSERT_TRUE(peer.Listening());
  ProgramFolder folder(peer.Port());
  c.script(peer);
  peer.Start();

  ProcessResult run = RunProgram(folder, EnterAnswers(), c.boundMs + 10000);
  peer.Finish(500);  // several scripts end in steps the client never reaches

  ASSERT_TRUE(run.started);
  EXPECT_EQ(SanitizerReport(run.err), "");
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_LE(run.elapsedMs, c.boundMs);

  std::vector<std::string> lines = LogLines(ReadWholeFile(folder.log));
  std::vector<std::string> expected;
  for (const std::string& line : c.lines) expected.push_back(WithPort(line, peer.Port()));
  EXPECT_EQ(MissingInOrder(lines, expected), "") << run.err.substr(0, 20000);
  for (const std::string& line : c.absent) EXPECT_FALSE(HasLine(lines, line)) << line;
  if (c.check != nullptr) c.check(peer.Messages());
}

INSTANTIATE_TEST_SUITE_P(Hostile, HostilePeerTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<HostileCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
