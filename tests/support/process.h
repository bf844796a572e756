// Runs an executable as a child process for a test: given standard input, extra environment
// variables and a time limit; gives back its output streams, exit status and running time.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct ProcessRun {
  std::string executable;                                        // full path
  std::vector<std::string> arguments;                            // after the program name
  std::string input;                                             // the whole of standard input
  std::vector<std::pair<std::string, std::string>> environment;  // added to (or replacing) ours
  uint32_t timeLimitMs = 10000;                                  // the child is killed after this
};

struct ProcessResult {
  std::string out;         // standard output
  std::string err;         // standard error
  int exitStatus = -1;     // 0 to 255 when the child exited, -1 otherwise
  int signal = 0;          // the signal that ended the child, 0 when it exited
  bool timedOut = false;   // killed at the time limit
  uint32_t elapsedMs = 0;  // from start to end of the child
  size_t inputRead = 0;    // how much of the input the child took
  bool started = false;    // false when the child could not be started at all
};

ProcessResult RunProcess(const ProcessRun& run);
