// POSIX standard streams behind the platform console interface.
#include "platform/console.h"

#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace platform {
namespace {

std::atomic<int> errorFd{-1};

int ReadByte(char* c) {
  for (;;) {
    ssize_t n = read(STDIN_FILENO, c, 1);
    if (n < 0 && errno == EINTR) continue;
    return n == 1 ? 1 : 0;
  }
}

}  // namespace

void ConsoleWrite(const char* text) {
  int fd = errorFd.load();
  if (fd < 0) fd = STDERR_FILENO;
  size_t left = strlen(text);
  while (left > 0) {
    ssize_t n = write(fd, text, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
}

int ConsoleReadLine(char* out, size_t size) {
  // Byte by byte, so that nothing beyond the line is taken from standard input: the settings
  // file is written between two questions, and a run broken off keeps the answers given.
  size_t used = 0;
  bool any = false;
  char c;
  while (ReadByte(&c)) {
    any = true;
    if (c == '\n') break;
    if (used + 1 < size) out[used++] = c;
  }
  if (size > 0) {
    if (used > 0 && out[used - 1] == '\r') --used;
    out[used] = '\0';
  }
  return any ? 1 : 0;
}

void SetConsoleErrorFdForTests(int fd) {
  errorFd.store(fd);
}

}  // namespace platform
