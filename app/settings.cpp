// The settings record, its loading from and writing to the settings file, and the text tests.
#include "app/settings.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/startup.h"
#include "platform/profile.h"
#include "platform/socket.h"
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

namespace {

constexpr size_t kHostNameSize = 250;  // work buffer for the local host's name

void ReadKey(const char* section, const char* key, const char* def, char* field, size_t size) {
  platform::ProfileReadString(section, key, def, field, static_cast<uint32_t>(size),
                              SettingsFilePath);
}

// Reads key from the legacy section when the field is still empty.
void ReadLegacy(const char* key, const char* def, char* field, size_t size) {
  if (field[0] == '\0') ReadKey(kLegacySection, key, def, field, size);
}

// An extension-set flag: its key in the message section; the main section only when the
// message section gives an empty text.
int32_t ReadFlag(const char* key) {
  char text[kFlagReadSize];
  ReadKey(kMessageSection, key, "", text, sizeof text);
  if (text[0] == '\0') ReadKey(kMainSection, key, "", text, sizeof text);
  return IsTruthy(text);
}

// Host-IP-Address from the first IPv4 address of the local host's name; left empty when the
// name or an address cannot be had.
void ReadLocalAddress() {
  char name[kHostNameSize];
  if (!platform::LocalHostName(name, sizeof name)) return;
  uint32_t addresses[platform::kMaxResolvedAddresses];
  uint32_t count = 0;
  if (!platform::ResolveIPv4(name, addresses, platform::kMaxResolvedAddresses, &count) ||
      count == 0) {
    return;
  }
  platform::FormatDotted(addresses[0], Settings.HostIPAddress, sizeof Settings.HostIPAddress);
}

void AppendExtensionSet(const char* name) {
  char* sets = Settings.SupportedExtensionSets;
  size_t used = strlen(sets);
  snprintf(sets + used, sizeof Settings.SupportedExtensionSets - used, "%s%s", used > 0 ? "," : "",
           name);
}

}  // namespace

void LoadSettings() {
  SettingsRecord& s = Settings;
  ReadKey(kMainSection, "Host-IP-Address", "", s.HostIPAddress, sizeof s.HostIPAddress);
  ReadKey(kMainSection, "Origin-Host", "", s.OriginHost, sizeof s.OriginHost);
  ReadKey(kMainSection, "Origin-Realm", "", s.OriginRealm, sizeof s.OriginRealm);
  ReadKey(kMainSection, "Product-Name", kDefaultProductName, s.ProductName, sizeof s.ProductName);
  ReadKey(kMainSection, "Destination-Host-Address", "", s.DestinationHostAddress,
          sizeof s.DestinationHostAddress);
  ReadKey(kMainSection, "Destination-Host-Port-Number", "", s.DestinationHostPortNumber,
          sizeof s.DestinationHostPortNumber);
  ReadKey(kMainSection, "Destination-Realm", "", s.DestinationRealm, sizeof s.DestinationRealm);
  ReadKey(kMainSection, "Service-Context-Id", "", s.ServiceContextId, sizeof s.ServiceContextId);
  ReadKey(kMainSection, "Service-Identifier", "", s.ServiceIdentifier, sizeof s.ServiceIdentifier);
  ReadKey(kMainSection, "CC-Service-Specific-Units", "", s.CCServiceSpecificUnits,
          sizeof s.CCServiceSpecificUnits);
  ReadKey(kMainSection, "CC-Money", "", s.CCMoney, sizeof s.CCMoney);
  ReadKey(kMainSection, "Currency-Code", "", s.CurrencyCode, sizeof s.CurrencyCode);
  ReadKey(kMainSection, "Service-Provider-Id", "", s.ServiceProviderId, sizeof s.ServiceProviderId);
  ReadKey(kMainSection, "Subscription-Id-Location", "", s.SubscriptionIdLocation,
          sizeof s.SubscriptionIdLocation);

  ReadLegacy("OriginHostIP", "", s.HostIPAddress, sizeof s.HostIPAddress);
  ReadLegacy("OriginHostName", "", s.OriginHost, sizeof s.OriginHost);
  ReadLegacy("OriginRealm", "", s.OriginRealm, sizeof s.OriginRealm);
  ReadLegacy("DestinationHostIP", "", s.DestinationHostAddress, sizeof s.DestinationHostAddress);
  ReadLegacy("DestinationHostPortNumber", "", s.DestinationHostPortNumber,
             sizeof s.DestinationHostPortNumber);
  ReadLegacy("DestinationRealm", "", s.DestinationRealm, sizeof s.DestinationRealm);
  ReadLegacy("ServiceContextId", kDefaultServiceContextId, s.ServiceContextId,
             sizeof s.ServiceContextId);

  s.Include3GPPMMSInformation = ReadFlag("Include3GPPMMSInformation");
  s.IncludeSCAPParameters = ReadFlag("IncludeSCAPParameters");
  s.Include3GPPMSTimeZone = ReadFlag("Include3GPPMSTimeZone");

  ReadKey(kMessageSection, "SenderAddress", "", s.SenderAddress, sizeof s.SenderAddress);
  ReadKey(kMessageSection, "RecipAddress", "", s.RecipAddress, sizeof s.RecipAddress);
  ReadLegacy("SenderAddress", "", s.SenderAddress, sizeof s.SenderAddress);
  ReadLegacy("RecipAddress", "", s.RecipAddress, sizeof s.RecipAddress);

  ReadKey(kMessageSection, "SGSN-MCC-MNC", "", s.SGSNMCCMNC, sizeof s.SGSNMCCMNC);
  ReadKey(kMessageSection, "SGSN-Address", "", s.SGSNAddress, sizeof s.SGSNAddress);
  ReadKey(kMessageSection, "VASPID", "", s.VASPID, sizeof s.VASPID);
  ReadLegacy("SGSNMccMnc", "", s.SGSNMCCMNC, sizeof s.SGSNMCCMNC);
  ReadLegacy("SGSNAddress", "", s.SGSNAddress, sizeof s.SGSNAddress);
  ReadLegacy("VASPID", "", s.VASPID, sizeof s.VASPID);

  ReadKey(kMessageSection, "IPAddressOut", "", s.IPAddressOut, sizeof s.IPAddressOut);
  if (s.IPAddressOut[0] == '\0') {
    ReadKey(kMessageSection, "IPAddress", "", s.IPAddressOut, sizeof s.IPAddressOut);
  }

  if (s.HostIPAddress[0] == '\0') ReadLocalAddress();
  if (s.DestinationHostPortNumber[0] == '\0') {
    snprintf(s.DestinationHostPortNumber, sizeof s.DestinationHostPortNumber, "%s", kDefaultPort);
  }
}

int ParseMoneyAmount(const char* text, int32_t* valueDigits, int32_t* exponent) {
  *valueDigits = 0;
  *exponent = 0;
  if (text == nullptr) return 1;
  int64_t digits = 0;
  int64_t power = 0;
  bool pointPassed = false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == '.') {
      pointPassed = true;
    } else if (*c >= '0' && *c <= '9') {
      digits = digits * 10 + (*c - '0');
      if (pointPassed) --power;
      // An amount whose digits no longer fit is refused as a whole rather than wrapped.
      if (digits > INT32_MAX || power < INT32_MIN) return 0;
    }
  }
  *valueDigits = static_cast<int32_t>(digits);
  *exponent = static_cast<int32_t>(power);
  return 1;
}

void CompleteSettings() {
  SettingsRecord& s = Settings;
  s.SupportedExtensionSets[0] = '\0';
  if (s.IncludeSCAPParameters) AppendExtensionSet("SCAP");
  if (s.Include3GPPMMSInformation) AppendExtensionSet("3GPP");
  if (s.Include3GPPMSTimeZone) AppendExtensionSet("3GPPTIMEZONE");
  if (s.SGSNMCCMNC[0] != '\0' || s.SGSNAddress[0] != '\0') AppendExtensionSet("3GPPSGSN");
  WriteSetting(kMainSection, "SupportedExtensionSets", s.SupportedExtensionSets, 1);

  ParseMoneyAmount(s.CCMoney, &s.CCMoneyValueDigits, &s.CCMoneyExponent);

  platform::ProfileWriteString(kLegacySection, nullptr, nullptr, SettingsFilePath);
}

void WriteSetting(const char* section, const char* key, const char* text, int optional) {
  const char* value = text != nullptr ? text : "";
  platform::ProfileWriteString(section, key, optional && value[0] == '\0' ? nullptr : value,
                               SettingsFilePath);
}
