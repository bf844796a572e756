// Tests of the AVP tree builder: the dialect's worked example byte for byte, the type names and
// conditions, the levels that end tags close, extension-set matching and deep nesting.
#include "message/avp_builder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/settings.h"
#include "message/avp.h"
#include "message/decimal.h"
#include "message/memory.h"
#include "message/scanner.h"

namespace {

std::string Hex(const ByteBuffer* buffer) {
  std::string out;
  if (buffer == nullptr) return out;
  char pair[3];
  for (uint32_t i = 0; i < buffer->length; ++i) {
    snprintf(pair, sizeof pair, "%02X", buffer->bytes[i]);
    out += pair;
  }
  return out;
}

std::string NoBlanks(std::string text) {
  std::erase(text, ' ');
  return text;
}

void SetSupported(const char* sets) {
  snprintf(Settings.SupportedExtensionSets, kExtensionSetsSize, "%s", sets);
}

// Builds the body of the first `diameter` element of text. rest receives the text from the
// returned cursor on ("<none>" when the builder ran out of text).
struct Built {
  std::string hex;
  std::string rest;
  bool empty;
};

Built BuildFirst(const std::string& text, const RequestValues* values = nullptr) {
  char name[kElementNameSize];
  const char* cursor = text.c_str();
  do {
    cursor = NextElement(cursor, name);
  } while (cursor != nullptr && strcmp(name, "diameter") != 0);
  EXPECT_NE(cursor, nullptr) << "no diameter element";
  ByteBuffer* body = nullptr;
  const char* end = BuildAvps(&cursor, &body, values);
  EXPECT_EQ(end, cursor) << "the caller's cursor holds the result";
  Built built{Hex(body), end != nullptr ? std::string(end) : "<none>", body == nullptr};
  BufferRelease(&body);
  return built;
}

constexpr char kWorkedExample[] =
    "<diameter command-code='272' application-id='4'>\n"
    "<avp code='263' mandatory='Y' type='UTF8String' value='abc'/>\n"
    "<avp code='416' mandatory='yes' type='unsigned32' value='1'/>\n"
    "<avp code='873' vendor='10415' mandatory='Y' type='grouped'>\n"
    "<avp code='2000' vendor='10415' type='OctetString' value='0A0b1'/>\n"
    "<avp code='2001' type='UTF8String' value='' omitifblank='Y'/>\n"
    "<avp code='2002' type='UTF8String' value='x' extensionset='SCAP'/>\n"
    "</avp>\n"
    "<avp code='257' type='IPAddress' value='10.1.2.3'/>\n"
    "</diameter>\n";

TEST(BuildAvps, WorkedExampleByteForByte) {
  ResetSettings();
  SetSupported("3GPP");
  const char* cursor = kWorkedExample;
  char name[kElementNameSize];
  cursor = NextElement(cursor, name);
  ASSERT_STREQ(name, "diameter");
  char value[kAttributeSize];
  ASSERT_TRUE(GetAttribute(cursor, "command-code", value));
  uint32_t command = ReadDecimal32(value);
  ASSERT_TRUE(GetAttribute(cursor, "application-id", value));
  uint32_t application = ReadDecimal32(value);

  ByteBuffer* body = nullptr;
  const char* end = BuildAvps(&cursor, &body, nullptr);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(std::string(end, 10), "/diameter>");
  ASSERT_NE(body, nullptr);
  const std::string expectedBody = NoBlanks(
      "00000107 4000000B 61626300"
      " 000001A0 4000000C 00000001"
      " 00000369 C000001C 000028AF"
      " 000007D0 8000000E 000028AF 0A0B0000"
      " 00000101 0000000E 00010A01 02030000");
  EXPECT_EQ(body->length, 68u);
  EXPECT_EQ(Hex(body), expectedBody);

  ByteBuffer* message = nullptr;
  AppendMessageHeader(&message, command, application, 0x01020304u, 0x0A0B0C0Du, body);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->length, 88u);
  EXPECT_EQ(Hex(message), NoBlanks("01000058 C0000110 00000004 01020304 0A0B0C0D") + expectedBody);
  BufferRelease(&message);
  BufferRelease(&body);
}

struct BuildCase {
  const char* what;
  const char* supported;
  const char* body;      // placed between "<diameter>" and "</diameter>"
  const char* expected;  // hex of the built AVPs; "" for an empty output reference
  const char* rest;      // the text at the returned cursor, first bytes
};

TEST(BuildAvps, DialectCases) {
  const BuildCase cases[] = {
      {"no avp children", "", "", "", "/diameter>"},
      {"only left-out children", "",
       "<avp code='1' type='UTF8String' value='' omitifblank='yes'/>"
       "<avp code='2' type='unsigned32' value='1' extensionset='SCAP'/>",
       "", "/diameter>"},
      {"group whose children are all left out is not encoded", "",
       "<avp code='5' type='grouped'><avp code='6' type='UTF8String' value='' "
       "omitifblank='Y'/></avp>",
       "", "/diameter>"},
      {"left-out group: the scan goes on after its end tag", "",
       "<avp code='5' type='grouped' value='' omitifblank='Y'>"
       "<avp code='6' type='unsigned32' value='1'/></avp>"
       "<avp code='7' type='unsigned32' value='2'/>",
       "00000007 0000000C 00000002", "/diameter>"},
      {"names of elements and types in any case", "",
       "<AVP code='1' type='Grouped'><Avp code='2' type='utf8string' value='a'/></AVP>",
       "00000001 00000014 00000002 00000009 61000000", "/diameter>"},
      {"unknown type: its children stand at its own level, its end tag ends that level", "",
       "<avp code='1' type='unsigned'><avp code='2' type='unsigned32' value='3'/></avp>"
       "<avp code='4' type='unsigned32' value='5'/>",
       "00000002 0000000C 00000003", "/avp><avp code='4'"},
      {"missing type encodes nothing", "", "<avp code='1' value='3'/>", "", "/diameter>"},
      {"end tag of a non-grouped avp ends its group; the next child moves out", "",
       "<avp code='1' type='grouped'><avp code='2' type='unsigned32' value='3'></avp>"
       "<avp code='4' type='unsigned32' value='5'/></avp>",
       "00000001 00000014 00000002 0000000C 00000003 00000004 0000000C 00000005",
       "/avp></diameter>"},
      {"other elements are passed over, their end tags end the level", "",
       "<note><avp code='1' type='unsigned32' value='1'/></note>"
       "<avp code='2' type='unsigned32' value='2'/>",
       "00000001 0000000C 00000001", "/note>"},
      {"vendor 0, mandatory and code absent", "", "<avp vendor='0' type='unsigned32' value='7'/>",
       "00000000 0000000C 00000007", "/diameter>"},
      {"vendor and mandatory", "",
       "<avp code='9' vendor='193' mandatory='TRUE' type='integer32' value='-2'/>",
       "00000009 C0000010 000000C1 FFFFFFFE", "/diameter>"},
      {"32-bit numbers", "",
       "<avp code='1' type='unsigned32' value='12abc'/>"
       "<avp code='2' type='unsigned32' value='4294967295'/>"
       "<avp code='3' type='integer32' value='-1'/>"
       "<avp code='4' type='unsigned32' value=''/>"
       "<avp code='5' type='unsigned32' value='4294967297'/>",
       "00000001 0000000C 0000000C 00000002 0000000C FFFFFFFF 00000003 0000000C FFFFFFFF"
       " 00000004 0000000C 00000000 00000005 0000000C 00000001",
       "/diameter>"},
      {"64-bit numbers", "",
       "<avp code='1' type='unsigned64' value='4294967296'/>"
       "<avp code='2' type='Integer64' value='-1'/>",
       "00000001 00000010 00000001 00000000 00000002 00000010 FFFFFFFF FFFFFFFF", "/diameter>"},
      {"hex text: blanks and other characters read as 0, odd last character dropped", "",
       "<avp code='1' type='OctetString' value='0A 0B'/>"
       "<avp code='2' type='octetstring' value='zz'/>"
       "<avp code='3' type='OctetString' value=''/>"
       "<avp code='4' type='OctetString' value='fFa0C'/>",
       "00000001 0000000A 0A000000 00000002 00000009 00000000 00000003 00000008"
       " 00000004 0000000A FFA00000",
       "/diameter>"},
      {"address that does not parse", "", "<avp code='257' type='ipaddress' value='host'/>",
       "00000101 0000000E 0001FFFF FFFF0000", "/diameter>"},
      {"extension sets", "SCAP,3GPP",
       "<avp code='1' type='unsigned32' value='1' extensionset='SCAP, 3GPP'/>"
       "<avp code='2' type='unsigned32' value='2' extensionset='3GPPSGSN'/>"
       "<avp code='3' type='unsigned32' value='3' extensionset='3gpp'/>",
       "00000001 0000000C 00000001 00000003 0000000C 00000003", "/diameter>"},
      {"no supported sets leaves out every avp with a set", "",
       "<avp code='1' type='unsigned32' value='1' extensionset='SCAP'/>", "", "/diameter>"},
      {"attributes that the dialect does not use change nothing", "",
       "<avp name='x' code='1' multiplereciprepeat='3' multiplerecipmultiply='Y' "
       "type='unsigned32' value='1' other='z'/>",
       "00000001 0000000C 00000001", "/diameter>"},
  };
  for (const BuildCase& c : cases) {
    ResetSettings();
    SetSupported(c.supported);
    Built built = BuildFirst(std::string("<diameter>") + c.body + "</diameter>");
    std::string expected = NoBlanks(c.expected);
    EXPECT_EQ(built.hex, expected) << c.what;
    EXPECT_EQ(built.empty, expected.empty()) << c.what;
    EXPECT_EQ(built.rest.substr(0, strlen(c.rest)), c.rest) << c.what;
  }
}

TEST(BuildAvps, TextEndingInsideGroupsStillAppendsThem) {
  ResetSettings();
  Built built = BuildFirst(
      "<diameter><avp code='1' type='grouped'><avp code='2' type='grouped'>"
      "<avp code='3' type='unsigned32' value='1'/>");
  EXPECT_EQ(built.rest, "<none>");
  EXPECT_EQ(built.hex, NoBlanks("00000001 0000001C 00000002 00000014 00000003 0000000C 00000001"));
}

TEST(BuildAvps, ValuesAreFilledAlsoWhereAvpsAreLeftOut) {
  ResetSettings();
  RequestCounter = 0;
  RequestValues values{};
  BufferAppendText(&values.sender, "4912345");
  Built built = BuildFirst(
      "<diameter>"
      "<avp code='1' type='UTF8String' value='@@Sender@@'/>"
      "<avp code='2' type='unsigned32' value='@@RequestCounter@@' extensionset='SCAP'/>"
      "<avp code='3' type='grouped' value='' omitifblank='Y'>"
      "<avp code='4' type='unsigned32' value='@@RequestCounter@@'/></avp>"
      "<avp code='5' type='unsigned32' value='@@RequestCounter@@'/>"
      "</diameter>",
      &values);
  BufferRelease(&values.sender);
  EXPECT_EQ(built.hex, NoBlanks("00000001 0000000F 34393132 33343500 00000005 0000000C 00000003"));
}

struct Lists {
  const char* first;
  const char* second;
  int expected;
};

TEST(ListsIntersect, Table) {
  const Lists cases[] = {
      {"SCAP, 3GPP", "3GPP", 1},
      {"SCAP ,3GPP", "3GPP", 1},
      {"SCAP ,3GPP", "SCAP", 0},  // "SCAP " keeps its blank
      {"SCAP", "", 0},
      {"scap", "SCAP,3GPP,3GPPTIMEZONE,3GPPSGSN", 1},
      {"3GPPTIMEZONE", "SCAP,  3GPPtimezone", 1},
      {" SCAP", "SCAP", 0},  // the first entry is taken unchanged
      {"3GPP ", "3GPP", 0},  // trailing blanks stay
      {"3GPP", "3GPPSGSN", 0},
      {"SCAP,", "", 0},  // an empty entry names no set
      {",3GPP", ",", 0},
      {"", "", 0},
      {"A,B,C", "X,Y,c", 1},
  };
  for (const Lists& c : cases) {
    EXPECT_EQ(ListsIntersect(c.first, c.second), c.expected) << c.first << " / " << c.second;
  }
}

// n groups nested in each other, each holding a leaf with code 1000 + its depth before the next
// group, then an AVP after the whole nest.
std::string Nest(int n) {
  std::string text = "<diameter>";
  text.reserve(static_cast<size_t>(n) * 110 + 100);
  char leaf[96];
  for (int depth = 1; depth <= n; ++depth) {
    snprintf(leaf, sizeof leaf, "<avp code='%d' type='unsigned32' value='%d'/>", 1000 + depth,
             depth);
    text += "<avp code='7' type='grouped'>";
    text += leaf;
  }
  for (int depth = 1; depth <= n; ++depth) text += "</avp>";
  text += "<avp code='2' type='unsigned32' value='9'/></diameter>";
  return text;
}

// The depth of the deepest grouped AVP (code 7) in an encoded buffer, and the deepest leaf.
void Depths(const uint8_t* data, uint32_t length, int depth, int* deepestGroup, int* deepestLeaf) {
  uint32_t at = 0;
  while (at + 8 <= length) {
    uint32_t code = (uint32_t{data[at]} << 24) | (uint32_t{data[at + 1]} << 16) |
                    (uint32_t{data[at + 2]} << 8) | data[at + 3];
    uint32_t avpLength =
        (uint32_t{data[at + 5]} << 16) | (uint32_t{data[at + 6]} << 8) | data[at + 7];
    if (avpLength < 8 || at + avpLength > length) {
      ADD_FAILURE() << "malformed AVP at " << at;
      return;
    }
    if (code == 7) {
      if (depth + 1 > *deepestGroup) *deepestGroup = depth + 1;
      Depths(data + at + 8, avpLength - 8, depth + 1, deepestGroup, deepestLeaf);
    } else if (code > 1000) {
      if (static_cast<int>(code - 1000) > *deepestLeaf)
        *deepestLeaf = static_cast<int>(code - 1000);
      EXPECT_EQ(static_cast<int>(code - 1000), depth) << "leaf at the wrong level";
    }
    at += (avpLength + 3) & ~3u;
  }
}

TEST(BuildAvps, GroupsDeeperThanTheLimitArePassedOver) {
  ResetSettings();
  for (int n : {kMaxGroupDepth, kMaxGroupDepth + 1}) {
    std::string text = Nest(n);
    char name[kElementNameSize];
    const char* cursor = NextElement(text.c_str(), name);
    ByteBuffer* body = nullptr;
    const char* end = BuildAvps(&cursor, &body, nullptr);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(std::string(end), "/diameter>") << n;
    ASSERT_NE(body, nullptr);
    int deepestGroup = 0;
    int deepestLeaf = 0;
    Depths(body->bytes, body->length, 0, &deepestGroup, &deepestLeaf);
    EXPECT_EQ(deepestGroup, kMaxGroupDepth) << n;
    EXPECT_EQ(deepestLeaf, kMaxGroupDepth) << n;
    // The AVP after the nest is encoded at the top level, last.
    EXPECT_EQ(Hex(body).substr(2 * (body->length - 12)), "000000020000000C00000009") << n;
    BufferRelease(&body);
  }
}

TEST(BuildAvps, HundredThousandNestedGroups) {
  ResetSettings();
  std::string text = Nest(100000);
  char name[kElementNameSize];
  const char* cursor = NextElement(text.c_str(), name);
  ByteBuffer* body = nullptr;
  const char* end = BuildAvps(&cursor, &body, nullptr);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(std::string(end), "/diameter>");
  ASSERT_NE(body, nullptr);
  int deepestGroup = 0;
  int deepestLeaf = 0;
  Depths(body->bytes, body->length, 0, &deepestGroup, &deepestLeaf);
  EXPECT_EQ(deepestGroup, kMaxGroupDepth);
  EXPECT_EQ(deepestLeaf, kMaxGroupDepth);
  BufferRelease(&body);
}

TEST(BuildAvps, NoWorkingStorageBuildsNothing) {
  ResetSettings();
  const char* text = "<diameter><avp code='1' type='unsigned32' value='1'/></diameter>";
  char name[kElementNameSize];
  const char* cursor = NextElement(text, name);
  ByteBuffer* body = nullptr;
  MemFailNthAllocation(1);
  EXPECT_EQ(BuildAvps(&cursor, &body, nullptr), nullptr);
  MemFailNthAllocation(0);
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(body, nullptr);
}

}  // namespace
