#include "binary_run.h"

#include <algorithm>

std::string RunSettingsText(uint16_t port) {
  return "[MM9Diameter]\r\n"
         "Destination-Host-Address=127.0.0.1\r\n"
         "Destination-Host-Port-Number=" +
         std::to_string(port) +
         "\r\n"
         "Destination-Realm=ocs.test.example\r\n"
         "Host-IP-Address=127.0.0.1\r\n"
         "Origin-Host=" +
         std::string(kRunOriginHost) +
         "\r\n"
         "Origin-Realm=" +
         std::string(kRunOriginRealm) +
         "\r\n"
         "[Varnholt]\r\n"
         "SenderAddress=+491701234567\r\n"
         "RecipAddress=+491707654321\r\n"
         "IncludeSCAPParameters=N\r\n"
         "Include3GPPMSTimeZone=N\r\n"
         "Include3GPPMMSInformation=Y\r\n";
}

ProgramFolder::ProgramFolder(uint16_t port) {
  WriteIni(RunSettingsText(port));
}

std::string EnterAnswers() {
  return std::string(30, '\n');
}

ProcessResult RunProgram(const ProgramFolder& folder, const std::string& input,
                         uint32_t timeLimitMs) {
  return folder.Run(input, timeLimitMs);
}

std::vector<std::string> LogLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      lines.push_back(text.substr(at));
      break;
    }
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

std::string MissingInOrder(const std::vector<std::string>& lines,
                           const std::vector<std::string>& expected) {
  auto from = lines.begin();
  for (const std::string& want : expected) {
    auto found = std::find(from, lines.end(), want);
    if (found == lines.end()) return want;
    from = found + 1;
  }
  return "";
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

size_t CountLines(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

std::string SanitizerReport(const std::string& err) {
  for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                           "WARNING: ThreadSanitizer", "runtime error:"}) {
    size_t at = err.find(mark);
    if (at != std::string::npos) return err.substr(at, 2000);
  }
  return "";
}

std::string NoiseBytes(size_t count, uint32_t seed) {
  std::string bytes(count, '\0');
  uint32_t state = seed;
  for (char& c : bytes) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}
