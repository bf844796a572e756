// Captures what the system logs during a test: the console's error stream and the log file
// both go to files of a temporary folder and can be read back.
#pragma once

#include <string>

#include "temp_dir.h"

struct LogCapture {
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string Console() const;  // everything written to the console's error stream so far
  std::string Log() const;      // everything written to the log file so far
  void Clear();                 // forget what was captured so far

  TempDir dir;
  int consoleFd;
};
