// Fuzzes the settings file: reads, writes and deletes of the INI reader and writer over arbitrary
// file contents, and the loading and completion of the settings from such a file.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/settings.h"
#include "app/startup.h"
#include "fuzz_support.h"
#include "platform/profile.h"
#include "platform/socket.h"

namespace {

constexpr char kMissing[] = "\x01missing";  // a default that tells a missing key from an empty one
constexpr uint32_t kReadSize = 512;

const char* const kSections[] = {"MM9Diameter", "Varnholt", "Quendel", "a", "A b"};
const char* const kKeys[] = {"Origin-Host", "SenderAddress", "IncludeSCAPParameters", "k", "a b"};

std::string path;

void WriteFile(const std::string& content) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (!content.empty() && fwrite(content.data(), 1, content.size(), f) != content.size()) abort();
  fclose(f);
}

std::string Read(const char* section, const char* key) {
  char out[kReadSize];
  uint32_t n = platform::ProfileReadString(section, key, kMissing, out, sizeof out, path.c_str());
  if (n != strlen(out) || n >= sizeof out) abort();
  return out;
}

// Every probed setting, so that a change can be checked against all the others.
std::vector<std::string> Probe() {
  std::vector<std::string> all;
  for (const char* section : kSections) {
    for (const char* key : kKeys) all.push_back(Read(section, key));
  }
  return all;
}

size_t ProbeIndex(size_t section, size_t key) {
  return section * std::size(kKeys) + key;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// What a read gives back after the value was written: cut at a line end, blanks around it gone.
std::string Stored(const std::string& value) {
  std::string v = value.substr(0, strcspn(value.c_str(), "\r\n"));
  size_t begin = 0;
  size_t end = v.size();
  while (begin < end && IsBlank(v[begin])) ++begin;
  while (end > begin && IsBlank(v[end - 1])) --end;
  return v.substr(begin, end - begin);
}

int ResolveNothing(const char*, uint32_t*, uint32_t, uint32_t* count) {
  *count = 0;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QuietConsole();
  path = FuzzFolder() + "/settings.INI";
  snprintf(SettingsFilePath, sizeof SettingsFilePath, "%s", path.c_str());
  platform::SetResolverForTests(ResolveNothing);  // no name service per input
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  size_t section = input.ConsumeIntegralInRange<size_t>(0, std::size(kSections) - 1);
  size_t key = input.ConsumeIntegralInRange<size_t>(0, std::size(kKeys) - 1);
  uint8_t operation = input.ConsumeIntegral<uint8_t>();
  std::string value = input.ConsumeRandomLengthString(200);
  std::string content = input.ConsumeRemainingBytesAsString();
  WriteFile(content);

  std::vector<std::string> before = Probe();
  const char* s = kSections[section];
  const char* k = kKeys[key];
  size_t changed = ProbeIndex(section, key);
  std::vector<std::string> expected = before;

  switch (operation % 4) {
    case 0:  // write a key
      if (!platform::ProfileWriteString(s, k, value.c_str(), path.c_str())) abort();
      expected[changed] = Stored(value.c_str());
      break;
    case 1:  // delete a key
      if (!platform::ProfileWriteString(s, k, nullptr, path.c_str())) abort();
      expected[changed] = kMissing;
      break;
    case 2:  // delete a section
      if (!platform::ProfileWriteString(s, nullptr, nullptr, path.c_str())) abort();
      for (size_t i = 0; i < std::size(kKeys); ++i) expected[ProbeIndex(section, i)] = kMissing;
      break;
    case 3: {  // the whole loading, questions aside, and completion of a run
      ResetSettings();
      LoadSettings();
      CompleteSettings();
      if (strnlen(Settings.SupportedExtensionSets, kExtensionSetsSize) >= kExtensionSetsSize) {
        abort();
      }
      expected[ProbeIndex(2, 0)] = kMissing;  // the legacy section is gone
      for (size_t i = 0; i < std::size(kKeys); ++i) expected[ProbeIndex(2, i)] = kMissing;
      std::string sets = Read("MM9Diameter", "SupportedExtensionSets");
      if (sets !=
          (Settings.SupportedExtensionSets[0] ? Settings.SupportedExtensionSets : kMissing)) {
        abort();
      }
      break;
    }
  }
  // Names match without regard to case: "a" and "A b" are different sections, so nothing but the
  // setting changed may read differently afterwards.
  if (Probe() != expected) abort();
  // A read into a small area gives the start of the whole value.
  char small[4];
  uint32_t n = platform::ProfileReadString(s, k, kMissing, small, sizeof small, path.c_str());
  if (n != strlen(small) || expected[changed].compare(0, n, small) != 0) abort();
  if (n < sizeof small - 1 && expected[changed].size() != n) abort();
  return 0;
}
