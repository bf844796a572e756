// mm9charge against freeDiameter, an independent Diameter implementation: the capabilities
// exchange, the Credit-Control-Request of every extension set combination as freeDiameter's
// dictionaries and rules parse it, the charge answered by fd_ccr_ok, the watchdog at
// freeDiameter's shortest Tw, the server's orderly shutdown and runs one after the other.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "interop/interop.h"

namespace {

constexpr char kCreditControlTemplate[] = "diameter-credit-control.xml";

class FreeDiameterInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string missing = FreeDiameterMissing();
    if (!missing.empty()) GTEST_SKIP() << missing;
  }

  void StartServer(const FreeDiameter::Options& options) {
    std::string failure = server.Start(options);
    ASSERT_EQ(failure, "");
  }

  FreeDiameter server;
};

// The client's console output (the log and the questions), without carriage returns.
std::string Console(const ProcessResult& r) {
  std::string text;
  for (char c : r.err) {
    if (c != '\r') text += c;
  }
  return text;
}

// The lines of the server's log that report a fault: fd_ccr_ok's problem lines (parsing errors,
// dropped messages, failed connections) and freeDiameter's own errors.
std::string Findings(const std::string& log) {
  std::string found;
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(at, end - at);
    if (line.find("PROBLEM") != std::string::npos || line.find("  ERROR ") != std::string::npos) {
      found += line + "\n";
    }
    at = end + 1;
  }
  return found;
}

TEST_F(FreeDiameterInterop, CapabilitiesExchangeIsAcceptedAndTheChargeIsAnswered) {
  ASSERT_NO_FATAL_FAILURE(StartServer({}));
  ClientFolder client;
  client.WriteSettings(ClientSettings{});

  ProcessResult run = RunClient(server, client);
  std::string console = Console(run);
  std::string log = server.Log();

  EXPECT_EQ(run.exitStatus, 0) << console;
  EXPECT_NE(console.find("Capabilities-Exchange-Request -- Diameter Result Code 2001\n"
                         "Diameter Ready\n3GPP is Supported-Vendor-ID\n"),
            std::string::npos)
      << console;
  EXPECT_NE(console.find("Diameter Result Code 2001\nDiameter charge OK\n"), std::string::npos)
      << console;
  EXPECT_NE(log.find("-> 'STATE_OPEN'\t'mm9charge.interop.test'"), std::string::npos) << log;
  EXPECT_NE(log.find("fd_ccr_ok: Credit-Control-Request from mm9charge.interop.test parsed"),
            std::string::npos)
      << log;
  EXPECT_EQ(Findings(log), "") << log;
}

// A Credit-Control-Request that freeDiameter cannot parse against its dictionaries and the
// command's rules (unknown mandatory AVP, wrong type or flags, a rule broken) is answered by
// freeDiameter itself with a 3xxx or 5xxx code before fd_ccr_ok sees it; fd_ccr_ok answers 2001.
TEST_F(FreeDiameterInterop, EveryExtensionSetCombinationIsParsedWithoutError) {
  ASSERT_NO_FATAL_FAILURE(StartServer({}));
  ClientFolder client;

  struct Row {
    std::string label;
    ClientSettings settings;
    std::string input = "";  // the operator's answers beyond the settings file
    std::string code = "2001";
    std::string serverSays = "";  // expected in the server's log, when the request is refused
  };
  std::vector<Row> rows;
  for (int given = 1; given >= 0; --given) {
    for (int sets = 0; sets < 16; ++sets) {
      Row row;
      row.settings = given ? WithEveryValue() : ClientSettings{};
      row.settings.scap = (sets & 1) != 0;
      row.settings.tgpp = (sets & 2) != 0;
      row.settings.tgppTimeZone = (sets & 4) != 0;
      bool sgsn = (sets & 8) != 0;
      if (!sgsn) {
        row.settings.sgsnMccMnc.clear();
        row.settings.sgsnAddress.clear();
      } else if (!given) {
        row.settings.sgsnMccMnc = "26201";  // the one value that enables the set
      }
      row.label = std::string(given ? "values given:" : "values blank:") +
                  (row.settings.scap ? " SCAP" : "") + (row.settings.tgpp ? " 3GPP" : "") +
                  (row.settings.tgppTimeZone ? " 3GPPTIMEZONE" : "") + (sgsn ? " 3GPPSGSN" : "");
      rows.push_back(row);
    }
  }
  Row sgsnAddressOnly{"3GPPSGSN by SGSN-Address alone, with 3GPP", {}};
  sgsnAddressOnly.settings.tgpp = true;
  sgsnAddressOnly.settings.sgsnAddress = "192.0.2.77";
  rows.push_back(sgsnAddressOnly);
  Row moneyOnly{"CC-Money without Currency-Code", {}};
  moneyOnly.settings.money = "0.50";
  rows.push_back(moneyOnly);
  Row unitsOnly{"CC-Service-Specific-Units alone", {}};
  unitsOnly.settings.serviceSpecificUnits = "1";
  rows.push_back(unitsOnly);
  // The check itself: a Service-Context-Id blanked by the operator (a blank answer to the
  // seventh question) leaves out an AVP that the command requires, and freeDiameter says so.
  rows.push_back(Row{"Service-Context-Id blanked",
                     {},
                     "\n\n\n\n\n\n \n",
                     "5005",
                     "PROBLEM parsing error: DIAMETER_MISSING_AVP"});

  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.label);
    ClientSettings settings = row.settings;
    settings.originHost = "mm9charge-" + std::to_string(i) + ".interop.test";
    client.WriteSettings(settings);
    size_t logFrom = server.Log().size();

    ProcessResult run = RunClient(server, client, row.input);
    std::string console = Console(run);
    std::string log = server.Log().substr(logFrom);

    EXPECT_EQ(run.exitStatus, 0) << console;
    EXPECT_NE(console.find("Diameter Ready\n"), std::string::npos) << console;
    EXPECT_NE(console.find("\nDiameter Result Code " + row.code + "\n"), std::string::npos)
        << console << log;
    if (row.serverSays.empty()) {
      EXPECT_NE(console.find("Diameter charge OK\n"), std::string::npos) << console;
      EXPECT_NE(log.find("Credit-Control-Request from " + settings.originHost + " parsed"),
                std::string::npos)
          << log;
      EXPECT_EQ(Findings(log), "") << log;
    } else {
      EXPECT_NE(console.find("Diameter charge FAILED\n"), std::string::npos) << console;
      EXPECT_NE(log.find(row.serverSays), std::string::npos) << log;
    }
  }
}

// freeDiameter sends a Device-Watchdog-Request Tw - 2 seconds (4 s with fd_fixed_jitter) after
// the last message it received. fd_ccr_ok holds each charge answer until a watchdog exchange has
// completed, so with two requests in the template the client stays connected across two
// watchdog periods, longer than Tw; a watchdog left unanswered would make the connection suspect.
TEST_F(FreeDiameterInterop, WatchdogRequestsAreAnsweredAndTheConnectionStaysOpen) {
  FreeDiameter::Options options;
  options.answer = "after-watchdog";
  ASSERT_NO_FATAL_FAILURE(StartServer(options));
  ClientFolder client;
  client.WriteSettings(ClientSettings{});
  std::string text =
      ReadWholeFile(MM9_SOURCE_DIR "/templates/" + std::string(kCreditControlTemplate));
  size_t begin = text.find("<diameter ");
  size_t end = text.find("</diameter>");
  ASSERT_NE(begin, std::string::npos);
  ASSERT_NE(end, std::string::npos);
  end += std::string("</diameter>").size();
  text.insert(end, "\n" + text.substr(begin, end - begin));
  client.WriteTemplate(kCreditControlTemplate, text);

  ProcessResult run = RunClient(server, client);
  std::string console = Console(run);
  std::string log = server.Log();

  EXPECT_NE(log.find("Tw Timer ............... : 6\n"), std::string::npos) << log;
  EXPECT_EQ(CountOf(console, "Diameter request received - code 280\n"), 2u) << console;
  EXPECT_EQ(CountOf(console, "\nDiameter Result Code 2001\n"), 2u) << console;
  EXPECT_NE(console.find("Diameter charge OK\n"), std::string::npos) << console;
  EXPECT_GE(run.elapsedMs, 7500u);
  EXPECT_EQ(CountOf(log,
                    "fd_ccr_ok: received Device-Watchdog answer (280) peer "
                    "mm9charge.interop.test"),
            2u)
      << log;
  EXPECT_EQ(CountOf(log, "2001 (after a watchdog exchange)"), 2u) << log;
  // The connection left the open state once, when the client disconnected at its end.
  EXPECT_EQ(CountOf(log, "'STATE_OPEN'\t->"), 1u) << log;
  size_t disconnect = log.find("Peer 'mm9charge.interop.test' sent a DPR with cause: REBOOTING");
  ASSERT_NE(disconnect, std::string::npos) << log;
  EXPECT_NE(log.find("'STATE_OPEN'\t-> 'STATE_CLOSING'", disconnect), std::string::npos) << log;
  EXPECT_EQ(Findings(log), "") << log;
}

// freeDiameter shutting down sends a Disconnect-Peer-Request to its connected peers. The client
// waits for a charge answer that never comes; the request ends that wait and is answered.
TEST_F(FreeDiameterInterop, DisconnectRequestOfAServerShuttingDownIsAnswered) {
  FreeDiameter::Options options;
  options.answer = "never";
  ASSERT_NO_FATAL_FAILURE(StartServer(options));
  ClientFolder client;
  client.WriteSettings(ClientSettings{});

  ProcessResult run;
  std::thread charge([&] { run = RunClient(server, client); });
  bool waiting = server.WaitForLog("leaving the Credit-Control-Request unanswered", 0, 10000);
  std::string logBeforeStop = server.Log();
  server.Stop();
  charge.join();
  ASSERT_TRUE(waiting) << logBeforeStop;
  std::string console = Console(run);
  std::string log = server.Log();

  EXPECT_NE(log.find("fd_ccr_ok: sent Disconnect-Peer request (282) peer mm9charge.interop.test"),
            std::string::npos)
      << log;
  EXPECT_NE(
      log.find("fd_ccr_ok: received Disconnect-Peer answer (282) peer mm9charge.interop.test"),
      std::string::npos)
      << log;
  EXPECT_EQ(Findings(log), "") << log;
  EXPECT_NE(console.find("Diameter request received - code 282\n"), std::string::npos) << console;
  EXPECT_NE(console.find("Diameter charge FAILED\n"), std::string::npos) << console;
  EXPECT_EQ(run.exitStatus, 0) << console;
  // The disconnect, not the 5-second answer time-out, ended the wait.
  EXPECT_LT(run.elapsedMs, 4500u) << console;
}

// The client disconnects in order at the end of a run, so that freeDiameter takes the next run
// of the same Origin-Host as a new connection instead of a second one of a peer it still has.
TEST_F(FreeDiameterInterop, TwoRunsInARowWithTheSameOriginHostAreBothCharged) {
  ASSERT_NO_FATAL_FAILURE(StartServer({}));
  ClientFolder client;
  client.WriteSettings(ClientSettings{});

  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE("run " + std::to_string(i + 1));
    ProcessResult run = RunClient(server, client);
    std::string console = Console(run);
    EXPECT_NE(console.find("Diameter Ready\n"), std::string::npos) << console;
    EXPECT_NE(console.find("Diameter charge OK\n"), std::string::npos) << console;
  }
  std::string log = server.Log();
  EXPECT_EQ(CountOf(log, "Credit-Control-Request from mm9charge.interop.test parsed"), 2u) << log;
  EXPECT_EQ(Findings(log), "") << log;
}

}  // namespace
