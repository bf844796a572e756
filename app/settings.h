// The settings of a run: one global record filled from the INI file beside the executable, the
// operator's answers, and the values derived from them; and the two small text tests.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kSettingTextSize = 150;  // room of a text setting, NUL included
constexpr size_t kExtensionSetsSize = 250;
constexpr size_t kAddressOutSize = 50;
constexpr size_t kFlagReadSize = 500;  // work buffer for the extension-set flags

constexpr char kMainSection[] = "MM9Diameter";
constexpr char kMessageSection[] = "Varnholt";
constexpr char kLegacySection[] = "Quendel";

constexpr char kDefaultProductName[] = "MMSC";
constexpr char kDefaultServiceContextId[] = "32270@3gpp.org";  // MMS charging
constexpr char kDefaultPort[] = "3868";

// Field names follow the settings-file keys; where a key holds "-", the field drops it.
struct SettingsRecord {
  int32_t Include3GPPMMSInformation;
  int32_t IncludeSCAPParameters;
  int32_t Include3GPPMSTimeZone;
  char OriginHost[kSettingTextSize];
  char OriginRealm[kSettingTextSize];
  char HostIPAddress[kSettingTextSize];
  char ProductName[kSettingTextSize];
  char DestinationRealm[kSettingTextSize];
  char DestinationHostAddress[kSettingTextSize];
  char DestinationHostPortNumber[kSettingTextSize];
  char ServiceContextId[kSettingTextSize];
  char ServiceIdentifier[kSettingTextSize];
  char CCServiceSpecificUnits[kSettingTextSize];
  char CCMoney[kSettingTextSize];
  int32_t CCMoneyValueDigits;
  int32_t CCMoneyExponent;
  char CurrencyCode[kSettingTextSize];
  char SenderAddress[kSettingTextSize];
  char RecipAddress[kSettingTextSize];
  char SGSNMCCMNC[kSettingTextSize];
  char SGSNAddress[kSettingTextSize];
  char VASPID[kSettingTextSize];
  char ServiceProviderId[kSettingTextSize];
  char SubscriptionIdLocation[kSettingTextSize];
  char SupportedExtensionSets[kExtensionSetsSize];
  char IPAddressOut[kAddressOutSize];
};

extern SettingsRecord Settings;

// Puts every field back to its initial value.
void ResetSettings();
void LoadSettings();
void CompleteSettings();

// Writes a setting back under its key in section; for an optional setting an empty text
// deletes the key instead.
void WriteSetting(const char* section, const char* key, const char* text, int optional);

// Derives the value digits and exponent of a money amount such as "1.23" (123 and -2). The
// digits are accumulated in 64 bits; 0 when they do not fit a signed 32-bit value (then both
// outputs are 0), 1 otherwise.
int ParseMoneyAmount(const char* text, int32_t* valueDigits, int32_t* exponent);

int IsTruthy(const char* text);
const char* SkipSpaces(const char* text);
