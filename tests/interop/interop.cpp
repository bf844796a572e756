#include "interop/interop.h"

#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

namespace {

constexpr char kScript[] = MM9_SOURCE_DIR "/scripts/freediameter-peer.sh";
constexpr char kTemplates[] = MM9_SOURCE_DIR "/templates";
constexpr char kExtensions[] = "/usr/lib/freeDiameter";
constexpr uint32_t kScriptLimitMs = 30000;
constexpr uint32_t kServerLifetimeSeconds = 150;

// The full path of a program on PATH (or in the system folders that PATH may lack), or "".
std::string FindProgram(const std::string& name) {
  std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "";
  path += ":/usr/sbin:/sbin:/usr/bin:/bin";
  std::istringstream folders(path);
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    std::string candidate = folder + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

ProcessResult RunScript(std::vector<std::string> arguments) {
  ProcessRun run;
  run.executable = "/bin/bash";
  run.arguments = {kScript};
  run.arguments.insert(run.arguments.end(), arguments.begin(), arguments.end());
  run.timeLimitMs = kScriptLimitMs;
  return RunProcess(run);
}

std::string Describe(const ProcessResult& r) {
  std::ostringstream text;
  text << "status " << r.exitStatus << (r.timedOut ? " (timed out)" : "") << "\n" << r.out << r.err;
  return text.str();
}

bool StartsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

}  // namespace

std::string FreeDiameterMissing() {
  if (FindProgram("freeDiameterd").empty()) {
    return "freeDiameterd is not installed (Debian package freediameterd)";
  }
  if (!std::filesystem::exists(std::string(kExtensions) + "/dict_dcca_3gpp.fdx") ||
      !std::filesystem::exists(std::string(kExtensions) + "/acl_wl.fdx")) {
    return "the freeDiameter extensions are not installed (Debian package "
           "freediameter-extensions)";
  }
  if (std::string(FD_CCR_OK_FDX).empty()) {
    return "fd_ccr_ok was not built: the freeDiameter headers (Debian package "
           "libfreediameter-dev) were missing when the build was configured";
  }
  if (FindProgram("ip").empty()) return "ip (iproute2) is not installed";
  if (geteuid() != 0) return "network namespaces need root";
  std::string probe = "mm9probe-" + std::to_string(getpid());
  ProcessRun run;
  run.executable = "/bin/sh";
  run.arguments = {"-c", "ip netns add " + probe + " && ip netns del " + probe};
  ProcessResult r = RunProcess(run);
  if (r.exitStatus != 0) return "no network namespace can be created here: " + r.err;
  return "";
}

std::string TsharkMissing() {
  if (FindProgram("tshark").empty() || FindProgram("dumpcap").empty()) {
    return "tshark is not installed (Debian package tshark)";
  }
  return "";
}

std::string FreeDiameter::Start(const Options& options) {
  serverDir_ = dir_.File("server");
  std::string conf = dir_.File("fd_ccr_ok.conf");
  WriteWholeFile(conf, "answer = " + options.answer + "\n");
  std::vector<std::string> arguments = {"start",       serverDir_,
                                        "--port",      std::to_string(kServerPort),
                                        "--identity",  std::string("ocs.") + kServerRealm,
                                        "--realm",     kServerRealm,
                                        "--allow",     std::string("*.") + kServerRealm,
                                        "--extension", std::string(FD_CCR_OK_FDX) + ":" + conf,
                                        "--preload",   FD_FIXED_JITTER_SO,
                                        "--lifetime",  std::to_string(kServerLifetimeSeconds)};
  if (options.capture) {
    arguments.push_back("--capture");
    arguments.push_back(CapturePath());
  }
  ProcessResult r = RunScript(arguments);
  if (r.exitStatus != 0) return "freediameter-peer.sh start failed: " + Describe(r);
  running_ = true;
  return "";
}

void FreeDiameter::Stop() {
  if (!running_) return;
  running_ = false;
  RunScript({"stop", serverDir_});
}

std::string FreeDiameter::Log() const {
  return ReadWholeFile(serverDir_ + "/freeDiameter.out");
}

bool FreeDiameter::WaitForLog(const std::string& text, size_t from, uint32_t limitMs) const {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    std::string log = Log();
    if (log.size() > from && log.find(text, from) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

ClientSettings WithEveryValue() {
  ClientSettings s;
  s.scap = s.tgpp = s.tgppTimeZone = true;
  s.serviceIdentifier = "4000000000";
  s.serviceSpecificUnits = "5000000000";
  s.money = "1234.56";
  s.currencyCode = "978";
  s.sgsnMccMnc = "26201";
  s.sgsnAddress = "10.1.2.3";
  s.vaspId = "vasp-1";
  s.serviceProviderId = "provider-1";
  s.subscriptionIdLocation = "location-1";
  return s;
}

ClientFolder::ClientFolder() {
  namespace fs = std::filesystem;
  executable_ = dir_.File("mm9charge");
  fs::copy_file(MM9CHARGE_EXE, executable_, fs::copy_options::overwrite_existing);
  fs::permissions(executable_, fs::perms::owner_all, fs::perm_options::add);
  for (const auto& entry : fs::directory_iterator(kTemplates)) {
    if (entry.path().extension() == ".xml") {
      fs::copy_file(entry.path(), dir_.File(entry.path().filename().string()),
                    fs::copy_options::overwrite_existing);
    }
  }
}

void ClientFolder::WriteSettings(const ClientSettings& s) {
  std::ostringstream ini;
  auto optional = [&ini](const char* key, const std::string& value) {
    if (!value.empty()) ini << key << "=" << value << "\n";
  };
  auto flag = [](bool on) { return on ? "Y" : "N"; };
  ini << "[MM9Diameter]\n"
      << "Destination-Host-Address=127.0.0.1\n"
      << "Destination-Host-Port-Number=" << kServerPort << "\n"
      << "Destination-Realm=" << kServerRealm << "\n"
      << "Host-IP-Address=127.0.0.1\n"
      << "Origin-Host=" << s.originHost << "\n"
      << "Origin-Realm=" << kServerRealm << "\n";
  optional("Service-Identifier", s.serviceIdentifier);
  optional("CC-Service-Specific-Units", s.serviceSpecificUnits);
  optional("CC-Money", s.money);
  optional("Currency-Code", s.currencyCode);
  optional("Service-Provider-Id", s.serviceProviderId);
  optional("Subscription-Id-Location", s.subscriptionIdLocation);
  ini << "[Varnholt]\n"
      << "SenderAddress=" << s.sender << "\n"
      << "RecipAddress=" << s.recipient << "\n";
  optional("SGSN-MCC-MNC", s.sgsnMccMnc);
  optional("SGSN-Address", s.sgsnAddress);
  optional("VASPID", s.vaspId);
  ini << "IncludeSCAPParameters=" << flag(s.scap) << "\n"
      << "Include3GPPMSTimeZone=" << flag(s.tgppTimeZone) << "\n"
      << "Include3GPPMMSInformation=" << flag(s.tgpp) << "\n";
  WriteWholeFile(dir_.File("mm9charge.INI"), ini.str());
}

void ClientFolder::WriteTemplate(const std::string& name, const std::string& text) {
  WriteWholeFile(dir_.File(name), text);
}

std::string ClientFolder::Log() const {
  return ReadWholeFile(dir_.File("mm9charge.LOG"));
}

ProcessResult RunClient(const FreeDiameter& server, const ClientFolder& client,
                        const std::string& input,
                        std::vector<std::pair<std::string, std::string>> environment,
                        uint32_t limitMs) {
  ProcessRun run;
  run.executable = "/bin/bash";
  run.arguments = {kScript, "exec", server.Folder() + "/server", client.Executable()};
  run.input = input;
  run.environment = std::move(environment);
  run.timeLimitMs = limitMs;
  return RunProcess(run);
}

size_t CountOf(const std::string& haystack, const std::string& text) {
  size_t count = 0;
  for (size_t at = haystack.find(text); at != std::string::npos;
       at = haystack.find(text, at + text.size())) {
    ++count;
  }
  return count;
}

Decoding DecodeCapture(const std::string& path, uint16_t port) {
  Decoding decoding;
  ProcessRun run;
  run.executable = FindProgram("tshark");
  run.arguments = {"-n", "-r", path,      "-d", "tcp.port==" + std::to_string(port) + ",diameter",
                   "-V", "-O", "diameter"};
  run.timeLimitMs = 60000;
  ProcessResult r = RunProcess(run);
  decoding.ran = r.exitStatus == 0;
  decoding.text = r.out;
  if (!decoding.ran) decoding.problems.push_back("tshark failed: " + Describe(r));

  std::istringstream lines(r.out);
  std::string line;
  int frame = 0;
  uint16_t sourcePort = 0;
  DecodedMessage* message = nullptr;
  auto problem = [&](const std::string& what) {
    decoding.problems.push_back("frame " + std::to_string(frame) + ": " + what);
  };
  while (std::getline(lines, line)) {
    if (line.find("Malformed Packet") != std::string::npos) problem(line);
    if (line.find("[Expert Info (Warning/") != std::string::npos ||
        line.find("[Expert Info (Error/") != std::string::npos) {
      problem(line);
    }
    if (StartsWith(line, "Frame ")) {
      frame = atoi(line.c_str() + 6);
      message = nullptr;
    } else if (StartsWith(line, "Transmission Control Protocol, Src Port: ")) {
      sourcePort = static_cast<uint16_t>(atoi(line.c_str() + 41));
    } else if (StartsWith(line, "Diameter Protocol")) {
      decoding.messages.push_back(DecodedMessage{frame, sourcePort, "", false, 0, {}});
      message = &decoding.messages.back();
    } else if (message != nullptr && StartsWith(line, "    Flags: 0x")) {
      message->flags = static_cast<unsigned>(strtoul(line.c_str() + 13, nullptr, 16));
      message->request = (message->flags & 0x80) != 0;
    } else if (message != nullptr && StartsWith(line, "    Command Code: ")) {
      message->command = line.substr(18);
    }
    size_t indent = line.find_first_not_of(' ');
    if (message == nullptr || indent == std::string::npos || indent < 4 ||
        line.compare(indent, 5, "AVP: ") != 0) {
      continue;
    }
    DecodedAvp avp;
    avp.depth = static_cast<int>((indent - 4) / 8);
    avp.line = line.substr(indent + 5);
    size_t length = avp.line.find(" l=");
    if (length != std::string::npos) {
      size_t end = avp.line.find(' ', length + 1);
      avp.line.erase(length, end == std::string::npos ? std::string::npos : end - length);
    }
    avp.name = avp.line.substr(0, avp.line.find('('));
    size_t value = avp.line.find(" val=");
    if (value != std::string::npos) avp.value = avp.line.substr(value + 5);
    if (avp.name.empty() || StartsWith(avp.name, "Unknown")) problem("AVP not known: " + avp.line);
    message->avps.push_back(avp);
  }
  return decoding;
}

bool PatternMatches(const std::string& pattern, const std::string& text) {
  if (pattern.empty()) return text.empty();
  if (StartsWith(pattern, "<*>")) {
    for (size_t skip = 0; skip <= text.size(); ++skip) {
      if (PatternMatches(pattern.substr(3), text.substr(skip))) return true;
    }
    return false;
  }
  if (StartsWith(pattern, "<n>")) {
    size_t digits = 0;
    while (digits < text.size() && isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    for (size_t take = digits; take >= 1; --take) {
      if (PatternMatches(pattern.substr(3), text.substr(take))) return true;
    }
    return false;
  }
  return !text.empty() && pattern[0] == text[0] &&
         PatternMatches(pattern.substr(1), text.substr(1));
}
