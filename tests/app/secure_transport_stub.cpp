// A stand-in for the secure-transport library: every entry point does nothing, except that
// loading the library and calling sslInitLib each add a line to the file named by
// ZARNIK_STUB_RECORD, so a test can see how often each happened.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

void Record(const char* line) {
  const char* path = getenv("ZARNIK_STUB_RECORD");
  if (path == nullptr) return;
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  if (write(fd, line, strlen(line)) < 0) {
  }
  close(fd);
}

__attribute__((constructor)) void Loaded() {
  Record("load\n");
}

}  // namespace

extern "C" {
int sslInitSession() {
  return 0;
}
int sslAcceptSession() {
  return 0;
}
int sslFreeSession() {
  return 0;
}
int sslSend() {
  return 0;
}
int sslRecv() {
  return 0;
}
int sslDataPending() {
  return 0;
}
int sslInitLib() {
  Record("init\n");
  return 0;
}
int sslTermLib() {
  return 0;
}
int sslServerCertExists() {
  return 0;
}
int sslSignedCertExists() {
  return 0;
}
#ifndef ZARNIK_STUB_WITHOUT_LAST_ENTRY
int sslGenerateCertificate() {
  return 0;
}
#endif
}
