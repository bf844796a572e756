// The two request templates beside the executable, kept in memory and re-read when they change.
#pragma once

#include <cstdint>

constexpr char kCapabilitiesTemplateName[] = "diameter-capabilities-exchange.xml";
constexpr char kCreditControlTemplateName[] = "diameter-credit-control.xml";
constexpr uint32_t kTemplateCheckWindowSeconds = 15;  // a call within this of the last check
                                                      // does not look at the file
constexpr uint32_t kTemplateSlack = 1024;             // zero bytes after the text

struct TemplateCacheEntry {
  char* text;          // the whole file and a NUL, or nullptr
  uint32_t lastCheck;  // seconds since 1970 of the latest look at the file system; 0 at first
  uint64_t writeTime;  // the file's last-write time when the text was read
};

struct TemplateCacheRecord {
  TemplateCacheEntry capabilities;
  TemplateCacheEntry creditControl;
};

extern TemplateCacheRecord TemplateCache;

const char* GetCapabilitiesTemplate();
const char* GetCreditControlTemplate();
