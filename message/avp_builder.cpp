// Builds the AVP body of one request from the `avp` elements of a template.
#include "message/avp_builder.h"

#include <cstddef>
#include <cstring>

#include "app/settings.h"
#include "message/avp.h"
#include "message/decimal.h"
#include "message/memory.h"
#include "message/scanner.h"
#include "platform/text.h"

namespace {

constexpr size_t kOctetsLimit = kAttributeLimit / 2;  // decoded bytes of an OctetString value

enum class AvpType { kNone, kGrouped, kUnsigned32, kUnsigned64, kText, kOctets, kAddress };

// The case-insensitive text comparison, for the names of the dialect: the letters A to Z only.
char LowerLetter(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
bool EqualNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (LowerLetter(*a) != LowerLetter(*b)) return false;
    if (*a == '\0') return true;
  }
}

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
    if (EqualNoCase(name, entry.name)) return entry.type;
  }
  return AvpType::kNone;
}

// The attributes of an `avp` element that the builder reads, by their index in kAttributeNames.
enum AttributeIndex { kType, kCode, kVendor, kMandatory, kOmitIfBlank, kExtensionSet, kValue };
constexpr int kAttributeCount = kValue + 1;
constexpr const char* kAttributeNames[kAttributeCount] = {
    "type", "code", "vendor", "mandatory", "omitifblank", "extensionset", "value"};

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
  AttributeNames wanted;  // kAttributeNames, prepared for the lookups
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

int ListsIntersect(const char* first, const char* second) {
  // Entries run up to the next ","; blanks right after a "," are passed over. An empty entry
  // names no extension set and matches nothing.
  for (const char* a = first;;) {
    const char* aEnd = strchr(a, ',');
    size_t aLength = aEnd != nullptr ? static_cast<size_t>(aEnd - a) : strlen(a);
    if (aLength > 0) {
      for (const char* b = second;;) {
        const char* bEnd = strchr(b, ',');
        size_t bLength = bEnd != nullptr ? static_cast<size_t>(bEnd - b) : strlen(b);
        if (bLength == aLength) {
          size_t i = 0;
          while (i < aLength && platform::AsciiLower(a[i]) == platform::AsciiLower(b[i])) ++i;
          if (i == aLength) return 1;
        }
        if (bEnd == nullptr) break;
        b = bEnd + 1;
        while (*b == ' ') ++b;
      }
    }
    if (aEnd == nullptr) return 0;
    a = aEnd + 1;
    while (*a == ' ') ++a;
  }
}

// The levels are kept in one loop rather than by calling itself for each group, so that the
// depth of a template never reaches the stack. Groups up to kMaxGroupDepth deep are built; a
// group left out, or one deeper than that, is passed over with all its content, counted only by
// how many of its own levels are open. The values of passed-over elements are still filled, so
// that placeholders with side effects (the request counter) count every element read.
const char* BuildAvps(const char** cursor, ByteBuffer** output, const RequestValues* values) {
  auto* work = static_cast<BuildWork*>(MemAlloc(sizeof(BuildWork)));
  if (work == nullptr) {
    *cursor = nullptr;
    return nullptr;
  }
  PrepareAttributeNames(&work->wanted, kAttributeNames, kAttributeCount);
  int depth = 0;             // open groups being built
  uint64_t skippedOpen = 0;  // open levels of a group being passed over
  const char* at = *cursor;

  for (;;) {
    at = NextElement(at, work->name);
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
    if (!EqualNoCase(work->name, "avp")) continue;

    // The tag is read once for all the attributes.
    FoundAttribute found[kAttributeCount];
    FindAttributes(at, &work->wanted, found);
    ReadFoundAttribute(&found[kType], work->attribute);
    AvpType type = TypeOf(work->attribute);
    if (skippedOpen > 0) {
      ReadFoundAttribute(&found[kValue], work->value);
      SubstitutePlaceholders(work->value, values);
      if (type == AvpType::kGrouped) ++skippedOpen;
      continue;
    }

    ReadFoundAttribute(&found[kCode], work->attribute);
    uint32_t code = ReadDecimal32(work->attribute);
    ReadFoundAttribute(&found[kVendor], work->attribute);
    uint32_t vendor = ReadDecimal32(work->attribute);
    ReadFoundAttribute(&found[kMandatory], work->attribute);
    int mandatory = IsTruthy(work->attribute);
    ReadFoundAttribute(&found[kOmitIfBlank], work->attribute);
    int omitIfBlank = IsTruthy(work->attribute);
    ReadFoundAttribute(&found[kExtensionSet], work->attribute);
    int leftOut = work->attribute[0] != '\0' &&
                  !ListsIntersect(work->attribute, Settings.SupportedExtensionSets);

    ReadFoundAttribute(&found[kValue], work->value);
    SubstitutePlaceholders(work->value, values);
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
