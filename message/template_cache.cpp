// Keeps the two request templates beside the executable in memory and re-reads a changed file.
#include "message/template_cache.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "message/memory.h"
#include "platform/clock.h"
#include "platform/file.h"

TemplateCacheRecord TemplateCache = {};

namespace {

constexpr size_t kExecutablePathSize = 4096;
constexpr size_t kTemplatePathSize = kExecutablePathSize + sizeof kCapabilitiesTemplateName;
constexpr char kPathSeparator = '/';
// The size of a template file is used as a 32-bit count; its storage adds the slack of the text
// and of the allocation, and a file too large for that is treated as unreadable.
constexpr uint64_t kLargestTemplateFile = UINT32_MAX - kTemplateSlack - kMemSlack;

// The executable's path with everything after its last separator replaced by name; the bare name
// when the path holds no separator. 0 when the path cannot be had or does not fit.
int TemplatePath(const char* name, char* out, size_t size) {
  char executable[kExecutablePathSize];
  if (!platform::ExecutablePath(executable, sizeof executable)) return 0;
  const char* separator = strrchr(executable, kPathSeparator);
  int written;
  if (separator == nullptr) {
    written = snprintf(out, size, "%s", name);
  } else {
    int directoryLength = static_cast<int>(separator - executable + 1);
    written = snprintf(out, size, "%.*s%s", directoryLength, executable, name);
  }
  return written >= 0 && static_cast<size_t>(written) < size ? 1 : 0;
}

const char* GetTemplate(TemplateCacheEntry* entry, const char* name) {
  uint32_t now = platform::CalendarSeconds();
  if (entry->text != nullptr && entry->lastCheck != 0 &&
      static_cast<uint32_t>(now - entry->lastCheck) <= kTemplateCheckWindowSeconds) {
    return entry->text;
  }
  entry->lastCheck = now;

  char path[kTemplatePathSize];
  if (!TemplatePath(name, path, sizeof path)) return entry->text;
  uint64_t writeTime = 0;
  uint64_t size = 0;
  if (!platform::FileInfo(path, &writeTime, &size)) return entry->text;
  if (entry->text != nullptr && writeTime == entry->writeTime) return entry->text;
  if (size > kLargestTemplateFile) return entry->text;
  platform::File file = platform::OpenForReading(path);
  if (file == platform::kInvalidFile) return entry->text;

  entry->writeTime = writeTime;
  MemFree(entry->text);
  uint32_t count = static_cast<uint32_t>(size);
  entry->text = static_cast<char*>(MemAlloc(static_cast<size_t>(count) + kTemplateSlack));
  if (entry->text != nullptr) {
    uint32_t got = platform::FileRead(file, entry->text, count);
    entry->text[got] = '\0';
  }
  platform::FileClose(file);
  return entry->text;
}

}  // namespace

const char* GetCapabilitiesTemplate() {
  return GetTemplate(&TemplateCache.capabilities, kCapabilitiesTemplateName);
}

const char* GetCreditControlTemplate() {
  return GetTemplate(&TemplateCache.creditControl, kCreditControlTemplateName);
}
