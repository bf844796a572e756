// The request building compared byte for byte with the earlier code kept in reference_build.cpp:
// element scanning, attribute lookups, placeholder filling and whole AVP bodies, over the sample
// templates, the template fuzzing seeds and a few thousand mutated and generated templates,
// values and settings, and under a heap failure at every allocation of a build.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/settings.h"
#include "message/avp_builder.h"
#include "message/byte_buffer.h"
#include "message/memory.h"
#include "message/placeholders.h"
#include "message/scanner.h"
#include "reference_build.h"

namespace {

constexpr uint32_t kSeed = 20261211;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

// The sample templates and the template fuzzing seeds.
std::vector<std::string> Corpus() {
  const std::string source = MM9_SOURCE_DIR;
  std::vector<std::string> texts;
  for (const char* name :
       {"/templates/diameter-credit-control.xml", "/templates/diameter-capabilities-exchange.xml",
        "/fuzz/corpus/template/capabilities.xml", "/fuzz/corpus/template/credit-control.xml",
        "/fuzz/corpus/template/deep-and-long.xml", "/fuzz/corpus/template/markup-forms.xml",
        "/fuzz/corpus/template/worked-example.xml"}) {
    std::string text = ReadFile(source + name);
    EXPECT_FALSE(text.empty()) << name;
    texts.push_back(text);
  }
  return texts;
}

const char* const kTokens[] = {
    "@@Config-Origin-Host@@",
    "@@Config-Origin-Realm@@",
    "@@Config-Host-IP-Address@@",
    "@@Config-Product-Name@@",
    "@@Config-Destination-Realm@@",
    "@@Config-Service-Context-Id@@",
    "@@Config-Service-Identifier@@",
    "@@Config-CC-Service-Specific-Units@@",
    "@@Config-CC-Money@@",
    "@@Config-Currency-Code@@",
    "@@Config-Service-Provider-Id@@",
    "@@Config-Subscription-Id-Location@@",
    "@@Session-Id@@",
    "@@TimeStamp@@",
    "@@TimeZone@@",
    "@@Sender@@",
    "@@Sender-Address-Type@@",
    "@@Recip@@",
    "@@Recip-Address-Type@@",
    "@@SGSNMCCMNC@@",
    "@@SGSNADDRESS@@",
    "@@MsgSize@@",
    "@@VASPID@@",
    "@@UserLocationInfo@@",
    "@@Config-CC-Money-Value-Digits@@",
    "@@Config-CC-Money-Exponent@@",
    "@@ServerStartTime@@",
    "@@RequestCounter@@",
    "@@Nothing@@",
};

// Pieces that markup, quotes and placeholders are made of, for inserting at random places.
const char* const kPieces[] = {
    "<",
    ">",
    "/>",
    "/",
    "<!--",
    "-->",
    "<!",
    "<![CDATA[",
    "<![cdata[",
    "]]>",
    "\"",
    "'",
    "\xE2\x80\x9C",
    "\xE2\x80\x9D",
    "\xE2\x80\x98",
    "\xE2\x80\x99",
    "\xE2\x80",
    "=",
    " ",
    "\t",
    "\r\n",
    "@",
    "@@",
    "@@@",
    "avp",
    "AVP",
    "<avp ",
    "</avp>",
    "< /avp >",
    "<diameter>",
    "</diameter>",
    "<diameter command-code='272'>",
    " type='grouped'",
    " TYPE=\"Grouped\"",
    " type=\"UTF8String\"",
    " type=OctetString",
    " type='unsigned32'",
    " type='integer64'",
    " type='IPAddress'",
    " value='",
    " value=\"",
    " VALUE=",
    " value='@@Sender@@'",
    " code='1'",
    " code = 263",
    " vendor='10415'",
    " mandatory='Y'",
    " mandatory=true",
    " omitifblank='Y'",
    " omitifblank=on",
    " extensionset='SCAP'",
    " extensionset='3GPP, x'",
    " extensionset=''",
    " name='n'",
    " ='x'",
    " flag",
    " type",
    " value",
    "<>",
    "<?xml version='1.0'?>",
};

std::string RandomCase(std::mt19937& random, const std::string& text) {
  std::string out = text;
  int form = static_cast<int>(random() % 4);
  for (char& c : out) {
    bool upper = form == 1 || (form == 3 && random() % 2 == 0);
    bool lower = form == 2 || (form == 3 && !upper);
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (lower && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// A token as written, in lower or upper case, mixed, cut short, or framed by more marks.
std::string TokenVariant(std::mt19937& random) {
  std::string token = kTokens[random() % std::size(kTokens)];
  switch (random() % 8) {
    case 0:
    case 1:
    case 2:
      return token;
    case 3:
      return RandomCase(random, token);
    case 4:
      return token.substr(0, random() % token.size());
    case 5:
      return token.substr(random() % token.size());
    case 6:
      return "@" + token;
    default:
      return token + "@";
  }
}

std::string RandomBytes(std::mt19937& random, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += static_cast<char>(1 + random() % 255);
  return out;
}

std::string RandomPiece(std::mt19937& random) {
  switch (random() % 6) {
    case 0:
    case 1:
      return TokenVariant(random);
    case 2:
      return RandomBytes(random, 1 + random() % 4);
    default:
      return kPieces[random() % std::size(kPieces)];
  }
}

// A value text made of tokens, words and marks; now and then long enough for the cuts.
std::string RandomValue(std::mt19937& random) {
  std::string value;
  int count = static_cast<int>(random() % 8);
  if (random() % 16 == 0) count = 200 + static_cast<int>(random() % 400);
  for (int i = 0; i < count; ++i) {
    switch (random() % 5) {
      case 0:
        value += std::string(1 + random() % 30, 'x');
        break;
      case 1:
        value += "@";
        break;
      default:
        value += TokenVariant(random);
    }
  }
  if (random() % 32 == 0) value += std::string(8100 + random() % 200, 'v');
  return value;
}

std::string QuoteValue(std::mt19937& random, const std::string& value) {
  switch (random() % 6) {
    case 0:
      return "\"" + value + "\"";
    case 1:
      return "\xE2\x80\x9C" + value + "\xE2\x80\x9D";
    case 2:
      return value;  // unquoted: ends at a blank, "/", ">" or a quote
    default:
      return "'" + value + "'";
  }
}

const char* const kAttributeNames[] = {"type",
                                       "code",
                                       "vendor",
                                       "mandatory",
                                       "omitifblank",
                                       "value",
                                       "name",
                                       "extensionset",
                                       "multiplereciprepeat",
                                       "other",
                                       "an-attribute-name-of-more-than-thirty-two-bytes",
                                       "an-attribute-name-of-more-than-thirty-two-bytez"};
const char* const kTypeNames[] = {"grouped",    "unsigned32", "integer32",   "unsigned64",
                                  "integer64",  "UTF8String", "OctetString", "IPAddress",
                                  "utf8string", "Grouped",    "bogus",       ""};

std::string RandomAttribute(std::mt19937& random) {
  std::string name = RandomCase(random, kAttributeNames[random() % std::size(kAttributeNames)]);
  std::string value;
  if (name.size() == 4 && (name[0] == 't' || name[0] == 'T')) {
    value = kTypeNames[random() % std::size(kTypeNames)];
  } else if (random() % 3 == 0) {
    value = std::to_string(random() % 5000);
  } else if (random() % 4 == 0) {
    const char* const kSets[] = {"SCAP", "3GPP", "3GPPSGSN, SCAP", "x", "", "Y", "on", "TRUE"};
    value = kSets[random() % std::size(kSets)];
  } else {
    value = RandomValue(random);
  }
  std::string blank = random() % 4 == 0 ? " \t " : " ";
  std::string equals = random() % 5 == 0 ? " = " : "=";
  return blank + name + equals + QuoteValue(random, value);
}

// A template from the dialect's pieces: diameter elements with avp elements nested in groups,
// attributes in any order and case, some repeated, comments and stray markup between.
std::string GeneratedTemplate(std::mt19937& random) {
  std::string text = random() % 2 ? "<?xml version='1.0'?>\n" : "";
  int requests = 1 + static_cast<int>(random() % 2);
  for (int r = 0; r < requests; ++r) {
    text += "<diameter command-code='" + std::to_string(random() % 300) + "'>\n";
    int open = 0;
    int elements = 1 + static_cast<int>(random() % 40);
    for (int e = 0; e < elements; ++e) {
      switch (random() % 10) {
        case 0:
          text += "<!-- " + RandomValue(random) + " -->";
          break;
        case 1:
          if (open > 0) {
            text += "</avp>\n";
            --open;
            break;
          }
          [[fallthrough]];
        case 2:
          text += "<avp type='grouped' code='" + std::to_string(random() % 900) + "'";
          for (int a = static_cast<int>(random() % 4); a > 0; --a) text += RandomAttribute(random);
          text += ">\n";
          ++open;
          break;
        case 3:
          text += RandomPiece(random);
          break;
        default: {
          text += random() % 8 ? "<avp" : "<AVP";
          for (int a = static_cast<int>(random() % 9); a > 0; --a) text += RandomAttribute(random);
          text += random() % 6 ? "/>\n" : ">\n";
        }
      }
    }
    while (open-- > 0) text += "</avp>";
    text += random() % 8 ? "</diameter>\n" : "";
  }
  return text;
}

// A text changed in a few places: pieces put in, ranges dropped, repeated or overwritten.
std::string Mutated(std::mt19937& random, std::string text) {
  int changes = 1 + static_cast<int>(random() % 8);
  for (int i = 0; i < changes; ++i) {
    size_t at = text.empty() ? 0 : random() % (text.size() + 1);
    size_t span = text.empty() ? 0
                               : random() % std::min<size_t>(
                                                text.size() - std::min(at, text.size()) + 1, 200);
    switch (random() % 5) {
      case 0:
        text.erase(at, span);
        break;
      case 1:
        text.insert(at, text.substr(at, span));
        break;
      case 2:
        if (at < text.size()) text[at] = static_cast<char>(1 + random() % 255);
        break;
      default:
        text.insert(at, RandomPiece(random));
    }
  }
  return text;
}

void SetText(char* field, size_t size, const std::string& text) {
  snprintf(field, size, "%s", text.c_str());
}

// Settings of one case: plain ones, ones whose texts hold placeholders (also of earlier steps
// and in other case forms), long ones that make the values reach the cut, empty ones.
void RandomSettings(std::mt19937& random) {
  ResetSettings();
  SettingsRecord& s = Settings;
  char* const texts[] = {
      s.OriginHost,       s.OriginRealm,      s.HostIPAddress,     s.ProductName,
      s.DestinationRealm, s.ServiceContextId, s.ServiceIdentifier, s.CCServiceSpecificUnits,
      s.CCMoney,          s.CurrencyCode,     s.ServiceProviderId, s.SubscriptionIdLocation};
  int kind = static_cast<int>(random() % 4);
  for (char* field : texts) {
    std::string text;
    if (kind == 1 || (kind == 3 && random() % 3 == 0)) text = RandomValue(random);
    if (kind == 2) text = std::string(kSettingTextSize - 1, 'L');
    if (kind == 0) text = "setting-" + std::to_string(random() % 100);
    SetText(field, kSettingTextSize, text);
  }
  s.CCMoneyValueDigits = static_cast<int32_t>(random());
  s.CCMoneyExponent = -static_cast<int32_t>(random() % 5);
  const char* const kSupported[] = {"SCAP,3GPP,3GPPTIMEZONE,3GPPSGSN", "3GPP", "", "scap, x"};
  SetText(s.SupportedExtensionSets, kExtensionSetsSize,
          kSupported[random() % std::size(kSupported)]);
}

// A request record; its slots hold plain texts, placeholders, or nothing.
struct Request {
  RequestValues values{};
  Request() = default;
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
  ~Request() {
    for (ByteBuffer** slot : Slots()) BufferRelease(slot);
  }
  std::array<ByteBuffer**, kRequestSlotCount> Slots() { return RequestValueSlots(&values); }
  void Fill(std::mt19937& random) {
    for (ByteBuffer** slot : Slots()) {
      BufferRelease(slot);
      switch (random() % 4) {
        case 0:
          break;  // no text
        case 1:
          BufferAppendText(slot, RandomValue(random).substr(0, 300).c_str());
          break;
        default:
          BufferAppendText(slot, std::to_string(random() % 1000000).c_str());
      }
    }
  }
};

std::string Bytes(const ByteBuffer* buffer) {
  if (buffer == nullptr) return "<none>";
  return std::string(reinterpret_cast<const char*>(buffer->bytes), buffer->length);
}

std::string Shown(const std::string& text) {
  return text.size() > 600 ? text.substr(0, 600) + "..." : text;
}

// Element by element, the names and positions of both scanners, and the attribute lookups of
// every tag; "" when they agree, else what differs.
std::string CompareScan(const std::string& text, std::mt19937& random) {
  const char* start = text.c_str();
  static char name[kElementNameSize];
  static char oldName[kElementNameSize];
  static char value[kAttributeSize];
  static char oldValue[kAttributeSize];
  static char attributeName[kAttributeSize];
  static char oldAttributeName[kAttributeSize];
  const char* cursor = start;
  const char* oldCursor = start;
  for (int element = 0;; ++element) {
    cursor = NextElement(cursor, name);
    oldCursor = ReferenceNextElement(oldCursor, oldName);
    if (cursor != oldCursor || strcmp(name, oldName) != 0) {
      return "element " + std::to_string(element) + ": " + name + " / " + oldName;
    }
    if (cursor == nullptr) return "";
    for (const char* wanted : kAttributeNames) {
      std::string upper = wanted;
      for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
      for (const std::string& form : {std::string(wanted), upper}) {
        int found = GetAttribute(cursor, form.c_str(), value);
        int oldFound = ReferenceGetAttribute(cursor, form.c_str(), oldValue);
        if (found != oldFound || strcmp(value, oldValue) != 0) {
          return "element " + std::to_string(element) + ", attribute " + form;
        }
      }
    }
    // All the lookups of a tag at once, in any case of the names.
    const char* wanted[std::size(kAttributeNames)];
    FoundAttribute found[std::size(kAttributeNames)];
    std::vector<std::string> names;
    for (const char* each : kAttributeNames) names.push_back(RandomCase(random, each));
    for (size_t i = 0; i < names.size(); ++i) wanted[i] = names[i].c_str();
    AttributeNames prepared;
    PrepareAttributeNames(&prepared, wanted, static_cast<int>(names.size()));
    FindAttributes(cursor, &prepared, found);
    for (size_t i = 0; i < names.size(); ++i) {
      int oldFound = ReferenceGetAttribute(cursor, wanted[i], oldValue);
      int foundHere = ReadFoundAttribute(&found[i], value);
      if (foundHere != oldFound || strcmp(value, oldValue) != 0) {
        return "element " + std::to_string(element) + ", all attributes, " + names[i];
      }
    }
    for (int index = 0; index <= 6; ++index) {
      int found = ReadAttribute(cursor, index, attributeName, value);
      int oldFound = ReferenceReadAttribute(cursor, index, oldAttributeName, oldValue);
      if (found != oldFound || strcmp(value, oldValue) != 0 ||
          strcmp(attributeName, oldAttributeName) != 0) {
        return "element " + std::to_string(element) + ", position " + std::to_string(index);
      }
    }
  }
}

// Both builders over every diameter element of text, as the callers walk it; "" when the
// bodies, the cursors and the request counter agree.
std::string CompareBuild(const std::string& text, const RequestValues* values) {
  char name[kElementNameSize];
  const char* start = text.c_str();
  const char* cursor = start;
  for (int request = 0; cursor != nullptr; ++request) {
    cursor = NextElement(cursor, name);
    if (cursor == nullptr) break;
    if (strcmp(name, "diameter") != 0 && strcmp(name, "DIAMETER") != 0) continue;
    const char* oldCursor = cursor;
    uint32_t counter = RequestCounter;
    ByteBuffer* body = nullptr;
    const char* end = BuildAvps(&cursor, &body, values);
    uint32_t newCounter = RequestCounter;
    RequestCounter = counter;
    ByteBuffer* oldBody = nullptr;
    const char* oldEnd = ReferenceBuildAvps(&oldCursor, &oldBody, values);
    std::string bytes = Bytes(body);
    std::string oldBytes = Bytes(oldBody);
    BufferRelease(&body);
    BufferRelease(&oldBody);
    if (end != oldEnd || cursor != oldCursor)
      return "request " + std::to_string(request) + ": cursor";
    if (bytes != oldBytes) return "request " + std::to_string(request) + ": bytes";
    if (newCounter != RequestCounter) return "request " + std::to_string(request) + ": counter";
  }
  return "";
}

// Both fillings of one value in its area; "" when texts and request counter agree.
std::string CompareFill(const std::string& value, const RequestValues* values) {
  // One byte more than the area, so that a value that fills the whole area stays terminated
  // for the test while the code under test sees none within its area.
  std::vector<char> area(kPlaceholderTextSize + 1, '\0');
  std::vector<char> oldArea(kPlaceholderTextSize + 1, '\0');
  size_t kept = std::min<size_t>(value.size(), kPlaceholderTextSize);
  memcpy(area.data(), value.data(), kept);
  memcpy(oldArea.data(), value.data(), kept);
  uint32_t counter = RequestCounter;
  SubstitutePlaceholders(area.data(), values);
  uint32_t newCounter = RequestCounter;
  RequestCounter = counter;
  ReferenceSubstitutePlaceholders(oldArea.data(), values);
  if (area != oldArea)
    return "text: " + Shown(std::string(area.data())) + " / " + Shown(oldArea.data());
  if (newCounter != RequestCounter) return "counter";
  return "";
}

// Tags at the limits of the markup: names and values cut at the attribute limit, blanks at the
// cut, quote forms that never close or close with the other member of their kind, a text that
// ends inside a typographic quote.
std::vector<std::string> EdgeTexts() {
  const std::string open = "<diameter><avp type='UTF8String' ";
  return {
      open + std::string(9000, 'n') + "='x' code='5' value='v'/></diameter>",
      open + "code='" + std::string(8190, '1') + "   2'/></diameter>",
      open + "value=\"" + std::string(8191, 'a') + "  b\" vendor='7'/></diameter>",
      open + "value='" + std::string(8192, 'a') + " '/></diameter>",
      open + "value=\"'abc\" code='1'/><avp type='UTF8String' value='x'/></diameter>",
      open +
          "value=\xE2\x80\x9C"
          "abc\"\xE2\x80\x98 code=\xE2\x80\x99"
          " 1'/></diameter>",
      open + "value='abc code='5'/></diameter>",
      open + "flag code='5' value='v'/></diameter>",
      open + "='x' code='5' value='v'/></diameter>",
      open + "value=a/b code='5'/></diameter>",
      open + "VALUE = ' x ' Value='y' code='3'/></diameter>",
      open + "value=\xE2\x80",
      open +
          "value=\"abc"
          "\xE2",
      "<diameter><avp type='grouped'><![CDATA[<avp type='UTF8String' "
      "value='c'/>]]></avp></diameter>",
  };
}

// The texts of a run: the corpus as it is, then mutated corpus texts and generated templates.
std::vector<std::string> Texts(std::mt19937& random, const std::vector<std::string>& corpus,
                               int mutated, int generated) {
  std::vector<std::string> texts = corpus;
  for (const std::string& text : EdgeTexts()) texts.push_back(text);
  for (int i = 0; i < mutated; ++i) {
    texts.push_back(Mutated(random, corpus[random() % corpus.size()]));
  }
  for (int i = 0; i < generated; ++i) {
    std::string text = GeneratedTemplate(random);
    texts.push_back(random() % 3 == 0 ? Mutated(random, text) : text);
  }
  return texts;
}

TEST(ScannerMatchesEarlierCode, ElementsAndAttributesOfCorpusMutatedAndGeneratedTemplates) {
  std::mt19937 random(kSeed);
  std::vector<std::string> texts = Texts(random, Corpus(), 800, 1500);
  for (size_t i = 0; i < texts.size(); ++i) {
    std::string differs = CompareScan(texts[i], random);
    ASSERT_EQ(differs, "") << "text " << i << ":\n" << Shown(texts[i]);
  }
}

TEST(BuildAvpsMatchesEarlierCode, BodiesOfCorpusMutatedAndGeneratedTemplates) {
  std::mt19937 random(kSeed + 1);
  std::vector<std::string> texts = Texts(random, Corpus(), 1200, 2000);
  Request request;
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i < 7 || i % 3 == 0) {
      ResetSettings();
      SetText(Settings.OriginHost, kSettingTextSize, "host@@TimeStamp@@");
      SetText(Settings.SupportedExtensionSets, kExtensionSetsSize,
              "SCAP,3GPP,3GPPTIMEZONE,3GPPSGSN");
    } else {
      RandomSettings(random);
    }
    request.Fill(random);
    ServerStartTime = static_cast<uint32_t>(random());
    RequestCounter = static_cast<uint32_t>(random() % 3);
    std::string differs = CompareBuild(texts[i], nullptr);
    ASSERT_EQ(differs, "") << "text " << i << " without request values:\n" << Shown(texts[i]);
    differs = CompareBuild(texts[i], &request.values);
    ASSERT_EQ(differs, "") << "text " << i << " with request values:\n" << Shown(texts[i]);
  }
}

TEST(SubstitutePlaceholdersMatchesEarlierCode, ValuesOfTemplatesAndGeneratedValues) {
  std::mt19937 random(kSeed + 2);
  std::vector<std::string> values;
  static char value[kAttributeSize];
  char name[kElementNameSize];
  for (const std::string& text : Corpus()) {
    for (const char* at = ReferenceNextElement(text.c_str(), name); at != nullptr;
         at = ReferenceNextElement(at, name)) {
      if (ReferenceGetAttribute(at, "value", value)) values.push_back(value);
    }
  }
  size_t fromTemplates = values.size();
  for (int i = 0; i < 5000; ++i) {
    std::string generated = RandomValue(random);
    values.push_back(random() % 4 == 0 ? Mutated(random, generated) : generated);
  }
  // Replacements that join the text around them into a placeholder of a later step (with the
  // settings of one kind below empty), of an earlier step, or of a computed value in another case.
  for (const char* joined :
       {"@@Sen@@Config-Origin-Host@@der@@", "@@Config-Origin-@@MsgSize@@Host@@",
        "@@Request@@Config-CC-Money@@Counter@@", "@@MSGSIZE@@@@msgsize@@", "@@@Sender@@@@@RECIP@@@",
        "@@requestcounter@@@@RequestCounter@@", "@@Recip@@Session-Id@@",
        "@@Time@@VASPID@@Stamp@@"}) {
    for (int i = 0; i < 8; ++i) values.push_back(joined);  // under several kinds of settings
  }
  // Texts that fill the whole area, unterminated in it, with a token across the cut.
  std::string full(kPlaceholderTextSize - 10, 'f');
  values.push_back(full + "@@Sender@@");
  values.push_back(full + "@@@@");
  values.push_back(std::string(kPlaceholderTextSize, '@'));

  Request request;
  for (size_t i = 0; i < values.size(); ++i) {
    RandomSettings(random);
    request.Fill(random);
    ServerStartTime = static_cast<uint32_t>(random());
    RequestCounter = static_cast<uint32_t>(random() % 3);
    const RequestValues* passed = i < fromTemplates || random() % 4 ? &request.values : nullptr;
    std::string differs = CompareFill(values[i], passed);
    ASSERT_EQ(differs, "") << "value " << i << ": " << Shown(values[i]);
  }
}

// With the n-th heap allocation failing, for every n of a build: both builds take the same
// allocations in the same order, so they fail at the same one and leave the same result.
TEST(BuildAvpsMatchesEarlierCode, UnderAHeapFailureAtEveryAllocation) {
  std::mt19937 random(kSeed + 3);
  std::vector<std::string> texts = Corpus();
  for (int i = 0; i < 6; ++i) texts.push_back(GeneratedTemplate(random));
  Request request;
  request.Fill(random);
  for (size_t i = 0; i < texts.size(); ++i) {
    ResetSettings();
    SetText(Settings.OriginHost, kSettingTextSize, "host@@TimeStamp@@");
    SetText(Settings.SupportedExtensionSets, kExtensionSetsSize, "SCAP,3GPP,3GPPTIMEZONE,3GPPSGSN");
    for (uint32_t n = 1; n <= 400; ++n) {
      const char* start = texts[i].c_str();
      char name[kElementNameSize];
      const char* at = start;
      do {
        at = NextElement(at, name);
      } while (at != nullptr && strcmp(name, "diameter") != 0);
      if (at == nullptr) break;
      const char* oldAt = at;
      RequestCounter = 0;
      ByteBuffer* body = nullptr;
      MemFailNthAllocation(n);
      const char* end = BuildAvps(&at, &body, &request.values);
      MemFailNthAllocation(0);
      uint32_t counter = RequestCounter;
      RequestCounter = 0;
      ByteBuffer* oldBody = nullptr;
      MemFailNthAllocation(n);
      const char* oldEnd = ReferenceBuildAvps(&oldAt, &oldBody, &request.values);
      MemFailNthAllocation(0);
      std::string bytes = Bytes(body);
      std::string oldBytes = Bytes(oldBody);
      BufferRelease(&body);
      BufferRelease(&oldBody);
      ASSERT_EQ(end, oldEnd) << "text " << i << ", failing allocation " << n;
      ASSERT_EQ(bytes, oldBytes) << "text " << i << ", failing allocation " << n;
      ASSERT_EQ(counter, RequestCounter) << "text " << i << ", failing allocation " << n;
    }
  }
}

}  // namespace
