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

enum class Run { kDoubleQuoted, kSingleQuoted, kUnquoted };

// Where an attribute value of that kind that begins at p ends: at the end of the text, at a
// quote of its own kind (double, single), or at ">", "/", a blank or a quote of either kind
// (unquoted). A typographic quote begins with E2, which no other ending byte is.
template <Run kind>
const char* RunEnd(const char* p) {
  for (;; ++p) {
    uint8_t c = ByteAt(p);
    if (c == 0xE2) {
      if (kind != Run::kSingleQuoted && MatchTypographic(p, 0x9C, 0x9D) != nullptr) return p;
      if (kind != Run::kDoubleQuoted && MatchTypographic(p, 0x98, 0x99) != nullptr) return p;
    } else if (kind == Run::kDoubleQuoted) {
      if (c == '"' || c == '\0') return p;
    } else if (kind == Run::kSingleQuoted) {
      if (c == '\'' || c == '\0') return p;
    } else if (c <= 32 || c == '>' || c == '/' || c == '"' || c == '\'') {
      return p;
    }
  }
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

// Where the parts of one attribute lie in the tag text.
struct AttributeSpans {
  const char* name;
  const char* nameEnd;
  const char* value;  // the value's bytes, without its quotes; empty without "="
  const char* valueEnd;
};

// The length of the text that storing the run from begin to end keeps: its first
// kAttributeLimit bytes, less their trailing blanks.
size_t StoredLength(const char* begin, const char* end) {
  size_t length = static_cast<size_t>(end - begin);
  if (length > kAttributeLimit) length = kAttributeLimit;
  while (length > 0 && IsBlank(begin + length - 1)) --length;
  return length;
}

// Stores the run from begin to end as StoredLength keeps it, NUL-terminated.
void StoreText(char* text, const char* begin, const char* end) {
  size_t length = StoredLength(begin, end);
  memcpy(text, begin, length);
  text[length] = '\0';
}

// Finds the attribute at *at and moves *at past it. 0 when the tag has no further attribute.
int ScanAttribute(const char** at, AttributeSpans* spans) {
  const char* p = SkipBlanks(*at);
  if (*p == '\0' || *p == '>' || *p == '/') {  // the tag has no more attributes
    *at = p;
    return 0;
  }

  spans->name = p;
  while (!EndsAttributeName(p)) ++p;
  spans->nameEnd = p;
  spans->value = p;
  spans->valueEnd = p;
  if (*p != '=') {  // no value; the position stays where the name ended
    *at = p;
    return 1;
  }
  p = SkipBlanks(p + 1);

  // A double quote followed by a single quote reads as a double-quoted value that begins
  // with that single quote: it ends at the next double quote, as any double-quoted value.
  if (const char* after = MatchDoubleQuote(p)) {
    spans->value = after;
    p = RunEnd<Run::kDoubleQuoted>(after);
    spans->valueEnd = p;
    if (const char* closed = MatchDoubleQuote(p)) p = closed;
  } else if (const char* after = MatchSingleQuote(p)) {
    spans->value = after;
    p = RunEnd<Run::kSingleQuoted>(after);
    spans->valueEnd = p;
    if (const char* closed = MatchSingleQuote(p)) p = closed;
  } else {
    spans->value = p;
    p = RunEnd<Run::kUnquoted>(p);
    spans->valueEnd = p;
  }
  *at = p;
  return 1;
}

// Reads the attribute at *at into name and value and moves *at past it. 0 when the tag has no
// further attribute (name and value are then empty).
int ReadNextAttribute(const char** at, char* name, char* value) {
  name[0] = '\0';
  value[0] = '\0';
  AttributeSpans spans;
  if (!ScanAttribute(at, &spans)) return 0;
  StoreText(name, spans.name, spans.nameEnd);
  StoreText(value, spans.value, spans.valueEnd);
  return 1;
}

// 1 when the name and the wanted text, both of length bytes, are equal ignoring the case of A to
// Z, as the case-insensitive text comparison decides.
bool NameEquals(const char* name, const char* wanted, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (LowerLetter(name[i]) != LowerLetter(wanted[i])) return false;
  }
  return true;
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
  AttributeNames prepared;
  PrepareAttributeNames(&prepared, &wanted, 1);
  FoundAttribute found;
  FindAttributes(cursor, &prepared, &found);
  return ReadFoundAttribute(&found, value);
}

void PrepareAttributeNames(AttributeNames* prepared, const char* const* names, int count) {
  prepared->names = names;
  prepared->count = count;
  for (uint32_t& bits : prepared->byLength) bits = 0;
  int looked = count < kMaxFoundAttributes ? count : kMaxFoundAttributes;
  for (int i = 0; i < looked; ++i) {
    prepared->lengths[i] = strlen(names[i]);
    size_t key =
        prepared->lengths[i] < kNameLengthKeys ? prepared->lengths[i] : kNameLengthKeys - 1;
    prepared->byLength[key] |= 1u << i;
  }
}

// Each attribute's name is compared with the wanted names of its length not found yet; its value
// is only passed over. The first attribute of a name wins.
void FindAttributes(const char* cursor, const AttributeNames* wanted, FoundAttribute* found) {
  for (int i = 0; i < wanted->count; ++i) found[i] = FoundAttribute{nullptr, nullptr};
  const char* p = FirstAttributePosition(cursor);
  if (p == nullptr) return;
  uint32_t all = 0;
  for (uint32_t bits : wanted->byLength) all |= bits;
  uint32_t foundBits = 0;
  while (foundBits != all) {
    AttributeSpans spans;
    if (!ScanAttribute(&p, &spans)) return;
    size_t nameLength = StoredLength(spans.name, spans.nameEnd);
    if (nameLength == 0) return;
    size_t key = nameLength < kNameLengthKeys ? nameLength : kNameLengthKeys - 1;
    for (uint32_t candidates = wanted->byLength[key] & ~foundBits; candidates != 0;
         candidates &= candidates - 1) {
      int i = __builtin_ctz(candidates);
      if (wanted->lengths[i] == nameLength &&
          NameEquals(spans.name, wanted->names[i], nameLength)) {
        found[i] = FoundAttribute{spans.value, spans.valueEnd};
        foundBits |= 1u << i;
      }
    }
  }
}

int ReadFoundAttribute(const FoundAttribute* found, char* value) {
  value[0] = '\0';
  if (found->value == nullptr) return 0;
  StoreText(value, found->value, found->valueEnd);
  return 1;
}
