// Tests of the template markup scanner: element tags, attribute lookup, quotes and limits.
#include "message/scanner.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Every element name the scanner finds in text, in order, until it reports none.
std::vector<std::string> ScanNames(const char* text) {
  std::vector<std::string> names;
  std::vector<char> name(kElementNameSize);
  // Every call moves forward, so more calls than bytes would mean the scan is stuck.
  size_t calls = 0;
  for (const char* c = NextElement(text, name.data()); c != nullptr;
       c = NextElement(c, name.data())) {
    names.emplace_back(name.data());
    if (++calls > strlen(text) + 1) {
      ADD_FAILURE() << "the scan does not move forward";
      break;
    }
  }
  EXPECT_STREQ(name.data(), "") << "name out must be empty when no tag is found";
  return names;
}

struct Lookup {
  int found;
  std::string value;
};

Lookup Get(const char* tag, const char* wanted) {
  std::vector<char> value(kAttributeSize, 'x');
  int found = GetAttribute(tag, wanted, value.data());
  return {found, value.data()};
}

// A text placed so that its last byte is the last readable byte before an inaccessible page:
// any read past it ends the test with a fault.
struct GuardedText {
  explicit GuardedText(const std::string& text) {
    page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t pages = (text.size() + page - 1) / page + 1;
    size = pages * page;
    void* area = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) throw std::runtime_error("mmap failed");
    base = static_cast<char*>(area);
    mprotect(base + size - page, page, PROT_NONE);
    start = base + size - page - text.size();
    memcpy(start, text.data(), text.size());
  }
  ~GuardedText() { munmap(base, size); }
  GuardedText(const GuardedText&) = delete;
  GuardedText& operator=(const GuardedText&) = delete;

  size_t page = 0;
  size_t size = 0;
  char* base = nullptr;
  char* start = nullptr;
};

TEST(NextElement, NamesTagAfterTag) {
  struct Case {
    const char* text;
    std::vector<std::string> names;
  };
  const std::string longName(150, 'n');
  const std::string longTag = "<" + longName + " a='1'><b/>";
  const Case cases[] = {
      {"<diameter command-code='272'><avp code='1'/></diameter>", {"diameter", "avp", "/diameter"}},
      // End tags keep their "/"; a blank after the "/" leaves a name of "/" alone.
      {"</avp>", {"/avp"}},
      {"< /avp >", {"/avp"}},
      {"</ avp>", {"/"}},
      // A "/" ends a name only after its first byte.
      {"<avp/>", {"avp"}},
      {"<avp/><b>", {"avp", "b"}},
      {"<?xml version='1.0'?><r/>", {"?xml", "r"}},
      {"<a\tb='1'><c\r\n/>", {"a", "c"}},
      {"<abc", {"abc"}},
      // "<!" markup is passed over up to the ">" that balances it.
      {"<!-- <avp code='1'/> --><x/>", {"x"}},
      {"<!DOCTYPE r [<!ENTITY e 'v'>]><r/>", {"r"}},
      {"<!-- a > <b/> -->", {"b"}},
      {"< !-- <a/> --><c/>", {"c"}},
      // CDATA in any case is one element; its content is never seen.
      {"<![CDATA[<avp/>]]><x/>", {"![CDATA[", "x"}},
      {"<![cdata[<avp/>]]><x/>", {"![CDATA[", "x"}},
      {"<![CdAtA[ a ]]> <x/>", {"![CDATA[", "x"}},
      {"< ![CDATA[<a/>]]><x/>", {"![CDATA[", "x"}},
      {"<![CDATA[<avp/>", {"![CDATA["}},
      {"<![CDATA[<a/>]]", {"![CDATA["}},
      {"<![CDATA<a/>", {}},  // not a CDATA opener: "<!" markup left open
      // Empty tags, stray ">" and a text that ends inside the opener.
      {"<><x/>", {"x"}},
      {"a > b <x/>", {"x"}},
      {"text <", {}},
      {"<  \t", {}},
      {"", {}},
      {"no tags at all", {}},
      // A "<" inside a quoted value starts the next element.
      {"<a v='<b>'/>", {"a", "b"}},
      {"<a v='x>y'/><c/>", {"a", "c"}},
      // A name beyond 100 bytes keeps its first 100; the scan goes on after the tag.
      {longTag.c_str(), {longName.substr(0, kElementNameLimit), "b"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ScanNames(c.text), c.names);
  }
}

TEST(NextElement, CursorPointsAtTheNameInsideItsTag) {
  char name[kElementNameSize];
  const char* text = "x < /avp ><![CDATA[q]]><b>";
  const char* c = NextElement(text, name);
  ASSERT_EQ(c, text + 4);  // the "/" of "/avp"
  c = NextElement(c, name);
  ASSERT_EQ(c, text + 11);  // the "!" of the CDATA opener
  EXPECT_STREQ(name, "![CDATA[");
  c = NextElement(c, name);
  ASSERT_EQ(c, text + 24);
  EXPECT_STREQ(name, "b");

  strcpy(name, "stale");
  EXPECT_EQ(NextElement(nullptr, name), nullptr);
  EXPECT_STREQ(name, "");
}

TEST(NextElement, NameOfExactlyTheLimitFillsTheBuffer) {
  const std::string exact(kElementNameLimit, 'e');
  const std::string text = "<" + exact + std::string(50, 'f') + ">";
  std::vector<char> name(kElementNameSize);  // exactly sized: a write past it is caught
  ASSERT_NE(NextElement(text.c_str(), name.data()), nullptr);
  EXPECT_EQ(std::string(name.data()), exact);
}

TEST(GetAttribute, FindsValuesAsTheTagWritesThem) {
  struct Case {
    const char* tag;
    const char* wanted;
    int found;
    const char* value;
  };
  const Case cases[] = {
      // Blanks around "=", unquoted values, any case of the wanted name.
      {"avp code = '5' name=x", "code", 1, "5"},
      {"avp code = '5' name=x", "name", 1, "x"},
      {"avp code = '5' name=x", "CODE", 1, "5"},
      {"avp\tcode\r\n=\n'7'>", "code", 1, "7"},
      {"avp code  ='1'", "code", 1, "1"},
      {"avp a='1' A='2'", "a", 1, "1"},  // the first of a name wins
      {"avp v=''", "v", 1, ""},
      {"avp v", "v", 1, ""},
      // Quotes of every kind; members of one kind close each other.
      {"avp v=\"abc\"", "v", 1, "abc"},
      {"avp v=\xE2\x80\x9Chello\xE2\x80\x9D", "v", 1, "hello"},
      {"avp v=\"a\xE2\x80\x9D b=1", "v", 1, "a"},
      {"avp v=\xE2\x80\x9D"
       "a\"",
       "v", 1, "a"},
      {"avp v=\xE2\x80\x98"
       "a'",
       "v", 1, "a"},
      {"avp v='a\xE2\x80\x99", "v", 1, "a"},
      {"avp v=\xE2\x80\x99"
       "a\xE2\x80\x98",
       "v", 1, "a"},
      {"avp v=\"it's\"", "v", 1, "it's"},
      {"avp v='say \"x\"'", "v", 1, "say \"x\""},
      {"avp v='it\xE2\x80\x9Ds'", "v", 1, "it\xE2\x80\x9Ds"},
      {"avp v=\xE2\x80\x9C"
       "a\xE2\x80\x9E"
       "b\xE2\x80\x9D",
       "v", 1,
       "a\xE2\x80\x9E"
       "b"},
      // A double quote directly followed by a single quote opens a double-quoted value that
      // begins with the single quote; it ends at the next double quote.
      {"avp v=\"'x'\" code='5'", "v", 1, "'x'"},
      {"avp v=\"'x'\" code='5'", "code", 1, "5"},
      {"avp v=\"'x\" code='5'", "v", 1, "'x"},
      {"avp v=\xE2\x80\x9C\xE2\x80\x98x\xE2\x80\x99\xE2\x80\x9D code='5'", "v", 1,
       "\xE2\x80\x98x\xE2\x80\x99"},
      {"avp v=\xE2\x80\x9C\xE2\x80\x98x\xE2\x80\x99\xE2\x80\x9D code='5'", "code", 1, "5"},
      {"avp v='\"x\"' code='5'", "v", 1, "\"x\""},
      // Leading blanks inside quotes stay, trailing ones go.
      {"avp value=' x '", "value", 1, " x"},
      {"avp value='x \t\r\n'", "value", 1, "x"},
      // A ">" or "/" inside a quoted value is part of it.
      {"avp v='x>y/z' code='5'>", "v", 1, "x>y/z"},
      {"avp v='x>y/z' code='5'>", "code", 1, "5"},
      // An unquoted value ends at "/", ">", a blank or a quote of either kind.
      {"avp value=a/b code='5'", "value", 1, "a"},
      {"avp value=a/b code='5'", "code", 0, ""},
      {"avp v=a>b code='5'", "code", 0, ""},
      {"avp v=a\"b\"", "v", 1, "a"},
      {"avp v=a\xE2\x80\x98"
       "b",
       "v", 1, "a"},
      // An unterminated value runs to the next quote of its kind, or to the end of the text.
      {"a v='abc><b w='1'/>", "v", 1, "abc><b w="},
      {"avp v='abc", "v", 1, "abc"},
      {"avp v=\"abc' code='5'", "v", 1, "abc' code='5'"},
      {"avp v=\xE2\x80\x9C"
       "abc",
       "v", 1, "abc"},
      // An attribute without "=" takes in the next one's name; an empty name ends the lookup.
      {"avp flag code='5'", "code", 0, ""},
      {"avp flag code='5'", "flag code", 1, "5"},
      {"avp ='x' code='5'", "code", 0, ""},
      // Missing attributes, end tags and CDATA sections have nothing to find.
      {"avp code='5'/>", "vendor", 0, ""},
      {"avp code='5'> <b vendor='1'>", "vendor", 0, ""},
      {"avp/ vendor='1'", "vendor", 0, ""},
      {"/avp code='5'", "code", 0, ""},
      {"![CDATA[ code='5' ]]>", "code", 0, ""},
      {"avp", "code", 0, ""},
      {"", "code", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tag) + " / " + c.wanted);
    Lookup got = Get(c.tag, c.wanted);
    EXPECT_EQ(got.found, c.found);
    EXPECT_EQ(got.value, c.value);
  }
}

TEST(GetAttribute, WorksOnTheCursorThatNextElementGives) {
  const char* text = "<diameter command-code='272' application-id=\"4\">\n<avp code='263'/>";
  char name[kElementNameSize];
  const char* c = NextElement(text, name);
  EXPECT_EQ(Get(c, "Command-Code").value, "272");
  EXPECT_EQ(Get(c, "application-id").value, "4");
  EXPECT_EQ(Get(c, "code").found, 0);  // the next tag's attribute is not this tag's
  c = NextElement(c, name);
  EXPECT_EQ(Get(c, "code").value, "263");
  EXPECT_EQ(Get(nullptr, "code").found, 0);
}

TEST(ReadAttribute, GivesNameAndValueByPosition) {
  struct Case {
    const char* tag;
    int index;
    int found;
    const char* name;
    const char* value;
  };
  const Case cases[] = {
      {"avp code='5' type=x", 1, 1, "code", "5"},
      {"avp code='5' type=x", 2, 1, "type", "x"},
      {"avp code='5' type=x", 3, 0, "", ""},
      {"avp code='5'", 0, 0, "", ""},
      {"avp code='5'", -1, 0, "", ""},
      {"avp flag code='5'", 1, 1, "flag code", "5"},
      {"avp flag  >", 1, 1, "flag", ""},
      {"avp flag/>", 2, 0, "", ""},
      // The empty name is not found, but a later position is still read past it.
      {"avp ='x' code='5'", 1, 0, "", "x"},
      {"avp ='x' code='5'", 2, 1, "code", "5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tag) + " #" + std::to_string(c.index));
    std::vector<char> name(kAttributeSize, 'x');
    std::vector<char> value(kAttributeSize, 'x');
    EXPECT_EQ(ReadAttribute(c.tag, c.index, name.data(), value.data()), c.found);
    EXPECT_STREQ(name.data(), c.name);
    EXPECT_STREQ(value.data(), c.value);
  }
}

TEST(ReadAttribute, CutsNamesAndValuesAtTheLimitAndReadsOnAfterThem) {
  const std::string longName(kAttributeLimit + 500, 'n');
  const std::string longValue(kAttributeLimit + 500, 'v');
  const std::string exactValue(kAttributeLimit, 'e');
  const std::string tag =
      "avp " + longName + "='" + longValue + "' " + longName + "=" + exactValue + " code='5'/>";
  std::vector<char> name(kAttributeSize);  // exactly sized: a write past either is caught
  std::vector<char> value(kAttributeSize);

  ASSERT_EQ(ReadAttribute(tag.c_str(), 1, name.data(), value.data()), 1);
  EXPECT_EQ(std::string(name.data()), longName.substr(0, kAttributeLimit));
  EXPECT_EQ(std::string(value.data()), longValue.substr(0, kAttributeLimit));

  ASSERT_EQ(ReadAttribute(tag.c_str(), 2, name.data(), value.data()), 1);
  EXPECT_EQ(std::string(value.data()), exactValue);

  ASSERT_EQ(ReadAttribute(tag.c_str(), 3, name.data(), value.data()), 1);
  EXPECT_STREQ(name.data(), "code");
  EXPECT_STREQ(value.data(), "5");

  std::vector<char> wanted(kAttributeSize);
  EXPECT_EQ(GetAttribute(tag.c_str(), "code", wanted.data()), 1);
  EXPECT_STREQ(wanted.data(), "5");
}

TEST(QuoteMatch, KnowsTheThreeMembersOfEachKind) {
  struct Case {
    const char* text;
    int doubleAdvance;  // bytes passed over, 0 when no quote of the kind starts here
    int singleAdvance;
  };
  const Case cases[] = {
      {"\"x", 1, 0},
      {"'x", 0, 1},
      {"\xE2\x80\x9Cx", 3, 0},
      {"\xE2\x80\x9Dx", 3, 0},
      {"\xE2\x80\x98x", 0, 3},
      {"\xE2\x80\x99x", 0, 3},
      {"\xE2\x80\x9Ex", 0, 0},  // low double quote is not one of them
      {"\xE2\x81\x9C", 0, 0},
      {"\xE3\x80\x9C", 0, 0},
      {"x", 0, 0},
      {"", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const char* d = MatchDoubleQuote(c.text);
    const char* s = MatchSingleQuote(c.text);
    EXPECT_EQ(d == nullptr ? 0 : d - c.text, c.doubleAdvance);
    EXPECT_EQ(s == nullptr ? 0 : s - c.text, c.singleAdvance);
  }
}

// Texts that end in the middle of every construct; each ends right before an inaccessible page,
// so reading past its NUL faults.
TEST(ScannerBounds, NeverReadsPastTheEndOfTheText) {
  const char* texts[] = {
      "<",
      "< ",
      "<!",
      "<!-",
      "<!-- <a",
      "<![CDATA",
      "<![CDATA[",
      "<![CDATA[x]",
      "<![CDATA[x]]",
      "<![cdata[x]]>",
      "<a",
      "<a/",
      "<a b",
      "<a b ",
      "<a b=",
      "<a b= ",
      "<a b='",
      "<a b=\"",
      "<a b='x",
      "<a b=\"x",
      "<a b=x",
      "<a b=\"'",
      "<a b=\"'x'",
      "<a b=\xE2",
      "<a b=\xE2\x80",
      "<a b=\xE2\x80\x9C",
      "<a b=\xE2\x80\x9Cx\xE2",
      "<a b=\xE2\x80\x9Cx\xE2\x80",
      "<a b=\xE2\x80\x98x\xE2\x80",
      "<a b=x\xE2",
      "<a b=x\xE2\x80",
      "<a \xE2\x80",
      "<\xE2\x80",
      "<a b='1' c",
      "<a b='1' c=",
      "x\xE2",
  };
  const char* wanted[] = {"b", "c", "missing"};
  for (const char* t : texts) {
    SCOPED_TRACE(t);
    GuardedText text(std::string(t) + '\0');
    std::vector<char> name(kAttributeSize);
    std::vector<char> value(kAttributeSize);
    for (const char* c = NextElement(text.start, name.data()); c != nullptr;
         c = NextElement(c, name.data())) {
      for (const char* w : wanted) GetAttribute(c, w, value.data());
      for (int index = 0; index <= 3; ++index) ReadAttribute(c, index, name.data(), value.data());
    }
    EXPECT_EQ(MatchDoubleQuote(text.start + strlen(t)), nullptr);
  }
}

// A lookup of an attribute that the tag lacks stops at the tag's ">" or "/": the tags here are
// cut right after that byte, with no NUL, so a read beyond it faults.
TEST(ScannerBounds, LookupStopsAtItsTag) {
  const char* tags[] = {
      "avp code='5' value=\"a>b\">",
      "avp code='5'/",
      "avp code=5>",
      "avp code=5/",
      "avp flag>",
      "avp v=\xE2\x80\x9Cx\xE2\x80\x9D>",
      "/avp>",
      "avp>",
      "avp/",
  };
  for (const char* t : tags) {
    SCOPED_TRACE(t);
    GuardedText tag(t);
    std::vector<char> value(kAttributeSize, 'x');
    EXPECT_EQ(GetAttribute(tag.start, "missing", value.data()), 0);
    EXPECT_STREQ(value.data(), "");
  }
}

}  // namespace
