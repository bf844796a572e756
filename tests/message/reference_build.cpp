// The request building as it stood before the single-pass attribute reading and the placeholder
// pre-scan: the markup scanner, placeholder filling and the AVP tree builder, kept word for word
// (under other names) so that tests can compare the present code with it byte for byte.
#include "reference_build.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/settings.h"
#include "message/avp.h"
#include "message/avp_builder.h"
#include "message/decimal.h"
#include "message/memory.h"
#include "message/scanner.h"
#include "platform/text.h"

namespace reference_scanner {

const char* RefMatchDoubleQuote(const char* p);
const char* RefMatchSingleQuote(const char* p);

namespace {

constexpr char kCdataOpener[] = "![CDATA[";
constexpr size_t kCdataOpenerLength = sizeof kCdataOpener - 1;
constexpr char kCdataCloser[] = "]]>";

uint8_t ByteAt(const char* p) {
  return static_cast<uint8_t>(*p);
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
    if (platform::AsciiUpper(*p) != platform::AsciiUpper(*prefix)) return false;
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
  return *p == '\0' || *p == '>' || *p == '/' || IsBlank(p) || RefMatchDoubleQuote(p) != nullptr ||
         RefMatchSingleQuote(p) != nullptr;
}

// Drops the blanks at the end of a stored text of the given length.
void TrimTrailingBlanks(char* text, size_t length) {
  while (length > 0 && IsBlank(text + length - 1)) --length;
  text[length] = '\0';
}

}  // namespace

const char* RefMatchDoubleQuote(const char* p) {
  if (*p == '"') return p + 1;
  return MatchTypographic(p, 0x9C, 0x9D);
}

const char* RefMatchSingleQuote(const char* p) {
  if (*p == '\'') return p + 1;
  return MatchTypographic(p, 0x98, 0x99);
}

const char* ReferenceNextElement(const char* cursor, char* name) {
  name[0] = '\0';
  if (cursor == nullptr) return nullptr;

  // The previous call stopped at a CDATA section: its content is no markup.
  if (StartsWithCdata(cursor)) {
    cursor += kCdataOpenerLength;
    while (*cursor != '\0' && !StartsWithNoCase(cursor, kCdataCloser)) ++cursor;
  }

  uint32_t depth = 0;  // nesting inside "<!" markup such as comments
  for (const char* p = cursor; *p != '\0'; ++p) {
    if (depth > 0) {
      if (*p == '<') ++depth;
      if (*p == '>') --depth;
      continue;
    }
    if (*p != '<') continue;  // text between tags, the rest of a tag, a stray ">"

    p = SkipBlanks(p + 1);
    if (StartsWithCdata(p)) {
      for (size_t i = 0; i < kCdataOpenerLength; ++i) name[i] = kCdataOpener[i];
      name[kCdataOpenerLength] = '\0';
      return p;
    }
    if (*p == '!') {
      depth = 1;
      continue;
    }
    if (*p == '>') continue;  // the empty tag "<>"
    if (*p == '\0') return nullptr;

    // An element name; a "/" ends it only after its first byte, so end tags keep their "/".
    size_t length = 0;
    for (const char* q = p; *q != '\0' && *q != '>' && !IsBlank(q) && !(*q == '/' && q != p); ++q) {
      if (length < kElementNameLimit) name[length++] = *q;
    }
    name[length] = '\0';
    return p;
  }
  return nullptr;
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
// further attribute (name and value are then empty).
int ReadNextAttribute(const char** at, char* name, char* value) {
  name[0] = '\0';
  value[0] = '\0';
  const char* p = SkipBlanks(*at);
  if (*p == '\0' || *p == '>' || *p == '/') {  // the tag has no more attributes
    *at = p;
    return 0;
  }

  size_t length = 0;
  for (; !EndsAttributeName(p); ++p) {
    if (length < kAttributeLimit) name[length++] = *p;
  }
  TrimTrailingBlanks(name, length);

  if (*p != '=') {  // no value; the position stays where the name ended
    *at = p;
    return 1;
  }
  p = SkipBlanks(p + 1);

  // A double quote followed by a single quote reads as a double-quoted value that begins
  // with that single quote: it ends at the next double quote, as any double-quoted value.
  bool doubleQuoted = false;
  bool singleQuoted = false;
  if (const char* after = RefMatchDoubleQuote(p)) {
    doubleQuoted = true;
    p = after;
  } else if (const char* after = RefMatchSingleQuote(p)) {
    singleQuoted = true;
    p = after;
  }

  length = 0;
  for (; *p != '\0'; ++p) {
    if (doubleQuoted   ? RefMatchDoubleQuote(p) != nullptr
        : singleQuoted ? RefMatchSingleQuote(p) != nullptr
                       : EndsUnquotedValue(p)) {
      break;
    }
    if (length < kAttributeLimit) value[length++] = *p;
  }
  if (doubleQuoted) {
    if (const char* after = RefMatchDoubleQuote(p)) p = after;
  } else if (singleQuoted) {
    if (const char* after = RefMatchSingleQuote(p)) p = after;
  }
  TrimTrailingBlanks(value, length);
  *at = p;
  return 1;
}

}  // namespace

int ReferenceReadAttribute(const char* cursor, int index, char* name, char* value) {
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
int ReferenceGetAttribute(const char* cursor, const char* wanted, char* value) {
  value[0] = '\0';
  const char* p = FirstAttributePosition(cursor);
  if (p == nullptr) return 0;
  char name[kAttributeSize];
  char found[kAttributeSize];
  for (;;) {
    if (!ReadNextAttribute(&p, name, found) || name[0] == '\0') return 0;
    if (platform::TextEqualNoCase(name, wanted)) {
      size_t i = 0;
      for (; found[i] != '\0'; ++i) value[i] = found[i];
      value[i] = '\0';
      return 1;
    }
  }
}

}  // namespace reference_scanner

namespace reference_placeholders {

namespace {

// Work areas up to this size live on the stack; larger ones come from the heap.
constexpr size_t kFixedWorkArea = 1024;
// Sixteen hex characters of a User-Location-Info and their terminator.
constexpr size_t kLocationTextSize = 17;
// Room for an unsigned 32-bit number in decimal and its terminator.
constexpr size_t kNumberTextSize = 12;
// Every form of every placeholder begins with two of these.
constexpr char kPlaceholderMark = '@';

// A work area of at least size bytes: the fixed one when it suffices, else heap storage that
// the caller releases with ReleaseArea.
char* TakeArea(char* fixed, size_t size) {
  if (size <= kFixedWorkArea) return fixed;
  return static_cast<char*>(MemAlloc(size));
}

void ReleaseArea(char* area, const char* fixed) {
  if (area != fixed) MemFree(area);
}

// First position at or after from where form occurs in text (of length length) over bytes that
// no replacement of this call has inserted; -1 when there is none.
ptrdiff_t FindUnmarked(const char* text, const char* marks, size_t length, size_t from,
                       const char* form, size_t formLength) {
  if (formLength > length) return -1;
  for (size_t at = from; at + formLength <= length; ++at) {
    if (text[at] != form[0] || memcmp(text + at, form, formLength) != 0) continue;
    if (memchr(marks + at, 1, formLength) == nullptr) return static_cast<ptrdiff_t>(at);
  }
  return -1;
}

// 1 when the text (of length length) holds the token as passed, all in lower case or all in upper
// case. One pass over the text tries the three forms at each position together.
int OccursInAnyForm(const char* text, size_t length, const char* token, size_t tokenLength) {
  if (tokenLength > length) return 0;
  for (size_t at = 0; at + tokenLength <= length; ++at) {
    bool asPassed = true;
    bool lower = true;
    bool upper = true;
    for (size_t i = 0; i < tokenLength && (asPassed || lower || upper); ++i) {
      char c = text[at + i];
      char t = token[i];
      asPassed = asPassed && c == t;
      lower = lower && c == platform::AsciiLower(t);
      upper = upper && c == platform::AsciiUpper(t);
    }
    if (asPassed || lower || upper) return 1;
  }
  return 0;
}

// 1 when the text (of length length) holds two placeholder marks in a row.
int HoldsMarkPair(const char* text, size_t length) {
  for (size_t at = 1; at < length; ++at) {
    if (text[at] == kPlaceholderMark && text[at - 1] == kPlaceholderMark) return 1;
  }
  return 0;
}

const char* SlotText(const ByteBuffer* slot) {
  return slot != nullptr ? reinterpret_cast<const char*>(slot->bytes) : "";
}

// The hex text of an eight-octet User-Location-Info of location type 0 (CGI): the type octet,
// MCC and MNC in swapped-digit coding ("F" for a missing digit), location area 0 and cell 0.
// The characters of the MCC and MNC text are copied as they stand.
void BuildLocationText(const char* mccMnc, char* out) {
  size_t length = strlen(mccMnc);
  auto digit = [&](size_t position) { return length >= position ? mccMnc[position - 1] : 'F'; };
  snprintf(out, kLocationTextSize, "00%c%c%c%c%c%c00000000", digit(2), digit(1), digit(6), digit(3),
           digit(5), digit(4));
}

void ReplaceWithNumber(char* text, const char* token, uint32_t value) {
  char number[kNumberTextSize];
  snprintf(number, sizeof number, "%u", value);
  ReferenceReplaceAll(text, token, number, kPlaceholderTextSize);
}

}  // namespace

// Every occurrence of the token as passed is replaced first, then of its lower-case form, then of
// its upper-case form, each from the start of the text. Only the caller's own text is searched:
// what a replacement inserted is never searched again, and no occurrence may reach into it, so a
// replacement that holds the token cannot make the substitution run on without end. After every
// replacement the text is cut to size - 1 characters.
void ReferenceReplaceAll(char* text, const char* token, const char* replacement, int32_t size) {
  if (text == nullptr || token == nullptr || replacement == nullptr || size <= 0) return;
  size_t area = static_cast<size_t>(size);
  size_t tokenLength = strlen(token);
  if (tokenLength == 0) return;

  size_t length = strnlen(text, area);
  if (length == area) {  // not terminated inside its area: the area's last byte becomes the end
    length = area - 1;
    text[length] = '\0';
  }

  char fixedToken[kFixedWorkArea];
  char* form = TakeArea(fixedToken, tokenLength + 1);
  if (form == nullptr) return;
  // Most values hold none of the placeholders: look for the three forms before taking any more.
  int occurs = OccursInAnyForm(text, length, token, tokenLength);
  // One mark per byte of the text: 1 where a replacement of this call put the byte.
  char fixedMarks[kFixedWorkArea];
  char* marks = occurs ? TakeArea(fixedMarks, area) : nullptr;
  if (marks == nullptr) {
    ReleaseArea(form, fixedToken);
    return;
  }
  memset(marks, 0, length + 1);
  size_t replacementLength = strlen(replacement);
  size_t limit = area - 1;

  memcpy(form, token, tokenLength + 1);
  for (int pass = 0; pass < 3; ++pass) {
    if (pass == 1) platform::TextToLower(form);
    if (pass == 2) platform::TextToUpper(form);
    size_t from = 0;
    for (;;) {
      ptrdiff_t found = FindUnmarked(text, marks, length, from, form, tokenLength);
      if (found < 0) break;
      size_t at = static_cast<size_t>(found);
      size_t tailStart = at + tokenLength;
      size_t tailLength = length - tailStart;
      // Rebuild in place: before + replacement + after, cut to the limit.
      size_t tailTarget = at + replacementLength;
      size_t tailKept = tailTarget >= limit ? 0 : tailLength;
      if (tailKept > limit - tailTarget) tailKept = limit - tailTarget;
      if (tailKept > 0) {
        memmove(text + tailTarget, text + tailStart, tailKept);
        memmove(marks + tailTarget, marks + tailStart, tailKept);
      }
      size_t replacementKept = replacementLength;
      if (replacementKept > limit - at) replacementKept = limit - at;
      memcpy(text + at, replacement, replacementKept);
      memset(marks + at, 1, replacementKept);
      length = at + replacementKept + tailKept;
      text[length] = '\0';
      marks[length] = 0;
      from = at + replacementKept;
    }
  }

  ReleaseArea(form, fixedToken);
  ReleaseArea(marks, fixedMarks);
}

void ReferenceSubstitutePlaceholders(char* text, const RequestValues* values) {
  if (text == nullptr) return;
  // Every form of every placeholder begins with "@@": a value without that pair is passed over
  // whole, and only the cut to the area that the first replacement step would make is made.
  constexpr size_t area = static_cast<size_t>(kPlaceholderTextSize);
  size_t length = strnlen(text, area);
  if (!HoldsMarkPair(text, length)) {
    if (length == area) text[length - 1] = '\0';
    return;
  }

  struct SettingStep {
    const char* token;
    const char* setting;
  };
  const SettingStep settingSteps[] = {
      {"@@Config-Origin-Host@@", Settings.OriginHost},
      {"@@Config-Origin-Realm@@", Settings.OriginRealm},
      {"@@Config-Host-IP-Address@@", Settings.HostIPAddress},
      {"@@Config-Product-Name@@", Settings.ProductName},
      {"@@Config-Destination-Realm@@", Settings.DestinationRealm},
      {"@@Config-Service-Context-Id@@", Settings.ServiceContextId},
      {"@@Config-Service-Identifier@@", Settings.ServiceIdentifier},
      {"@@Config-CC-Service-Specific-Units@@", Settings.CCServiceSpecificUnits},
      {"@@Config-CC-Money@@", Settings.CCMoney},
      {"@@Config-Currency-Code@@", Settings.CurrencyCode},
      {"@@Config-Service-Provider-Id@@", Settings.ServiceProviderId},
      {"@@Config-Subscription-Id-Location@@", Settings.SubscriptionIdLocation},
  };
  for (const SettingStep& step : settingSteps) {
    ReferenceReplaceAll(text, step.token, step.setting, kPlaceholderTextSize);
  }

  struct SlotStep {
    const char* token;
    ByteBuffer* RequestValues::*slot;
  };
  const SlotStep slotSteps[] = {
      {"@@Session-Id@@", &RequestValues::sessionId},
      {"@@TimeStamp@@", &RequestValues::timeStamp},
      {"@@TimeZone@@", &RequestValues::timeZone},
      {"@@Sender@@", &RequestValues::sender},
      {"@@Sender-Address-Type@@", &RequestValues::senderAddressType},
      {"@@Recip@@", &RequestValues::recip},
      {"@@Recip-Address-Type@@", &RequestValues::recipAddressType},
      {"@@SGSNMCCMNC@@", &RequestValues::sgsnMccMnc},
      {"@@SGSNADDRESS@@", &RequestValues::sgsnAddress},
      {"@@MsgSize@@", &RequestValues::msgSize},
      {"@@VASPID@@", &RequestValues::vaspId},
  };
  for (const SlotStep& step : slotSteps) {
    const char* slot = values != nullptr ? SlotText(values->*step.slot) : "";
    ReferenceReplaceAll(text, step.token, slot, kPlaceholderTextSize);
  }

  // The computed values: each only when its placeholder occurs exactly as written here.
  constexpr char kLocationToken[] = "@@UserLocationInfo@@";
  if (strstr(text, kLocationToken) != nullptr) {
    char location[kLocationTextSize] = "";
    const char* mccMnc = values != nullptr ? SlotText(values->sgsnMccMnc) : "";
    if (mccMnc[0] != '\0') BuildLocationText(mccMnc, location);
    ReferenceReplaceAll(text, kLocationToken, location, kPlaceholderTextSize);
  }
  constexpr char kValueDigitsToken[] = "@@Config-CC-Money-Value-Digits@@";
  if (strstr(text, kValueDigitsToken) != nullptr) {
    ReplaceWithNumber(text, kValueDigitsToken, static_cast<uint32_t>(Settings.CCMoneyValueDigits));
  }
  constexpr char kExponentToken[] = "@@Config-CC-Money-Exponent@@";
  if (strstr(text, kExponentToken) != nullptr) {
    ReplaceWithNumber(text, kExponentToken, static_cast<uint32_t>(Settings.CCMoneyExponent));
  }
  constexpr char kStartTimeToken[] = "@@ServerStartTime@@";
  if (strstr(text, kStartTimeToken) != nullptr) {
    ReplaceWithNumber(text, kStartTimeToken, ServerStartTime);
  }
  constexpr char kCounterToken[] = "@@RequestCounter@@";
  if (strstr(text, kCounterToken) != nullptr) {
    ++RequestCounter;
    ReplaceWithNumber(text, kCounterToken, RequestCounter);
  }
}

}  // namespace reference_placeholders

namespace reference_builder {

namespace {

constexpr size_t kOctetsLimit = kAttributeLimit / 2;  // decoded bytes of an OctetString value

enum class AvpType { kNone, kGrouped, kUnsigned32, kUnsigned64, kText, kOctets, kAddress };

AvpType TypeOf(const char* name) {
  struct TypeName {
    const char* name;
    AvpType type;
  };
  static const TypeName kTypeNames[] = {
      {"grouped", AvpType::kGrouped},      {"unsigned32", AvpType::kUnsigned32},
      {"integer32", AvpType::kUnsigned32}, {"unsigned64", AvpType::kUnsigned64},
      {"integer64", AvpType::kUnsigned64}, {"UTF8String", AvpType::kText},
      {"OctetString", AvpType::kOctets},   {"IPAddress", AvpType::kAddress},
  };
  for (const TypeName& entry : kTypeNames) {
    if (platform::TextEqualNoCase(name, entry.name)) return entry.type;
  }
  return AvpType::kNone;
}

// One open grouped AVP: what its header needs and the AVPs built for it so far.
struct GroupLevel {
  uint32_t code;
  uint32_t vendor;
  int mandatory;
  ByteBuffer* inner;
};

// The working values of one BuildAvps call, taken from the heap as one block: the element name,
// the attribute values, the decoded octets, and the open groups (level 0 is the caller's).
struct BuildWork {
  char name[kElementNameSize];
  char attribute[kAttributeSize];
  char value[kAttributeSize];  // also the area SubstitutePlaceholders fills in place
  uint8_t octets[kOctetsLimit];
  GroupLevel levels[kMaxGroupDepth + 1];
};
static_assert(kAttributeSize >= static_cast<size_t>(kPlaceholderTextSize));

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

// Pairs of hex characters become bytes; an odd last character is dropped, and every character
// that is not a hex digit reads as 0.
uint32_t DecodeHex(const char* text, uint8_t* out) {
  size_t pairs = strlen(text) / 2;
  if (pairs > kOctetsLimit) pairs = kOctetsLimit;
  for (size_t i = 0; i < pairs; ++i) {
    out[i] = static_cast<uint8_t>(16 * HexDigit(text[2 * i]) + HexDigit(text[2 * i + 1]));
  }
  return static_cast<uint32_t>(pairs);
}

void EncodeValue(ByteBuffer** target, AvpType type, uint32_t code, int mandatory, uint32_t vendor,
                 BuildWork* work) {
  switch (type) {
    case AvpType::kUnsigned32:
      AppendAvpUint32(target, code, mandatory, vendor, ReadDecimal32(work->value));
      break;
    case AvpType::kUnsigned64:
      AppendAvpUint64(target, code, mandatory, vendor, ReadDecimal64(work->value));
      break;
    case AvpType::kText:
      AppendAvpText(target, code, mandatory, vendor, work->value);
      break;
    case AvpType::kOctets: {
      uint32_t count = DecodeHex(work->value, work->octets);
      AppendAvp(target, code, mandatory, vendor, work->octets, count);
      break;
    }
    case AvpType::kAddress:
      AppendAvpAddress(target, code, mandatory, vendor, work->value);
      break;
    case AvpType::kGrouped:
    case AvpType::kNone:
      break;
  }
}

// Ends the innermost open group: its AVP goes to the level around it, unless nothing was built
// inside it.
void CloseGroup(BuildWork* work, int* depth, ByteBuffer** output) {
  GroupLevel* group = &work->levels[*depth];
  --*depth;
  ByteBuffer** parent = *depth == 0 ? output : &work->levels[*depth].inner;
  if (group->inner != nullptr) {
    AppendAvpGrouped(parent, group->code, group->mandatory, group->vendor, group->inner);
    BufferRelease(&group->inner);
  }
}

}  // namespace

// The levels are kept in one loop rather than by calling itself for each group, so that the
// depth of a template never reaches the stack. Groups up to kMaxGroupDepth deep are built; a
// group left out, or one deeper than that, is passed over with all its content, counted only by
// how many of its own levels are open. The values of passed-over elements are still filled, so
// that placeholders with side effects (the request counter) count every element read.
const char* ReferenceBuildAvps(const char** cursor, ByteBuffer** output,
                               const RequestValues* values) {
  auto* work = static_cast<BuildWork*>(MemAlloc(sizeof(BuildWork)));
  if (work == nullptr) {
    *cursor = nullptr;
    return nullptr;
  }
  int depth = 0;             // open groups being built
  uint64_t skippedOpen = 0;  // open levels of a group being passed over
  const char* at = *cursor;

  for (;;) {
    at = ReferenceNextElement(at, work->name);
    if (at == nullptr) break;
    if (work->name[0] == '/') {
      // Any end tag ends the innermost open level, whatever its name.
      if (skippedOpen > 0) {
        --skippedOpen;
      } else if (depth > 0) {
        CloseGroup(work, &depth, output);
      } else {
        break;
      }
      continue;
    }
    if (!platform::TextEqualNoCase(work->name, "avp")) continue;

    ReferenceGetAttribute(at, "type", work->attribute);
    AvpType type = TypeOf(work->attribute);
    if (skippedOpen > 0) {
      ReferenceGetAttribute(at, "value", work->value);
      ReferenceSubstitutePlaceholders(work->value, values);
      if (type == AvpType::kGrouped) ++skippedOpen;
      continue;
    }

    ReferenceGetAttribute(at, "code", work->attribute);
    uint32_t code = ReadDecimal32(work->attribute);
    ReferenceGetAttribute(at, "vendor", work->attribute);
    uint32_t vendor = ReadDecimal32(work->attribute);
    ReferenceGetAttribute(at, "mandatory", work->attribute);
    int mandatory = IsTruthy(work->attribute);
    ReferenceGetAttribute(at, "omitifblank", work->attribute);
    int omitIfBlank = IsTruthy(work->attribute);
    ReferenceGetAttribute(at, "extensionset", work->attribute);
    int leftOut = work->attribute[0] != '\0' &&
                  !ListsIntersect(work->attribute, Settings.SupportedExtensionSets);

    ReferenceGetAttribute(at, "value", work->value);
    ReferenceSubstitutePlaceholders(work->value, values);
    if (omitIfBlank && work->value[0] == '\0') leftOut = 1;

    if (type == AvpType::kGrouped) {
      if (leftOut || depth == kMaxGroupDepth) {
        skippedOpen = 1;
      } else {
        ++depth;
        work->levels[depth] = GroupLevel{code, vendor, mandatory, nullptr};
      }
      continue;
    }
    if (leftOut) continue;
    ByteBuffer** target = depth == 0 ? output : &work->levels[depth].inner;
    EncodeValue(target, type, code, mandatory, vendor, work);
  }

  // A text that ends inside groups ends all of them; the groups open then are still appended.
  if (at == nullptr) {
    while (depth > 0) CloseGroup(work, &depth, output);
  }
  MemFree(work);
  *cursor = at;
  return at;
}

}  // namespace reference_builder
