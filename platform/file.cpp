// POSIX files behind the platform file interface.
#include "platform/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace platform {
namespace {

std::mutex overrideMutex;
std::string overridePath;
bool overridden = false;

}  // namespace

int ExecutablePath(char* out, size_t size) {
  if (size == 0) return 0;
  {
    std::lock_guard<std::mutex> guard(overrideMutex);
    if (overridden) {
      snprintf(out, size, "%s", overridePath.c_str());
      return 1;
    }
  }
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) {
    out[0] = '\0';
    return 0;
  }
  buffer[n] = '\0';
  snprintf(out, size, "%s", buffer);
  return 1;
}

void OverrideExecutablePath(const char* path) {
  std::lock_guard<std::mutex> guard(overrideMutex);
  overridden = path != nullptr;
  overridePath = path != nullptr ? path : "";
}

File OpenLogFile(const char* path) {
  int fd = open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return kInvalidFile;
  lseek(fd, 0, SEEK_END);
  return fd;
}

int FileWrite(File f, const void* data, size_t count) {
  if (f == kInvalidFile) return 0;
  ssize_t n;
  do {
    n = write(f, data, count);
  } while (n < 0 && errno == EINTR);
  return n >= 0 && static_cast<size_t>(n) == count ? 1 : 0;
}

void FileClose(File f) {
  if (f != kInvalidFile) close(f);
}

int FileInfo(const char* path, uint64_t* writeTime, uint64_t* size) {
  struct stat st {};
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  *writeTime = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
               static_cast<uint64_t>(st.st_mtim.tv_nsec);
  *size = static_cast<uint64_t>(st.st_size);
  return 1;
}

File OpenForReading(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  return fd < 0 ? kInvalidFile : fd;
}

uint32_t FileRead(File f, void* data, uint32_t count) {
  // The whole file is asked for in one call; the kernel may hand it over in pieces, so keep
  // reading until the count is reached or the file ends.
  uint32_t got = 0;
  while (got < count) {
    ssize_t n = read(f, static_cast<char*>(data) + got, count - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<uint32_t>(n);
  }
  return got;
}

}  // namespace platform
