// Whole runs of the real program for the end-to-end tests: the program and the sample templates
// copied into a temporary folder of their own, a settings file that points at a test peer on
// 127.0.0.1, and the questions answered from standard input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run_folder.h"
#include "support/process.h"
#include "support/temp_dir.h"

constexpr char kRunOriginHost[] = "client.test.example";
constexpr char kRunOriginRealm[] = "test.example";
constexpr char kCapabilitiesTemplate[] = "diameter-capabilities-exchange.xml";
constexpr char kCreditControlTemplate[] = "diameter-credit-control.xml";

// Every required value, so that Enter answers every question. CRLF line ends, as the settings
// file of a Windows installation has them.
std::string RunSettingsText(uint16_t port);

// A run folder (program and templates) whose settings file is RunSettingsText(port).
struct ProgramFolder : RunFolder {
  explicit ProgramFolder(uint16_t port);
  std::string File(const std::string& name) const { return dir.File(name); }

  std::string program = Exe();       // the copied executable
  std::string settings = IniPath();  // its settings file
  std::string log = LogPath();       // its log file
};

// One Enter answer for each question of a run, and a few to spare.
std::string EnterAnswers();

ProcessResult RunProgram(const ProgramFolder& folder, const std::string& input,
                         uint32_t timeLimitMs);

// The texts of a log split at its "\r\n" line ends; the text after the last line end, if any, is
// the last entry.
std::vector<std::string> LogLines(const std::string& text);

// Empty when expected occur as whole lines of lines in this order; otherwise which one is missing.
std::string MissingInOrder(const std::vector<std::string>& lines,
                           const std::vector<std::string>& expected);
bool HasLine(const std::vector<std::string>& lines, const std::string& line);
size_t CountLines(const std::vector<std::string>& lines, const std::string& line);

// A sanitizer or leak report in a child's error stream, or empty.
std::string SanitizerReport(const std::string& err);

// Pseudo-random bytes from a fixed seed, the same on every run.
std::string NoiseBytes(size_t count, uint32_t seed);
