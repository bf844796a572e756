// The real program with the files beside it in odd states: settings files with long lines, binary
// bytes, duplicates and mixed line ends; a run killed during the questions; two runs sharing one
// folder and log; templates that are empty, binary, huge or changed while the program runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "binary_run.h"
#include "message/diameter.h"
#include "platform/profile.h"
#include "support/test_peer.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr char kMain[] = "MM9Diameter";
constexpr char kMessage[] = "Varnholt";
constexpr char kLegacy[] = "Quendel";
constexpr char kAbsent[] = "<absent>";
constexpr uint32_t kRunLimitMs = 30000;
constexpr uint32_t kAvpProductName = 269;

std::string Key(const std::string& settings, const char* section, const char* key) {
  char value[4096];
  platform::ProfileReadString(section, key, kAbsent, value, sizeof value, settings.c_str());
  return value;
}

// Files the settings writer left beside the settings file (its temporary copies).
std::vector<std::string> StrayFiles(const ProgramFolder& folder) {
  std::vector<std::string> stray;
  for (const auto& entry : fs::directory_iterator(folder.dir.path)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("mm9charge.INI.", 0) == 0) stray.push_back(name);
  }
  return stray;
}

// A server that answers the exchange, the charge and the disconnect at the end with 2001.
void ScriptWholeRun(TestPeer& peer) {
  peer.Read().AnswerResult(2001).Read().AnswerResult(2001).Read().AnswerResult(2001);
}

// The program with standard input and error stream on pipes, for runs that are driven or broken
// off while they ask.
struct LiveRun {
  pid_t pid = -1;
  int in = -1;
  int err = -1;
  std::string errText;
  int status = 0;
  bool ended = false;

  explicit LiveRun(const std::string& program) {
    int inPipe[2];
    int errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0) return;
    if (pipe2(errPipe, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(inPipe[0]);
    close(errPipe[1]);
    in = inPipe[1];
    err = errPipe[0];
  }
  ~LiveRun() {
    if (pid > 0 && !ended) Kill();
    if (in >= 0) close(in);
    if (err >= 0) close(err);
  }

  void Type(const std::string& text) {
    ASSERT_EQ(write(in, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void EndInput() {
    close(in);
    in = -1;
  }

  // Takes what the program wrote, waiting at most ms; false once the stream has ended.
  bool Drain(uint32_t ms) {
    pollfd p{err, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(ms)) <= 0) return true;
    char chunk[65536];
    ssize_t n = read(err, chunk, sizeof chunk);
    if (n <= 0) return false;
    errText.append(chunk, static_cast<size_t>(n));
    return true;
  }

  // Waits until the error stream holds text at or after from; false when it did not come.
  bool WaitFor(const std::string& text, size_t from, uint32_t timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (errText.find(text, from) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline || !Drain(50)) return false;
    }
    return true;
  }

  void Kill() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    ended = true;
  }

  // Waits for the program to end on its own, taking its output; kills it past timeoutMs.
  bool WaitForExit(uint32_t timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      Drain(50);
      if (waitpid(pid, &status, WNOHANG) == pid) {
        ended = true;
        for (int i = 0; i < 100 && Drain(100);) ++i;  // the rest, up to the stream's end
        return true;
      }
    }
    Kill();
    return false;
  }
};

// ---- Settings files in odd shapes ----

// Answers of the settings runs: Enter throughout, except a new Service-Identifier, the SCAP
// question answered "n" and the 3GPP question answered "yes".
std::string SettingsRunAnswers() {
  return std::string(7, '\n') + "svc-typed\n" + std::string(8, '\n') + "n\n\nyes\n";
}

struct OddSettings {
  const char* name;
  std::string (*text)(uint16_t port);
  std::vector<std::string> after;  // byte for byte in the file after the run
  void (*check)(const std::string& settings, const std::vector<DecodedMessage>& got) = nullptr;
};

void PrintTo(const OddSettings& c, std::ostream* out) {
  *out << c.name;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

const std::string kLongComment = "; " + std::string(200000, 'c') + "\r\n";
const std::string kLongRemark = "Remark=" + std::string(100000, 'r') + "\r\n";
const std::string kLongProductName = "Product-Name=" + std::string(1000, 'p') + "\r\n";
const std::string kBinaryValue =
    std::string("Blob=\x01\x02\x7f\x80\xfe\xff", 11) + '\0' + std::string("\x1b[0m\tafter-nul\r\n");

std::string BinaryJunkLine() {
  std::string noise = NoiseBytes(4096, 5);
  for (char& c : noise) {
    if (c == '\n' || c == '\r' || c == '\0') c = '#';
  }
  return "x" + noise + "\r\n";
}

std::string WithLfOnly(std::string text, int every) {
  // Every other line end becomes a bare "\n".
  std::string out;
  int line = 0;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text.compare(at, 2, "\r\n") == 0) {
      out += line++ % every == 0 ? "\n" : "\r\n";
      ++at;
    } else {
      out += text[at];
    }
  }
  return out;
}

const OddSettings kOddSettings[] = {
    {"VeryLongLines",
     [](uint16_t port) {
       return Replace(RunSettingsText(port), "[MM9Diameter]\r\n",
                      "[MM9Diameter]\r\n" + kLongProductName) +
              "[Notes]\r\n" + kLongComment + kLongRemark;
     },
     {kLongProductName, "[Notes]\r\n" + kLongComment + kLongRemark},
     [](const std::string&, const std::vector<DecodedMessage>& got) {
       // A value read from the file holds at most 149 characters.
       ASSERT_FALSE(got.empty());
       ASSERT_NE(got[0].Find(kAvpProductName), nullptr);
       EXPECT_EQ(got[0].Find(kAvpProductName)->Text(), std::string(149, 'p'));
     }},
    {"BinaryBytes",
     [](uint16_t port) {
       return Replace(RunSettingsText(port), "[Varnholt]\r\n", kBinaryValue + "[Varnholt]\r\n") +
              "[Junk]\r\n" + BinaryJunkLine();
     },
     {kBinaryValue + "Service-Context-Id=32270@3gpp.org\r\nService-Identifier=svc-typed\r\n",
      "[Junk]\r\n" + BinaryJunkLine()}},
    {"NoLineEndAtTheEnd",
     [](uint16_t port) {
       std::string text = Replace(RunSettingsText(port), "IncludeSCAPParameters=N\r\n", "");
       return text + "Remark=last line";
     },
     // The new key goes into the last section, on a line of its own.
     {"Remark=last line\r\nIncludeSCAPParameters=n\r\n"}},
    {"DuplicateSectionsAndKeys",
     [](uint16_t port) {
       return "[Quendel]\r\nOriginHostName=legacy.example\r\n" + RunSettingsText(port) +
              "[mm9diameter]\r\n"
              "Origin-Host=second.example\r\n"
              "Service-Identifier=old-svc\r\n"
              "Other=kept\r\n"
              "[VARNHOLT]\r\n"
              "SenderAddress=+4900000\r\n"
              "[quendel]\r\n"
              "DestinationRealm=legacy.example\r\n";
     },
     // Reads take the first occurrence, a write changes the first, a deleted section is gone
     // in every copy.
     {"Origin-Host=second.example\r\nService-Identifier=svc-typed\r\nOther=kept\r\n"
      "[VARNHOLT]\r\nSenderAddress=+4900000\r\n"},
     [](const std::string& settings, const std::vector<DecodedMessage>& got) {
       ASSERT_FALSE(got.empty());
       ASSERT_NE(got[0].Find(kAvpOriginHost), nullptr);
       EXPECT_EQ(got[0].Find(kAvpOriginHost)->Text(), kRunOriginHost);
       std::string text = ReadWholeFile(settings);
       EXPECT_EQ(text.find("legacy.example"), std::string::npos);
       EXPECT_EQ(text.find("[Quendel]"), std::string::npos);
       EXPECT_EQ(text.find("[quendel]"), std::string::npos);
     }},
    {"CrLfAndLfMixed",
     [](uint16_t port) { return WithLfOnly(RunSettingsText(port), 2) + "; a\rb\r\n"; },
     // Untouched lines keep their own line ends; new lines take the file's first one.
     {"[MM9Diameter]\n", "Destination-Host-Address=127.0.0.1\r\n",
      "Destination-Realm=ocs.test.example\r\n", "Host-IP-Address=127.0.0.1\n",
      "Origin-Host=client.test.example\r\n", "Origin-Realm=test.example\n",
      "Service-Identifier=svc-typed\n", "[Varnholt]\r\n", "SenderAddress=+491701234567\n",
      "RecipAddress=+491707654321\r\n", "IncludeSCAPParameters=n\n", "; a\rb\r\n"}},
};

class OddSettingsTest : public testing::TestWithParam<OddSettings> {};

TEST_P(OddSettingsTest, ReadWithoutHarmAndWrittenBackKeepingUntouchedLines) {
  const OddSettings& c = GetParam();
  TestPeer peer;
  ASSERT_TRUE(peer.Listening());
  ProgramFolder folder(peer.Port());
  WriteWholeFile(folder.settings, c.text(peer.Port()));
  ScriptWholeRun(peer);
  peer.Start();

  ProcessResult run = RunProgram(folder, SettingsRunAnswers(), kRunLimitMs);
  EXPECT_TRUE(peer.Finish(2000)) << peer.Failure();
  EXPECT_EQ(SanitizerReport(run.err), "");
  EXPECT_EQ(run.exitStatus, 0);
  std::vector<std::string> lines = LogLines(ReadWholeFile(folder.log));
  EXPECT_TRUE(HasLine(lines, "Diameter charge OK")) << run.err.substr(0, 4000);

  std::string after = ReadWholeFile(folder.settings);
  for (const std::string& part : c.after) {
    EXPECT_NE(after.find(part), std::string::npos) << part.substr(0, 200);
  }
  EXPECT_EQ(Key(folder.settings, kMain, "Service-Identifier"), "svc-typed");
  EXPECT_EQ(Key(folder.settings, kMessage, "IncludeSCAPParameters"), "n");
  EXPECT_EQ(Key(folder.settings, kMessage, "Include3GPPMMSInformation"), "yes");
  EXPECT_EQ(Key(folder.settings, kMain, "SupportedExtensionSets"), "3GPP");
  EXPECT_EQ(Key(folder.settings, kLegacy, "OriginHostName"), kAbsent);
  EXPECT_EQ(StrayFiles(folder), std::vector<std::string>{});
  if (c.check != nullptr) c.check(folder.settings, peer.Messages());
}

INSTANTIATE_TEST_SUITE_P(Settings, OddSettingsTest, testing::ValuesIn(kOddSettings),
                         [](const testing::TestParamInfo<OddSettings>& info) {
                           return std::string(info.param.name);
                         });

// ---- A run killed during the questions ----

struct KillPoint {
  const char* name;
  std::string typed;                           // the answers given before the kill
  std::string nextQuestion;                    // shown when the kill comes
  std::vector<std::vector<std::string>> keys;  // section, key, value afterwards
};

void PrintTo(const KillPoint& c, std::ostream* out) {
  *out << c.name;
}

const KillPoint kKillPoints[] = {
    {"AmongTheServerQuestions",
     "10.1.2.3\n3999\n  realm.typed\n\n",
     "(Local) Diameter Origin-Host [client.test.example]: ",
     {{kMain, "Destination-Host-Address", "10.1.2.3"},
      {kMain, "Destination-Host-Port-Number", "3999"},
      {kMain, "Destination-Realm", "realm.typed"},
      {kMain, "Host-IP-Address", "127.0.0.1"},
      {kMain, "Origin-Host", kRunOriginHost},
      {kMessage, "IncludeSCAPParameters", "N"}}},
    {"AmongTheExtensionSets",
     std::string(7, '\n') + "svc\n" + std::string(8, '\n') + "Y\nprovider-7\n",
     "Ericsson SCAP Subscription-Id-Location (optional) [] : ",
     {{kMain, "Service-Identifier", "svc"},
      {kMessage, "IncludeSCAPParameters", "Y"},
      {kMain, "Service-Provider-Id", "provider-7"},
      {kMain, "Subscription-Id-Location", kAbsent},
      {kMessage, "Include3GPPMMSInformation", "Y"}}},
};

class KilledRunTest : public testing::TestWithParam<KillPoint> {};

TEST_P(KilledRunTest, LeavesAValidSettingsFileWithTheAnswersGiven) {
  const KillPoint& c = GetParam();
  ProgramFolder folder(3868);
  std::string before = ReadWholeFile(folder.settings);
  LiveRun run(folder.program);
  ASSERT_GT(run.pid, 0);
  run.Type(c.typed);
  ASSERT_TRUE(run.WaitFor(c.nextQuestion, 0, 10000)) << run.errText;
  run.Kill();
  ASSERT_TRUE(WIFSIGNALED(run.status));

  std::string after = ReadWholeFile(folder.settings);
  // Whole lines only, each with the file's line end, and the sections as they were.
  ASSERT_GE(after.size(), 2u);
  EXPECT_EQ(after.substr(after.size() - 2), "\r\n");
  for (size_t at = after.find('\n'); at != std::string::npos; at = after.find('\n', at + 1)) {
    EXPECT_EQ(after[at - 1], '\r') << at;
  }
  EXPECT_EQ(after.find("[MM9Diameter]\r\n"), 0u);
  EXPECT_NE(after.find("\r\n[Varnholt]\r\n"), std::string::npos);
  for (const auto& k : c.keys) {
    EXPECT_EQ(Key(folder.settings, k[0].c_str(), k[1].c_str()), k[2]) << k[1];
  }
  EXPECT_EQ(StrayFiles(folder), std::vector<std::string>{});
  // The run had not begun: nothing reached the log.
  EXPECT_EQ(ReadWholeFile(folder.log), "");
}

INSTANTIATE_TEST_SUITE_P(Kill, KilledRunTest, testing::ValuesIn(kKillPoints),
                         [](const testing::TestParamInfo<KillPoint>& info) {
                           return std::string(info.param.name);
                         });

// ---- Two runs at once in one folder ----

constexpr uint32_t kSharedLogWatchdogs = 100;

// What a run wrote through its log channel: its error stream from the banner on.
std::vector<std::string> LoggedPart(const std::string& err) {
  size_t banner = err.find("========================\r\nVersion");
  return banner == std::string::npos ? std::vector<std::string>{} : LogLines(err.substr(banner));
}

bool IsSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  auto at = whole.begin();
  for (const std::string& line : part) {
    at = std::find(at, whole.end(), line);
    if (at == whole.end()) return false;
    ++at;
  }
  return true;
}

TEST(SharedFolder, TwoRunsAtOnceAppendWholeLinesToTheOneLog) {
  // Each run has its own server, given as its answer to the port question; both servers keep
  // their run logging (watchdog requests) while the other run logs too.
  TestPeer peers[2];
  std::string answers[2];
  Bytes watchdogs;
  for (uint32_t i = 0; i < kSharedLogWatchdogs; ++i) {
    watchdogs =
        Concat({watchdogs, BuildMessage(kCommandDeviceWatchdog, kCommandFlagRequest, 0, 100 + i,
                                        200 + i, AvpText(kAvpOriginHost, kTestPeerOriginHost))});
  }
  const size_t watchdogSize = watchdogs.size() / kSharedLogWatchdogs;
  for (int p = 0; p < 2; ++p) {
    ASSERT_TRUE(peers[p].Listening());
    peers[p]
        .Read()
        .AnswerResult(2001)
        .Read()
        .Trickle(watchdogs, watchdogSize, 10)
        .AnswerResult(2001);
    for (uint32_t i = 0; i < kSharedLogWatchdogs; ++i) peers[p].Read();
    peers[p].Read().AnswerResult(2001);
    peers[p].Start();
    answers[p] = "\n" + std::to_string(peers[p].Port()) + "\n" + EnterAnswers();
  }
  ProgramFolder folder(1);

  ProcessResult runs[2];
  std::thread second([&] { runs[1] = RunProgram(folder, answers[1], kRunLimitMs); });
  runs[0] = RunProgram(folder, answers[0], kRunLimitMs);
  second.join();

  std::vector<std::string> parts[2];
  for (int p = 0; p < 2; ++p) {
    EXPECT_TRUE(peers[p].Finish(2000)) << peers[p].Failure();
    EXPECT_EQ(SanitizerReport(runs[p].err), "");
    EXPECT_EQ(runs[p].exitStatus, 0);
    parts[p] = LoggedPart(runs[p].err);
    EXPECT_TRUE(HasLine(parts[p], "Diameter charge OK")) << runs[p].err.substr(0, 4000);
    EXPECT_EQ(CountLines(parts[p], "Diameter request received - code 280"), kSharedLogWatchdogs);
  }

  // The log holds exactly the lines of both runs, each run's in its own order, none torn.
  std::string log = ReadWholeFile(folder.log);
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
  std::vector<std::string> lines = LogLines(log);
  std::vector<std::string> both = parts[0];
  both.insert(both.end(), parts[1].begin(), parts[1].end());
  std::vector<std::string> sortedLog = lines;
  std::sort(sortedLog.begin(), sortedLog.end());
  std::sort(both.begin(), both.end());
  EXPECT_TRUE(sortedLog == both) << lines.size() << " log lines, " << both.size() << " logged";
  // The runs overlapped: the second began before the first gave its verdict.
  std::vector<size_t> banners;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == "Version 2016.02.10") banners.push_back(i);
  }
  ASSERT_EQ(banners.size(), 2u);
  EXPECT_LT(banners[1],
            static_cast<size_t>(std::find(lines.begin(), lines.end(), "Diameter charge OK") -
                                lines.begin()));
  EXPECT_TRUE(IsSubsequence(parts[0], lines));
  EXPECT_TRUE(IsSubsequence(parts[1], lines));

  // Both wrote their port answer; the file holds one of them, whole.
  std::string port = Key(folder.settings, kMain, "Destination-Host-Port-Number");
  EXPECT_TRUE(port == std::to_string(peers[0].Port()) || port == std::to_string(peers[1].Port()))
      << port;
  EXPECT_EQ(StrayFiles(folder), std::vector<std::string>{});
}

// ---- Templates in odd states ----

constexpr size_t kHugeTemplateBytes = 50u << 20;

struct OddTemplate {
  const char* name;
  const char* file;
  std::string (*text)();
  void (*script)(TestPeer& peer);
  std::vector<std::string> lines;  // in the log in this order
  std::vector<std::string> absent;
  void (*check)(const TestPeer& peer) = nullptr;
};

void PrintTo(const OddTemplate& c, std::ostream* out) {
  *out << c.name;
}

std::string SampleTemplate(const char* name) {
  return ReadWholeFile(std::string(MM9_SOURCE_DIR "/templates/") + name);
}

// The exchange, then straight to the disconnect at the end of the run: no charge request.
void ScriptNoCharge(TestPeer& peer) {
  peer.Read().AnswerResult(2001).Read().AnswerResult(2001);
}

void ExpectNoChargeRequest(const TestPeer& peer) {
  std::vector<DecodedMessage> got = peer.Messages();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].commandCode, kCommandCapabilitiesExchange);
  EXPECT_EQ(got[1].commandCode, kCommandDisconnectPeer);
}

const OddTemplate kOddTemplates[] = {
    {"EmptyCreditControl",
     kCreditControlTemplate,
     [] { return std::string(); },
     ScriptNoCharge,
     {"Diameter Ready", "WaitForDiameterReady - OK", "Diameter charge FAILED"},
     {"Diameter charge OK"},
     ExpectNoChargeRequest},
    {"BinaryCreditControl",
     kCreditControlTemplate,
     [] {
       std::string noise = NoiseBytes(1 << 20, 3);
       std::replace(noise.begin(), noise.end(), '\0', '\x01');  // the scanner walks it all
       return noise;
     },
     ScriptNoCharge,
     {"WaitForDiameterReady - OK", "Diameter charge FAILED"},
     {"Diameter charge OK"},
     ExpectNoChargeRequest},
    {"HugeCreditControl",
     kCreditControlTemplate,
     [] {
       return "<!-- " + std::string(kHugeTemplateBytes, 'x') + " -->\n" +
              SampleTemplate(kCreditControlTemplate);
     },
     ScriptWholeRun,
     {"WaitForDiameterReady - OK", "Diameter Result Code 2001", "Diameter charge OK"},
     {"Diameter charge FAILED"},
     [](const TestPeer& peer) {
       std::vector<DecodedMessage> got = peer.Messages();
       ASSERT_GE(got.size(), 2u);
       EXPECT_EQ(got[1].commandCode, kCommandCreditControl);
       EXPECT_TRUE(got[1].wellFormed);
       EXPECT_NE(got[1].Find(kAvpSessionId), nullptr);
     }},
    {"EmptyCapabilities",
     kCapabilitiesTemplate,
     [] { return std::string(); },
     [](TestPeer&) {},
     // No request to send: the client never connects.
     {"WaitForDiameterReady - FAIL"},
     {"Diameter Ready", "Diameter charge OK", "Diameter charge FAILED"},
     [](const TestPeer& peer) { EXPECT_EQ(peer.Connections(), 0); }},
};

class OddTemplateTest : public testing::TestWithParam<OddTemplate> {};

TEST_P(OddTemplateTest, HandledWithoutHarm) {
  const OddTemplate& c = GetParam();
  TestPeer peer;
  ASSERT_TRUE(peer.Listening());
  ProgramFolder folder(peer.Port());
  WriteWholeFile(folder.File(c.file), c.text());
  c.script(peer);
  peer.Start();

  ProcessResult run = RunProgram(folder, EnterAnswers(), kRunLimitMs);
  peer.Finish(500);
  EXPECT_EQ(SanitizerReport(run.err), "");
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitStatus, 0);
  std::vector<std::string> lines = LogLines(ReadWholeFile(folder.log));
  EXPECT_EQ(MissingInOrder(lines, c.lines), "") << run.err.substr(0, 4000);
  for (const std::string& line : c.absent) EXPECT_FALSE(HasLine(lines, line)) << line;
  if (c.check != nullptr) c.check(peer);
}

INSTANTIATE_TEST_SUITE_P(Templates, OddTemplateTest, testing::ValuesIn(kOddTemplates),
                         [](const testing::TestParamInfo<OddTemplate>& info) {
                           return std::string(info.param.name);
                         });

TEST(TemplateChange, ChangedAndRemovedWhileTheQuestionsWait) {
  // The templates are read at start-up. While the first question waits, the credit-control
  // template is rewritten to accept 4012 as well and the capabilities template is removed; once
  // the 16-second look-again window has passed, the charge uses the new text and the exchange
  // goes on from the text in memory.
  TestPeer peer;
  ASSERT_TRUE(peer.Listening());
  ProgramFolder folder(peer.Port());
  peer.Read().AnswerResult(2001).Read().AnswerResult(4012).Read().AnswerResult(2001);

  LiveRun run(folder.program);
  ASSERT_GT(run.pid, 0);
  ASSERT_TRUE(run.WaitFor("(Remote) Diameter Server Host Name", 0, 10000)) << run.errText;
  auto shown = std::chrono::steady_clock::now();
  std::string changed = SampleTemplate(kCreditControlTemplate);
  size_t list = changed.find("result-code-ok=\"2001\"");
  ASSERT_NE(list, std::string::npos);
  changed.replace(list, 21, "result-code-ok=\"2001,4012\"");
  WriteWholeFile(folder.File(kCreditControlTemplate), changed);
  fs::remove(folder.File(kCapabilitiesTemplate));
  std::this_thread::sleep_until(shown + std::chrono::milliseconds(17000));

  peer.Start();
  run.Type(EnterAnswers());
  run.EndInput();
  ASSERT_TRUE(run.WaitForExit(20000)) << run.errText;
  EXPECT_TRUE(peer.Finish(2000)) << peer.Failure();
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(WEXITSTATUS(run.status), 0);
  EXPECT_EQ(SanitizerReport(run.errText), "");
  std::vector<std::string> lines = LogLines(ReadWholeFile(folder.log));
  EXPECT_EQ(
      MissingInOrder(lines, {"Diameter Ready", "Diameter Result Code 4012", "Diameter charge OK"}),
      "")
      << run.errText.substr(0, 4000);
}

}  // namespace
