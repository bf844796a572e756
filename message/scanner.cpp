// Reads the template markup: next element tag, attribute lookup, and the quote forms.
#include "message/scanner.h"

#include <cstdint>
#include <cstring>

#include "platform/text.h"

namespace {

constexpr char kCdataOpener[] = "![CDATA[";
constexpr size_t kCdataOpenerLength = sizeof kCdataOpener - 1;
constexpr char kCdataCloser[] = "]]>";

uint8_t ByteAt(const char* p) {
  return static_cast<uint8_t>(*p);
}

// The case rules of the case-insensitive text comparison: the letters A to Z only.
char LowerLetter(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
char UpperLetter(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Every byte from 1 to 32 counts as a blank in the markup.
bool IsBlank(const char* p) {
  return ByteAt(p) >= 1 && ByteAt(p) <= 32;
}

const char* SkipBlanks(const char* p) {
  while (IsBlank(p)) ++p;
  return p;
}

// Compares byte by byte, so a text that ends early stops the comparison at its NUL.
bool StartsWithNoCase(const char* p, const char* prefix) {
  for (; *prefix != '\0'; ++p, ++prefix) {
    if (UpperLetter(*p) != UpperLetter(*prefix)) return false;
  }
  return true;
}

bool StartsWithCdata(const char* p) {
  return StartsWithNoCase(p, kCdataOpener);
}

// A UTF-8 typographic quote E2 80 xx; each byte is checked before the next one is read.
const char* MatchTypographic(const char* p, uint8_t first, uint8_t second) {
  if (ByteAt(p) == 0xE2 && ByteAt(p + 1) == 0x80 &&
      (ByteAt(p + 2) == first || ByteAt(p + 2) == second)) {
    return p + 3;
  }
  return nullptr;
}

bool EndsAttributeName(const char* p) {
  return *p == '\0' || *p == '=' || *p == '>' || *p == '/';
}

bool EndsUnquotedValue(const char* p) {
  return *p == '\0' || *p == '>' || *p == '/' || IsBlank(p) || MatchDoubleQuote(p) != nullptr ||
         MatchSingleQuote(p) != nullptr;
}

// Drops the blanks at the end of a stored text of the given length.
void TrimTrailingBlanks(char* text, size_t length) {
  while (length > 0 && IsBlank(text + length - 1)) --length;
  text[length] = '\0';
}

}  // namespace

const char* MatchDoubleQuote(const char* p) {
  if (*p == '"') return p + 1;
  return MatchTypographic(p, 0x9C, 0x9D);
}

const char* MatchSingleQuote(const char* p) {
  if (*p == '\'') return p + 1;
  return MatchTypographic(p, 0x98, 0x99);
}

const char* NextElement(const char* cursor, char* name) {
  name[0] = '\0';
  if (cursor == nullptr) return nullptr;

  // The previous call stopped at a CDATA section: its content is no markup.
  if (StartsWithCdata(cursor)) {
    cursor += kCdataOpenerLength;
    while (*cursor != '\0' && !StartsWithNoCase(cursor, kCdataCloser)) ++cursor;
  }

  // Runs of bytes that cannot change the state are passed over by the library searches: at
  // depth 0 everything up to the next "<", inside "<!" markup everything up to the next "<" or ">".
  uint32_t depth = 0;  // nesting inside "<!" markup such as comments
  for (const char* p = cursor;;) {
    if (depth > 0) {
      p = strpbrk(p, "<>");
      if (p == nullptr) return nullptr;
      if (*p == '<') ++depth;
      if (*p == '>') --depth;
      ++p;
      continue;
    }
    p = strchr(p, '<');  // text between tags, the rest of a tag, a stray ">"
    if (p == nullptr) return nullptr;

    p = SkipBlanks(p + 1);
    if (StartsWithCdata(p)) {
      for (size_t i = 0; i < kCdataOpenerLength; ++i) name[i] = kCdataOpener[i];
      name[kCdataOpenerLength] = '\0';
      return p;
    }
    if (*p == '!') {
      depth = 1;
      ++p;
      continue;
    }
    if (*p == '>') {  // the empty tag "<>"
      ++p;
      continue;
    }
    if (*p == '\0') return nullptr;

    // An element name; a "/" ends it only after its first byte, so end tags keep their "/".
    size_t length = 0;
    for (const char* q = p; *q != '\0' && *q != '>' && !IsBlank(q) && !(*q == '/' && q != p); ++q) {
      if (length < kElementNameLimit) name[length++] = *q;
    }
    name[length] = '\0';
    return p;
  }
}

namespace {

// The first attribute position after the element name of the tag at cursor, or nullptr when the
// cursor stands at a CDATA section (or at nothing), which has no attributes.
const char* FirstAttributePosition(const char* cursor) {
  if (cursor == nullptr || StartsWithCdata(cursor)) return nullptr;
  const char* p = cursor;
  while (*p != '\0' && *p != '>' && *p != '/' && !IsBlank(p)) ++p;  // the element name
  return p;
}

// Reads the attribute at *at into name and value and moves *at past it. 0 when the tag has no
// further attribute (name and value are then empty). name or value may be nullptr: that part is
// then only passed over, and *at moves just as far.
int ReadNextAttribute(const char** at, char* name, char* value) {
  if (name != nullptr) name[0] = '\0';
  if (value != nullptr) value[0] = '\0';
  const char* p = SkipBlanks(*at);
  if (*p == '\0' || *p == '>' || *p == '/') {  // the tag has no more attributes
    *at = p;
    return 0;
  }

  size_t length = 0;
  for (; !EndsAttributeName(p); ++p) {
    if (name != nullptr && length < kAttributeLimit) name[length++] = *p;
  }
  if (name != nullptr) TrimTrailingBlanks(name, length);

  if (*p != '=') {  // no value; the position stays where the name ended
    *at = p;
    return 1;
  }
  p = SkipBlanks(p + 1);

  // A double quote followed by a single quote reads as a double-quoted value that begins
  // with that single quote: it ends at the next double quote, as any double-quoted value.
  bool doubleQuoted = false;
  bool singleQuoted = false;
  if (const char* after = MatchDoubleQuote(p)) {
    doubleQuoted = true;
    p = after;
  } else if (const char* after = MatchSingleQuote(p)) {
    singleQuoted = true;
    p = after;
  }

  length = 0;
  for (; *p != '\0'; ++p) {
    if (doubleQuoted   ? MatchDoubleQuote(p) != nullptr
        : singleQuoted ? MatchSingleQuote(p) != nullptr
                       : EndsUnquotedValue(p)) {
      break;
    }
    if (value != nullptr && length < kAttributeLimit) value[length++] = *p;
  }
  if (doubleQuoted) {
    if (const char* after = MatchDoubleQuote(p)) p = after;
  } else if (singleQuoted) {
    if (const char* after = MatchSingleQuote(p)) p = after;
  }
  if (value != nullptr) TrimTrailingBlanks(value, length);
  *at = p;
  return 1;
}

// 1 when the two texts are equal ignoring the case of A to Z, as the case-insensitive text
// comparison decides; most names differ in their first byte.
bool NameEquals(const char* name, const char* wanted) {
  for (;; ++name, ++wanted) {
    if (LowerLetter(*name) != LowerLetter(*wanted)) return false;
    if (*name == '\0') return true;
  }
}

}  // namespace

int ReadAttribute(const char* cursor, int index, char* name, char* value) {
  name[0] = '\0';
  value[0] = '\0';
  const char* p = FirstAttributePosition(cursor);
  if (p == nullptr || index <= 0) return 0;
  for (int position = 1; position <= index; ++position) {
    if (!ReadNextAttribute(&p, name, value)) return 0;
  }
  return name[0] != '\0' ? 1 : 0;
}

// One pass over the tag: the attributes are met in the order that reading them by position
// would give, and an empty name ends the lookup as it ends a read by position.
int GetAttribute(const char* cursor, const char* wanted, char* value) {
  const char* found = nullptr;
  FindAttributes(cursor, &wanted, 1, &found);
  return ReadFoundAttribute(found, value);
}

// Each attribute's name is compared with every wanted name not found yet; its value is only
// passed over. The first attribute of a name wins.
void FindAttributes(const char* cursor, const char* const* wanted, int count, const char** found) {
  for (int i = 0; i < count; ++i) found[i] = nullptr;
  const char* p = FirstAttributePosition(cursor);
  if (p == nullptr) return;
  char name[kAttributeSize];
  for (int missing = count; missing > 0;) {
    const char* start = p;
    if (!ReadNextAttribute(&p, name, nullptr) || name[0] == '\0') return;
    for (int i = 0; i < count; ++i) {
      if (found[i] == nullptr && NameEquals(name, wanted[i])) {
        found[i] = start;
        --missing;
      }
    }
  }
}

int ReadFoundAttribute(const char* found, char* value) {
  value[0] = '\0';
  if (found == nullptr) return 0;
  ReadNextAttribute(&found, nullptr, value);
  return 1;
}
