// Program entry and start-up.
#include "app/startup.h"

#include <cstdio>
#include <cstring>

#include "app/log.h"
#include "app/run_sequence.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/socket.h"

char SettingsFilePath[kPathSize];
char LogFilePath[kPathSize];

namespace {

constexpr const char* kSecureTransportEntries[kSecureTransportEntryCount] = {
    "sslInitSession", "sslAcceptSession",    "sslFreeSession",     "sslSend",
    "sslRecv",        "sslDataPending",      "sslInitLib",         "sslTermLib",
    "sslServerCertExists", "sslSignedCertExists", "sslGenerateCertificate"};
constexpr int kSslInitLibEntry = 6;

bool secureTransportBound = false;
platform::Library secureTransport = nullptr;
void* secureTransportEntries[kSecureTransportEntryCount];

}  // namespace

void DerivePath(const char* executable, const char* extension, char* out, size_t size) {
  char base[kPathSize];
  snprintf(base, sizeof base, "%s", executable);
  // Only the file name carries the extension: a "." in a folder name is part of the folder.
  char* name = strrchr(base, '/');
  name = name != nullptr ? name + 1 : base;
  char* dot = strrchr(name, '.');
  if (dot != nullptr) *dot = '\0';
  snprintf(out, size, "%s%s", base, extension);
}

platform::Library BindSecureTransport() {
  if (secureTransportBound) return secureTransport;
  platform::Library library = platform::LibraryLoad(kSecureTransportLibrary);
  if (library != nullptr) {
    for (int i = 0; i < kSecureTransportEntryCount; ++i) {
      secureTransportEntries[i] = platform::LibrarySymbol(library, kSecureTransportEntries[i]);
      if (secureTransportEntries[i] == nullptr) {
        platform::LibraryUnload(library);
        library = nullptr;
        break;
      }
    }
  }
  secureTransport = library;
  secureTransportBound = true;
  return secureTransport;
}

int ProgramMain() {
  platform::SocketStartup();
  if (BindSecureTransport() != nullptr) {
    using InitLib = int (*)();
    reinterpret_cast<InitLib>(secureTransportEntries[kSslInitLibEntry])();
  }

  char executable[kPathSize];
  platform::ExecutablePath(executable, sizeof executable);
  DerivePath(executable, ".INI", SettingsFilePath, sizeof SettingsFilePath);
  DerivePath(executable, ".LOG", LogFilePath, sizeof LogFilePath);

  LogFile = platform::OpenLogFile(LogFilePath);
  if (LogFile == platform::kInvalidFile) {
    char message[kPathSize + 64];
    snprintf(message, sizeof message, "Unable to create log file:  %s\a\r\n", LogFilePath);
    platform::ConsoleWrite(message);
    return kExitFatal;
  }

  int status = RunSequence();

  platform::FileClose(LogFile);
  LogFile = platform::kInvalidFile;
  return status;
}
