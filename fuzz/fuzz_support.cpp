// Shared set-up of the fuzz targets: quiet console, filled settings and request values.
#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/settings.h"
#include "message/byte_buffer.h"
#include "message/memory.h"
#include "platform/console.h"

namespace {

void SetText(char* field, size_t size, const char* text) {
  snprintf(field, size, "%s", text);
}

std::string folder;

// The folder and the files the targets left in it go when the fuzzing run ends.
void RemoveFolder() {
  if (folder.empty()) return;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
      unlink((folder + "/" + entry->d_name).c_str());
    }
    closedir(dir);
  }
  rmdir(folder.c_str());
}

}  // namespace

void QuietConsole() {
  static int fd = -1;
  if (fd < 0) fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  platform::SetConsoleErrorFdForTests(fd);
}

void FillFuzzSettings() {
  ResetSettings();
  SettingsRecord& s = Settings;
  SetText(s.OriginHost, sizeof s.OriginHost, "client.example@@TimeStamp@@");
  SetText(s.OriginRealm, sizeof s.OriginRealm, "example@@Config-Origin-Realm@@");
  SetText(s.HostIPAddress, sizeof s.HostIPAddress, "127.0.0.1");
  SetText(s.DestinationRealm, sizeof s.DestinationRealm, "server.example");
  SetText(s.ServiceContextId, sizeof s.ServiceContextId, kDefaultServiceContextId);
  SetText(s.ServiceIdentifier, sizeof s.ServiceIdentifier, "7");
  SetText(s.CCServiceSpecificUnits, sizeof s.CCServiceSpecificUnits, "1");
  SetText(s.CCMoney, sizeof s.CCMoney, "1.25");
  s.CCMoneyValueDigits = 125;
  s.CCMoneyExponent = -2;
  SetText(s.CurrencyCode, sizeof s.CurrencyCode, "978");
  SetText(s.ServiceProviderId, sizeof s.ServiceProviderId, "sp");
  SetText(s.SubscriptionIdLocation, sizeof s.SubscriptionIdLocation, "loc");
  SetText(s.SupportedExtensionSets, sizeof s.SupportedExtensionSets, "SCAP,3GPP,3GPPSGSN");
}

RequestValues* MakeFuzzRequestValues() {
  auto* values = static_cast<RequestValues*>(MemAlloc(sizeof(RequestValues)));
  if (values == nullptr) return nullptr;
  BufferAppendText(&values->sessionId, "client.example;1;2");
  BufferAppendText(&values->timeStamp, "3900000000");
  BufferAppendText(&values->sender, "4912345");
  BufferAppendText(&values->recip, "user@example.org");
  BufferAppendText(&values->timeZone, "8000");
  BufferAppendText(&values->sgsnMccMnc, "26201");
  BufferAppendText(&values->sgsnAddress, "10.0.0.1");
  BufferAppendText(&values->senderAddressType, "1");
  BufferAppendText(&values->recipAddressType, "0");
  BufferAppendText(&values->msgSize, "32768");
  BufferAppendText(&values->vaspId, "@@VASPID@@");
  return values;
}

const std::string& FuzzFolder() {
  if (folder.empty()) {
    // MM9_FUZZ_SCRATCH names the folder to work under, so that a run that ends in a crash
    // leaves nothing behind once its caller removes that folder.
    const char* base = getenv("MM9_FUZZ_SCRATCH");
    if (base == nullptr || base[0] == '\0') {
      base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : P_tmpdir;
    }
    std::string pattern = std::string(base) + "/mm9fuzz.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    folder = pattern;
    atexit(RemoveFolder);
  }
  return folder;
}
