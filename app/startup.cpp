// Program entry and start-up.
#include "app/startup.h"

#include <climits>
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
    "sslInitSession",
    "sslAcceptSession",
    "sslFreeSession",
    "sslSend",
    "sslRecv",
    "sslDataPending",
    "sslInitLib",
    "sslTermLib",
    "sslServerCertExists",
    "sslSignedCertExists",
    "sslGenerateCertificate"};
constexpr int kSslInitLibEntry = 6;

bool secureTransportBound = false;
platform::Library secureTransport = nullptr;
void* secureTransportEntries[kSecureTransportEntryCount];

}  // namespace

int DerivePath(const char* executable, const char* extension, char* out, size_t size) {
  // Only the file name carries the extension: a "." in a folder name is part of the folder.
  const char* slash = strrchr(executable, '/');
  const char* name = slash != nullptr ? slash + 1 : executable;
  const char* dot = strrchr(name, '.');
  size_t keep = dot != nullptr ? static_cast<size_t>(dot - executable) : strlen(executable);
  int written = snprintf(out, size, "%.*s%s", static_cast<int>(keep), executable, extension);
  return written >= 0 && static_cast<size_t>(written) < size ? 1 : 0;
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

  // The paths are first worked out in room for any path the system reports. The program's own
  // names have room for kPathSize characters; a name cut to fit would be another file, perhaps
  // in another folder, so then no log is opened and the run ends as when it cannot be created.
  char executable[PATH_MAX];
  char wantedLogPath[PATH_MAX + sizeof ".LOG"];
  int fits = platform::ExecutablePath(executable, sizeof executable);
  DerivePath(executable, ".LOG", wantedLogPath, sizeof wantedLogPath);
  fits &= DerivePath(executable, ".INI", SettingsFilePath, sizeof SettingsFilePath);
  fits &= DerivePath(executable, ".LOG", LogFilePath, sizeof LogFilePath);

  LogFile = fits ? platform::OpenLogFile(LogFilePath) : platform::kInvalidFile;
  if (LogFile == platform::kInvalidFile) {
    char message[sizeof wantedLogPath + 64];
    snprintf(message, sizeof message, "Unable to create log file:  %s\a\r\n", wantedLogPath);
    platform::ConsoleWrite(message);
    return kExitFatal;
  }

  int status = RunSequence();

  platform::FileClose(LogFile);
  LogFile = platform::kInvalidFile;
  return status;
}
