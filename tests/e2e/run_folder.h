// A run folder for the end-to-end tests: a copy of the real mm9charge with the sample templates
// beside it, its settings file and log, and helpers to drive a run and read what it left.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

constexpr char kAbsentKey[] = "<absent>";
constexpr char kBannerStart[] = "========================\r\nVersion 2016.02.10\r\nStarting at ";
constexpr char kLastQuestion[] = "Enable 3GPP Extension Set? (Y/N) [";

struct RunFolder {
  // Copies the program, and the templates unless told otherwise, into a fresh folder.
  explicit RunFolder(bool withTemplates = true);

  std::string Exe() const { return dir.File("mm9charge"); }
  std::string IniPath() const { return dir.File("mm9charge.INI"); }
  std::string LogPath() const { return dir.File("mm9charge.LOG"); }

  void WriteIni(const std::string& text) const { WriteWholeFile(IniPath(), text); }
  std::string Ini() const { return ReadWholeFile(IniPath()); }
  std::string Log() const { return ReadWholeFile(LogPath()); }
  // The value of key in section as the program's own reader sees it; kAbsentKey when missing.
  std::string Key(const char* section, const char* key) const;

  // Runs the program with input as the whole of standard input.
  ProcessResult Run(const std::string& input, uint32_t timeLimitMs = 10000,
                    const std::vector<std::pair<std::string, std::string>>& env = {}) const;

  TempDir dir;
};

// A settings file that holds every required value, for a server at 127.0.0.1:port, with further
// lines for the main and the message section.
std::string RunIni(uint16_t port, const std::string& mainExtra = "",
                   const std::string& messageExtra = "");

// The answer lines joined, each with its line end.
std::string AnswerLines(const std::vector<std::string>& answers);

// Empty when every part occurs in text, each after the one before; else the first part missing.
std::string MissingInOrder(const std::string& text, const std::vector<std::string>& parts);
