// The settings record, its loading from and writing to the settings file, and the text tests.
#include "app/settings.h"

#include <cstring>

#include "platform/text.h"

namespace {

SettingsRecord InitialSettings() {
  SettingsRecord initial{};
  memcpy(initial.ProductName, kDefaultProductName, sizeof kDefaultProductName);
  return initial;
}

}  // namespace

SettingsRecord Settings = InitialSettings();

void ResetSettings() {
  Settings = InitialSettings();
}

int IsTruthy(const char* text) {
  if (text == nullptr) return 0;
  if (text[0] == 'Y' || text[0] == 'y' || text[0] == '1') return 1;
  return platform::TextEqualNoCase(text, "TRUE") || platform::TextEqualNoCase(text, "On");
}

const char* SkipSpaces(const char* text) {
  if (text == nullptr) return nullptr;
  while (*text == ' ') ++text;
  return text;
}
