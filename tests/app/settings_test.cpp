// The settings record: loading with its legacy fallbacks, completion, write-back and the text
// tests.
#include "app/settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/startup.h"
#include "platform/socket.h"
#include "support/temp_dir.h"

namespace {

// The host resolves to two addresses (192.0.2.7 first); nothing leaves the machine.
int TwoAddresses(const char*, uint32_t* addresses, uint32_t room, uint32_t* count) {
  const uint32_t found[] = {platform::InetAddr("192.0.2.7"), platform::InetAddr("198.51.100.9")};
  *count = 0;
  for (uint32_t a : found) {
    if (*count < room) addresses[(*count)++] = a;
  }
  return 1;
}

int NoAddress(const char*, uint32_t*, uint32_t, uint32_t* count) {
  *count = 0;
  return 0;
}

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.File("mm9charge.INI");
    snprintf(SettingsFilePath, sizeof SettingsFilePath, "%s", path.c_str());
    platform::SetResolverForTests(TwoAddresses);
    ResetSettings();
  }
  void TearDown() override { platform::SetResolverForTests(nullptr); }

  TempDir dir;
  std::string path;
};

TEST_F(SettingsFile, MissingOrEmptyFileGivesTheDefaults) {
  for (bool exists : {false, true}) {
    if (exists) WriteWholeFile(path, "");
    ResetSettings();
    LoadSettings();
    EXPECT_STREQ(Settings.ProductName, "MMSC");
    EXPECT_STREQ(Settings.ServiceContextId, "32270@3gpp.org");
    EXPECT_STREQ(Settings.DestinationHostPortNumber, "3868");
    EXPECT_STREQ(Settings.HostIPAddress, "192.0.2.7");
    EXPECT_STREQ(Settings.OriginHost, "");
    EXPECT_STREQ(Settings.SenderAddress, "");
    EXPECT_EQ(Settings.Include3GPPMMSInformation, 0);
    EXPECT_EQ(Settings.IncludeSCAPParameters, 0);
    EXPECT_EQ(Settings.Include3GPPMSTimeZone, 0);
    CompleteSettings();
    EXPECT_STREQ(Settings.SupportedExtensionSets, "");
    // Nothing was asked or composed, so nothing is written.
    EXPECT_EQ(FileExists(path), exists);
    if (exists) {
      EXPECT_EQ(ReadWholeFile(path), "");
    }
  }
}

TEST_F(SettingsFile, HostAddressStaysEmptyWhenTheHostCannotBeResolved) {
  platform::SetResolverForTests(NoAddress);
  LoadSettings();
  EXPECT_STREQ(Settings.HostIPAddress, "");
}

TEST_F(SettingsFile, NewerKeysShadowTheLegacyOnes) {
  WriteWholeFile(path,
                 "[MM9Diameter]\r\n"
                 "Origin-Host=new-host\r\n"
                 "Destination-Realm=new.realm\r\n"
                 "Product-Name=\r\n"
                 "[Varnholt]\r\n"
                 "SenderAddress=111\r\n"
                 "SGSN-Address=10.0.0.1\r\n"
                 "IPAddress=127.0.0.2\r\n"
                 "[Quendel]\r\n"
                 "OriginHostIP=10.1.1.1\r\n"
                 "OriginHostName=old-host\r\n"
                 "OriginRealm=old.realm\r\n"
                 "DestinationHostIP=10.2.2.2\r\n"
                 "DestinationHostPortNumber=3869\r\n"
                 "DestinationRealm=old.dest\r\n"
                 "ServiceContextId=old@context\r\n"
                 "SenderAddress=999\r\n"
                 "RecipAddress=222\r\n"
                 "SGSNMccMnc=26201\r\n"
                 "SGSNAddress=10.9.9.9\r\n"
                 "VASPID=vasp\r\n");
  LoadSettings();
  EXPECT_STREQ(Settings.OriginHost, "new-host");
  EXPECT_STREQ(Settings.DestinationRealm, "new.realm");
  EXPECT_STREQ(Settings.ProductName, "");  // present but empty: the default is not taken
  EXPECT_STREQ(Settings.HostIPAddress, "10.1.1.1");
  EXPECT_STREQ(Settings.OriginRealm, "old.realm");
  EXPECT_STREQ(Settings.DestinationHostAddress, "10.2.2.2");
  EXPECT_STREQ(Settings.DestinationHostPortNumber, "3869");
  EXPECT_STREQ(Settings.ServiceContextId, "old@context");
  EXPECT_STREQ(Settings.SenderAddress, "111");
  EXPECT_STREQ(Settings.RecipAddress, "222");
  EXPECT_STREQ(Settings.SGSNMCCMNC, "26201");
  EXPECT_STREQ(Settings.SGSNAddress, "10.0.0.1");
  EXPECT_STREQ(Settings.VASPID, "vasp");
  EXPECT_STREQ(Settings.IPAddressOut, "127.0.0.2");
}

TEST_F(SettingsFile, FlagsTakeTheMessageSectionFirst) {
  WriteWholeFile(path,
                 "[Varnholt]\n"
                 "Include3GPPMMSInformation=N\n"
                 "IncludeSCAPParameters=\n"
                 "[MM9Diameter]\n"
                 "Include3GPPMMSInformation=Y\n"
                 "IncludeSCAPParameters=Y\n"
                 "Include3GPPMSTimeZone=yes\n");
  LoadSettings();
  EXPECT_EQ(Settings.Include3GPPMMSInformation, 0);  // "N" is a text, so it decides
  EXPECT_EQ(Settings.IncludeSCAPParameters, 1);      // empty: the main section decides
  EXPECT_EQ(Settings.Include3GPPMSTimeZone, 1);      // absent: likewise
}

TEST_F(SettingsFile, LongValuesAreCutToTheirField) {
  std::string longText(300, 'h');
  WriteWholeFile(path, "[MM9Diameter]\nOrigin-Host=" + longText +
                           "\n[Varnholt]\nIPAddressOut=" + longText + "\n");
  LoadSettings();
  EXPECT_EQ(std::string(Settings.OriginHost), std::string(149, 'h'));
  EXPECT_EQ(std::string(Settings.IPAddressOut), std::string(49, 'h'));
}

TEST_F(SettingsFile, CompletionRemovesTheLegacySectionAndKeepsTheRest) {
  const std::string kept =
      "; local test server\r\n"
      "[MM9Diameter]\r\n"
      "Origin-Host=client\r\n"
      "\n"
      "[Varnholt]\n"
      "SenderAddress=111\n";
  WriteWholeFile(path, kept + "[Quendel]\r\nOriginHostName=shadowed\r\n");
  LoadSettings();
  CompleteSettings();
  EXPECT_EQ(ReadWholeFile(path), kept);
}

TEST_F(SettingsFile, ExtensionSetsAreComposedInTheirOrder) {
  struct Case {
    int32_t scap, mms, timeZone;
    const char* mccMnc;
    const char* sgsnAddress;
    const char* expected;
  } cases[] = {
      {0, 0, 0, "", "", ""},
      {1, 1, 0, "", "", "SCAP,3GPP"},
      {0, 1, 0, "", "", "3GPP"},
      {0, 0, 1, "", "", "3GPPTIMEZONE"},
      {0, 0, 0, "26201", "", "3GPPSGSN"},
      {0, 0, 0, "", "   ", "3GPPSGSN"},  // blanks are not empty
      {1, 1, 1, "26201", "10.0.0.1", "SCAP,3GPP,3GPPTIMEZONE,3GPPSGSN"},
  };
  for (const Case& c : cases) {
    WriteWholeFile(path, "[MM9Diameter]\r\nSupportedExtensionSets=stale\r\nOrigin-Host=x\r\n");
    ResetSettings();
    Settings.IncludeSCAPParameters = c.scap;
    Settings.Include3GPPMMSInformation = c.mms;
    Settings.Include3GPPMSTimeZone = c.timeZone;
    snprintf(Settings.SGSNMCCMNC, sizeof Settings.SGSNMCCMNC, "%s", c.mccMnc);
    snprintf(Settings.SGSNAddress, sizeof Settings.SGSNAddress, "%s", c.sgsnAddress);
    CompleteSettings();
    EXPECT_STREQ(Settings.SupportedExtensionSets, c.expected);
    std::string expectedFile =
        c.expected[0] == '\0'
            ? "[MM9Diameter]\r\nOrigin-Host=x\r\n"
            : "[MM9Diameter]\r\nSupportedExtensionSets=" + std::string(c.expected) +
                  "\r\nOrigin-Host=x\r\n";
    EXPECT_EQ(ReadWholeFile(path), expectedFile) << c.expected;
  }
}

TEST(MoneyAmount, DigitsAndExponent) {
  struct Case {
    const char* text;
    int ok;
    int32_t digits, exponent;
  } cases[] = {
      {"1.23", 1, 123, -2},
      {"12", 1, 12, 0},
      {"0.50", 1, 50, -2},
      {"1.2.3", 1, 123, -2},
      {"-1.5", 1, 15, -1},
      {"1,000.25 EUR", 1, 100025, -2},
      {"abc", 1, 0, 0},
      {"", 1, 0, 0},
      {"2147483647", 1, 2147483647, 0},
      {"0.000000000000000000001", 1, 1, -21},
      {"21474836.48", 0, 0, 0},  // one more than a signed 32-bit value holds
      {"99999999999999999999999", 0, 0, 0},
  };
  for (const Case& c : cases) {
    int32_t digits = 7, exponent = 7;
    EXPECT_EQ(ParseMoneyAmount(c.text, &digits, &exponent), c.ok) << c.text;
    EXPECT_EQ(digits, c.digits) << c.text;
    EXPECT_EQ(exponent, c.exponent) << c.text;
  }
}

TEST_F(SettingsFile, CompletionDerivesTheMoneyValues) {
  snprintf(Settings.CCMoney, sizeof Settings.CCMoney, "%s", "12.345");
  CompleteSettings();
  EXPECT_EQ(Settings.CCMoneyValueDigits, 12345);
  EXPECT_EQ(Settings.CCMoneyExponent, -3);

  snprintf(Settings.CCMoney, sizeof Settings.CCMoney, "%s", "4294967296.01");
  CompleteSettings();
  EXPECT_EQ(Settings.CCMoneyValueDigits, 0);
  EXPECT_EQ(Settings.CCMoneyExponent, 0);
}

TEST_F(SettingsFile, WriteSettingDeletesOnlyEmptyOptionalValues) {
  WriteWholeFile(path, "[MM9Diameter]\r\nService-Identifier=7\r\nOrigin-Realm=r\r\n");
  WriteSetting(kMainSection, "Service-Identifier", "", 1);
  WriteSetting(kMainSection, "Origin-Realm", "", 0);
  WriteSetting(kMessageSection, "SenderAddress", "123", 0);
  EXPECT_EQ(ReadWholeFile(path),
            "[MM9Diameter]\r\nOrigin-Realm=\r\n[Varnholt]\r\nSenderAddress=123\r\n");
}

TEST(TextTests, IsTruthy) {
  for (const char* yes : {"Y", "yes", "y", "1", "10", "TRUE", "true", "tRuE", "On", "ON", "on"}) {
    EXPECT_EQ(IsTruthy(yes), 1) << yes;
  }
  for (const char* no : {"", "N", "No", "0", "T", "Online", " Y", "TRUE ", "O", "of"}) {
    EXPECT_EQ(IsTruthy(no), 0) << '"' << no << '"';
  }
  EXPECT_EQ(IsTruthy(nullptr), 0);
}

TEST(TextTests, SkipSpacesPassesOverBlanksOnly) {
  EXPECT_STREQ(SkipSpaces("  a b "), "a b ");
  EXPECT_STREQ(SkipSpaces("\t a"), "\t a");
  const char* blanks = "   ";
  EXPECT_EQ(SkipSpaces(blanks), blanks + 3);
  EXPECT_EQ(SkipSpaces(nullptr), nullptr);
}

}  // namespace
