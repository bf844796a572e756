// What the interoperability tests share: freeDiameter as the credit-control server, alone in a
// network namespace of its own (scripts/freediameter-peer.sh), the real mm9charge run inside that
// namespace from a folder of its own, and tshark's decoding of a capture of their dialogue.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

// The server's port inside its namespace; not Diameter's 3868, so that the client's port setting
// and tshark's decode-as both have to work.
constexpr uint16_t kServerPort = 3870;
constexpr char kServerRealm[] = "interop.test";

// Why freeDiameter cannot be used here (not installed, helpers not built, no network namespaces),
// or the empty text when it can.
std::string FreeDiameterMissing();
// Why tshark cannot be used here, or the empty text.
std::string TsharkMissing();

// One freeDiameterd with fd_ccr_ok, started in its own namespace and stopped by the destructor.
class FreeDiameter {
 public:
  struct Options {
    std::string answer = "now";  // fd_ccr_ok: now, after-watchdog or never
    bool capture = false;        // record the server's port with dumpcap
  };

  FreeDiameter() = default;
  ~FreeDiameter() { Stop(); }
  FreeDiameter(const FreeDiameter&) = delete;
  FreeDiameter& operator=(const FreeDiameter&) = delete;

  // Empty on success, else what went wrong (with the script's output).
  std::string Start(const Options& options);
  // Stops the server (it disconnects its peers in order first) and ends the capture.
  void Stop();

  std::string Log() const;  // everything the server has printed so far
  // Waits until the log holds text after the offset `from`; false after limitMs.
  bool WaitForLog(const std::string& text, size_t from, uint32_t limitMs) const;

  const std::string& Folder() const { return dir_.path; }
  std::string CapturePath() const { return dir_.File("capture.pcapng"); }

 private:
  TempDir dir_;
  std::string serverDir_;
  bool running_ = false;
};

// The operator's values of one run, written to the settings file so that Enter keeps each one.
// An empty optional value is left out of the file and so stays blank.
struct ClientSettings {
  std::string originHost = "mm9charge.interop.test";
  bool scap = false;
  bool tgpp = false;
  bool tgppTimeZone = false;
  std::string sender = "+491701234567";
  std::string recipient = "+491707654321";
  std::string serviceIdentifier;
  std::string serviceSpecificUnits;
  std::string money;
  std::string currencyCode;
  std::string sgsnMccMnc;
  std::string sgsnAddress;
  std::string vaspId;
  std::string serviceProviderId;
  std::string subscriptionIdLocation;
};

// Every optional value given, with values that exercise the encoders (64-bit units, a value above
// 2^31, a decimal money amount).
ClientSettings WithEveryValue();

// A folder holding a copy of mm9charge, the sample templates and a settings file.
class ClientFolder {
 public:
  ClientFolder();
  void WriteSettings(const ClientSettings& settings);
  // Replaces a template beside the program.
  void WriteTemplate(const std::string& name, const std::string& text);
  std::string Log() const;  // the program's log file
  const std::string& Executable() const { return executable_; }

 private:
  TempDir dir_;
  std::string executable_;
};

// Runs mm9charge inside the server's namespace with the given standard input (the empty input
// answers every question with Enter) and extra environment.
ProcessResult RunClient(const FreeDiameter& server, const ClientFolder& client,
                        const std::string& input = "",
                        std::vector<std::pair<std::string, std::string>> environment = {},
                        uint32_t limitMs = 30000);

// How often text occurs in haystack.
size_t CountOf(const std::string& haystack, const std::string& text);

// One AVP as tshark shows it in its summary line, nested AVPs by depth (0 is top level).
// `line` is the summary without the length: "Name(code) f=FLAGS[ vnd=VENDOR][ val=VALUE]".
struct DecodedAvp {
  int depth = 0;
  std::string line;
  std::string name;
  std::string value;
};

struct DecodedMessage {
  int frame = 0;
  uint16_t sourcePort = 0;
  std::string command;  // e.g. "Credit-Control (272)"
  bool request = false;
  unsigned flags = 0;  // the command flags byte
  std::vector<DecodedAvp> avps;
};

struct Decoding {
  bool ran = false;  // tshark ran and ended with status 0
  std::string text;  // tshark's verbose output
  std::vector<DecodedMessage> messages;
  std::vector<std::string> problems;  // malformed packets, expert warnings and errors, unknown AVPs
};

// Decodes a capture with tshark, the given TCP port as Diameter.
Decoding DecodeCapture(const std::string& path, uint16_t port);

// Matches text against a pattern in which "<n>" stands for one or more decimal digits and "<*>"
// for any text; every other character stands for itself.
bool PatternMatches(const std::string& pattern, const std::string& text);
