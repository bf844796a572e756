#include "log_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include "app/log.h"
#include "platform/console.h"
#include "platform/file.h"

LogCapture::LogCapture() {
  consoleFd = open(dir.File("console").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND, 0644);
  platform::SetConsoleErrorFdForTests(consoleFd);
  LogFile = platform::OpenLogFile(dir.File("log").c_str());
}

LogCapture::~LogCapture() {
  platform::SetConsoleErrorFdForTests(-1);
  platform::FileClose(LogFile);
  LogFile = platform::kInvalidFile;
  close(consoleFd);
}

std::string LogCapture::Console() const {
  return ReadWholeFile(dir.File("console"));
}
std::string LogCapture::Log() const {
  return ReadWholeFile(dir.File("log"));
}

void LogCapture::Clear() {
  if (ftruncate(consoleFd, 0) != 0) return;
  if (ftruncate(LogFile, 0) != 0) return;
}
