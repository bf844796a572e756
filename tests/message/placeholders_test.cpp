// Tests of placeholder substitution: the token forms, the sources of every value, the cut, and
// the replacements that hold their own token.
#include "message/placeholders.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/settings.h"
#include "message/memory.h"

namespace {

std::string Substitute(const std::string& value, const RequestValues* values) {
  std::vector<char> area(kPlaceholderTextSize, '\0');
  snprintf(area.data(), area.size(), "%s", value.c_str());
  SubstitutePlaceholders(area.data(), values);
  return area.data();
}

std::string Replace(const std::string& text, const char* token, const char* replacement,
                    int32_t size) {
  std::vector<char> area(size, '\0');
  snprintf(area.data(), area.size(), "%s", text.c_str());
  ReplaceAll(area.data(), token, replacement, size);
  return area.data();
}

void SetSetting(char* field, const char* text) {
  snprintf(field, kSettingTextSize, "%s", text);
}

// A request record whose slots are released with it.
struct Request {
  RequestValues values{};
  Request() = default;
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
  ~Request() {
    for (ByteBuffer** slot : Slots()) BufferRelease(slot);
  }
  std::array<ByteBuffer**, kRequestSlotCount> Slots() { return RequestValueSlots(&values); }
  void Set(ByteBuffer* RequestValues::*slot, const char* text) {
    BufferRelease(&(values.*slot));
    BufferAppendText(&(values.*slot), text);
  }
};

struct ReplaceCase {
  const char* text;
  const char* token;
  const char* replacement;
  int32_t size;
  const char* expected;
};

TEST(ReplaceAll, FormsOrderCutAndSelfContainingReplacements) {
  const ReplaceCase cases[] = {
      // The form passed, the lower-case and the upper-case form; no other mixture.
      {"x@@Tok@@y@@tok@@z@@TOK@@w@@ToK@@", "@@Tok@@", "1", 8192, "x1y1z1w@@ToK@@"},
      // The form passed is replaced before the lower-case form, even further on in the text.
      {"@@sender@@Sender@@", "@@Sender@@", "R", 8192, "@@senderR"},
      {"@@X@@@@X@@", "@@X@@", "", 8192, ""},
      // The cut after each replacement: the second token, cut in two, is no longer found.
      {"abXYcdXY", "XY", "1234", 10, "ab1234cdX"},
      // A replacement that holds the token in each of its forms ends, and stays as inserted.
      {"a@@X@@b@@x@@c", "@@X@@", "@@X@@@@x@@", 8192, "a@@X@@@@x@@b@@X@@@@x@@c"},
      // A replacement that joins with the text after it is not searched again either.
      {"@@X@@X@@", "@@X@@", "@@", 8192, "@@X@@"},
      {"no token here", "@@X@@", "1", 8192, "no token here"},
  };
  for (const ReplaceCase& c : cases) {
    EXPECT_EQ(Replace(c.text, c.token, c.replacement, c.size), c.expected)
        << c.text << " / " << c.token << " -> " << c.replacement;
  }
}

TEST(ReplaceAll, SelfContainingReplacementGrowsOnlyToTheCut) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "@@A@@";
  std::string result = Replace(text, "@@A@@", "@@A@@@@A@@", kPlaceholderTextSize);
  ASSERT_EQ(result.size(), static_cast<size_t>(kPlaceholderTextSize - 1));
  std::string expected;
  while (expected.size() < result.size()) expected += "@@A@@@@A@@";
  EXPECT_EQ(result, expected.substr(0, result.size()));
}

TEST(ReplaceAll, LongTokenAndLongTextUseHeapAreas) {
  std::string token = "@@" + std::string(1100, 'K') + "@@";
  std::string text = std::string(2000, '.') + token + "|" + token;
  EXPECT_EQ(Replace(text, token.c_str(), "v", kPlaceholderTextSize),
            std::string(2000, '.') + "v|v");
}

TEST(ReplaceAll, NoWorkAreaLeavesTheTextUnchanged) {
  MemFailNthAllocation(1);  // the marks of an 8192-byte area come from the heap
  EXPECT_EQ(Replace("a@@X@@b", "@@X@@", "1", kPlaceholderTextSize), "a@@X@@b");
  MemFailNthAllocation(0);
}

TEST(SubstitutePlaceholders, EveryPlaceholderTakesItsOwnSource) {
  ResetSettings();
  SetSetting(Settings.OriginHost, "oh");
  SetSetting(Settings.OriginRealm, "or");
  SetSetting(Settings.HostIPAddress, "10.0.0.1");
  SetSetting(Settings.ProductName, "pn");
  SetSetting(Settings.DestinationRealm, "dr");
  SetSetting(Settings.ServiceContextId, "sc");
  SetSetting(Settings.ServiceIdentifier, "si");
  SetSetting(Settings.CCServiceSpecificUnits, "su");
  SetSetting(Settings.CCMoney, "1.25");
  Settings.CCMoneyValueDigits = 125;
  Settings.CCMoneyExponent = -2;
  SetSetting(Settings.CurrencyCode, "978");
  SetSetting(Settings.ServiceProviderId, "sp");
  SetSetting(Settings.SubscriptionIdLocation, "sl");
  ServerStartTime = 3000000000u;

  Request r;
  r.Set(&RequestValues::sessionId, "sid");
  r.Set(&RequestValues::timeStamp, "ts");
  r.Set(&RequestValues::timeZone, "tz");
  r.Set(&RequestValues::sender, "snd");
  r.Set(&RequestValues::senderAddressType, "sat");
  r.Set(&RequestValues::recip, "rcp");
  r.Set(&RequestValues::recipAddressType, "rat");
  r.Set(&RequestValues::sgsnMccMnc, "26201");
  r.Set(&RequestValues::sgsnAddress, "sa");
  r.Set(&RequestValues::msgSize, "ms");
  r.Set(&RequestValues::vaspId, "va");

  const std::pair<const char*, const char*> table[] = {
      {"@@Config-Origin-Host@@", "oh"},
      {"@@Config-Origin-Realm@@", "or"},
      {"@@Config-Host-IP-Address@@", "10.0.0.1"},
      {"@@Config-Product-Name@@", "pn"},
      {"@@Config-Destination-Realm@@", "dr"},
      {"@@Config-Service-Context-Id@@", "sc"},
      {"@@Config-Service-Identifier@@", "si"},
      {"@@Config-CC-Service-Specific-Units@@", "su"},
      {"@@Config-CC-Money@@", "1.25"},
      {"@@Config-Currency-Code@@", "978"},
      {"@@Config-Service-Provider-Id@@", "sp"},
      {"@@Config-Subscription-Id-Location@@", "sl"},
      {"@@Session-Id@@", "sid"},
      {"@@TimeStamp@@", "ts"},
      {"@@TimeZone@@", "tz"},
      {"@@Sender@@", "snd"},
      {"@@Sender-Address-Type@@", "sat"},
      {"@@Recip@@", "rcp"},
      {"@@Recip-Address-Type@@", "rat"},
      {"@@SGSNMCCMNC@@", "26201"},
      {"@@SGSNADDRESS@@", "sa"},
      {"@@MsgSize@@", "ms"},
      {"@@VASPID@@", "va"},
      {"@@UserLocationInfo@@", "0062F21000000000"},
      {"@@Config-CC-Money-Value-Digits@@", "125"},
      {"@@Config-CC-Money-Exponent@@", "4294967294"},
      {"@@ServerStartTime@@", "3000000000"},
  };
  for (const auto& [placeholder, expected] : table) {
    EXPECT_EQ(Substitute(std::string("<") + placeholder + ">", &r.values),
              std::string("<") + expected + ">")
        << placeholder;
  }
}

TEST(SubstitutePlaceholders, CaseFormsAndUnknownTokens) {
  ResetSettings();
  Request r;
  r.Set(&RequestValues::sender, "123");
  EXPECT_EQ(Substitute("@@Sender@@ to @@sender@@ and @@SENDER@@ but @@SenDer@@", &r.values),
            "123 to 123 and 123 but @@SenDer@@");
  EXPECT_EQ(Substitute("@@Nothing@@ @@Config-Nothing@@", &r.values),
            "@@Nothing@@ @@Config-Nothing@@");
}

TEST(SubstitutePlaceholders, WithoutRecordRequestValuesAreEmpty) {
  ResetSettings();
  SetSetting(Settings.OriginHost, "mms.example");
  EXPECT_EQ(Substitute("[@@MsgSize@@][@@UserLocationInfo@@][@@Config-Origin-Host@@]", nullptr),
            "[][][mms.example]");
  Request empty;  // a record whose slots are none
  EXPECT_EQ(Substitute("[@@Sender@@][@@VASPID@@]", &empty.values), "[][]");
}

TEST(SubstitutePlaceholders, UserLocationInfo) {
  const std::pair<const char*, const char*> table[] = {
      {"26201", "0062F21000000000"},   {"310260", "0013006200000000"}, {"2", "00F2FFFF00000000"},
      {"3102601", "0013006200000000"}, {"ab", "00baFFFF00000000"},     {"", ""},
  };
  for (const auto& [mccMnc, expected] : table) {
    Request r;
    r.Set(&RequestValues::sgsnMccMnc, mccMnc);
    EXPECT_EQ(Substitute("@@UserLocationInfo@@", &r.values), expected) << mccMnc;
  }
  Request none;
  EXPECT_EQ(Substitute("@@UserLocationInfo@@", &none.values), "");
}

TEST(SubstitutePlaceholders, GuardedPlaceholdersNeedTheirExactForm) {
  ResetSettings();
  Settings.CCMoneyValueDigits = 5;
  ServerStartTime = 77;
  Request r;
  r.Set(&RequestValues::sgsnMccMnc, "26201");
  const char* lowerOnly =
      "@@userlocationinfo@@ @@CONFIG-CC-MONEY-VALUE-DIGITS@@ @@serverstarttime@@ "
      "@@requestcounter@@";
  EXPECT_EQ(Substitute(lowerOnly, &r.values), lowerOnly);
  EXPECT_EQ(RequestCounter, 0u);
  // With the exact form present, the other case forms are filled along with it.
  EXPECT_EQ(Substitute("@@ServerStartTime@@ @@SERVERSTARTTIME@@ @@Config-CC-Money-Value-Digits@@ "
                       "@@config-cc-money-value-digits@@",
                       &r.values),
            "77 77 5 5");
}

TEST(SubstitutePlaceholders, RequestCounterAdvancesOncePerValue) {
  RequestCounter = 0;
  EXPECT_EQ(Substitute("@@RequestCounter@@", nullptr), "1");
  EXPECT_EQ(Substitute("@@RequestCounter@@", nullptr), "2");
  EXPECT_EQ(Substitute("@@RequestCounter@@/@@RequestCounter@@/@@REQUESTCOUNTER@@", nullptr),
            "3/3/3");
  EXPECT_EQ(Substitute("@@requestcounter@@ and no counter", nullptr),
            "@@requestcounter@@ and no counter");
  EXPECT_EQ(RequestCounter, 3u);
  RequestCounter = 0;  // a new capabilities exchange attempt
  EXPECT_EQ(Substitute("n=@@RequestCounter@@", nullptr), "n=1");
}

TEST(SubstitutePlaceholders, LongResultIsCutTo8191Characters) {
  ResetSettings();
  std::string host(100, 'h');
  SetSetting(Settings.OriginHost, host.c_str());
  std::string token = "@@Config-Origin-Host@@";
  std::string before(4000, 'a');
  std::string after(8150 - before.size() - token.size(), 'b');
  std::string value = before + token + after;
  ASSERT_EQ(value.size(), 8150u);
  std::string result = Substitute(value, nullptr);
  EXPECT_EQ(result, (before + host + after).substr(0, kPlaceholderTextSize - 1));
}

TEST(SubstitutePlaceholders, ValueWithoutPlaceholderMarksIsOnlyCut) {
  ResetSettings();
  SetSetting(Settings.OriginHost, "host");
  RequestCounter = 0;
  // Single marks, marks apart and the empty text hold no placeholder; nothing changes.
  for (const char* plain : {"", "plain text", "a@b@c", "@ @Config-Origin-Host@ @", "@"}) {
    EXPECT_EQ(Substitute(plain, nullptr), plain);
  }
  EXPECT_EQ(RequestCounter, 0u);
  // A text that fills its whole area without a terminator is cut to 8191 characters, with or
  // without a placeholder in it.
  for (const std::string& tail : {std::string(), std::string("@@Config-Origin-Host@@")}) {
    std::vector<char> area(kPlaceholderTextSize, 'x');
    memcpy(area.data(), tail.data(), tail.size());
    SubstitutePlaceholders(area.data(), nullptr);
    std::string expected =
        (tail.empty() ? "" : "host") + std::string(kPlaceholderTextSize - 1 - tail.size(), 'x');
    EXPECT_EQ(std::string(area.data()), expected) << tail;
  }
}

TEST(SubstitutePlaceholders, SettingsHoldingPlaceholders) {
  ResetSettings();
  Request r;
  r.Set(&RequestValues::timeStamp, "3900000000");
  // A later placeholder inside a setting is filled by the later step.
  SetSetting(Settings.OriginHost, "host-@@TimeStamp@@");
  EXPECT_EQ(Substitute("@@Config-Origin-Host@@", &r.values), "host-3900000000");
  // A setting that holds its own placeholder is inserted once, and the substitution ends.
  SetSetting(Settings.OriginHost, "@@Config-Origin-Host@@!");
  EXPECT_EQ(Substitute("@@Config-Origin-Host@@", &r.values), "@@Config-Origin-Host@@!");
}

}  // namespace
