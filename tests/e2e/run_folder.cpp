// The run folder of the end-to-end tests.
#include "run_folder.h"

#include <filesystem>

#include "platform/profile.h"

namespace {

constexpr const char* kTemplates[] = {"diameter-capabilities-exchange.xml",
                                      "diameter-credit-control.xml"};

}  // namespace

RunFolder::RunFolder(bool withTemplates) {
  namespace fs = std::filesystem;
  fs::copy_file(MM9CHARGE_EXE, Exe());
  if (withTemplates) {
    for (const char* name : kTemplates) {
      fs::copy_file(std::string(MM9_SOURCE_DIR "/templates/") + name, dir.File(name));
    }
  }
}

std::string RunFolder::Key(const char* section, const char* key) const {
  char value[1024];
  platform::ProfileReadString(section, key, kAbsentKey, value, sizeof value, IniPath().c_str());
  return value;
}

ProcessResult RunFolder::Run(const std::string& input, uint32_t timeLimitMs,
                             const std::vector<std::pair<std::string, std::string>>& env) const {
  ProcessRun run;
  run.executable = Exe();
  run.input = input;
  run.environment = env;
  run.timeLimitMs = timeLimitMs;
  return RunProcess(run);
}

std::string RunIni(uint16_t port, const std::string& mainExtra, const std::string& messageExtra) {
  return "[MM9Diameter]\r\n"
         "Destination-Host-Address=127.0.0.1\r\n"
         "Destination-Host-Port-Number=" +
         std::to_string(port) +
         "\r\n"
         "Destination-Realm=ocs.test\r\n"
         "Host-IP-Address=127.0.0.1\r\n"
         "Origin-Host=mmsc.test\r\n"
         "Origin-Realm=test\r\n" +
         mainExtra +
         "[Varnholt]\r\n"
         "SenderAddress=+491701234567\r\n"
         "RecipAddress=+491707654321\r\n" +
         messageExtra;
}

std::string AnswerLines(const std::vector<std::string>& answers) {
  std::string text;
  for (const std::string& answer : answers) text += answer + "\n";
  return text;
}

std::string MissingInOrder(const std::string& text, const std::vector<std::string>& parts) {
  size_t at = 0;
  for (const std::string& part : parts) {
    size_t found = text.find(part, at);
    if (found == std::string::npos) return part;
    at = found + part.size();
  }
  return "";
}
