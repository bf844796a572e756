// The settings record.
#include "app/settings.h"

#include <cstring>

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
