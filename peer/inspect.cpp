// Reading answers: the AVP walk for Result-Codes and vendor ids, and the result-code-ok lists.
#include "peer/inspect.h"

#include <cstdio>
#include <cstring>

#include "app/log.h"
#include "app/settings.h"
#include "message/diameter.h"
#include "message/wire_read.h"
#include "platform/text.h"

namespace {

constexpr uint32_t kLeastAvpWalk = 12;  // an AVP header and one word must fit before the end
constexpr uint32_t kValueOffset = kAvpHeaderSize;
constexpr uint32_t kValueEnd = kAvpHeaderSize + 4;  // a non-vendor AVP that holds a 32-bit value
constexpr size_t kCodeTextSize = 12;

struct AvpAt {
  uint32_t code;
  uint32_t flags;
  uint32_t length;
};

// Walks the AVPs of a container from first to end (end already limited to the readable bytes),
// calling visit for every AVP that lies wholly within the end; visit returns 0 to stop. An AVP
// Length below the AVP header ends the walk there, so the walk always moves on.
template <typename Visit>
void WalkAvps(const uint8_t* bytes, uint32_t first, uint32_t end, Visit visit) {
  uint32_t pos = first;
  while (pos <= end && end - pos >= kLeastAvpWalk) {
    AvpAt avp{};
    uint32_t word = 0;
    ReadU32(bytes, end, pos, &avp.code);
    ReadU32(bytes, end, pos + 4, &word);
    avp.flags = word >> 24;
    avp.length = word & kLength24Mask;
    if (avp.length < kAvpHeaderSize) return;
    if (avp.length <= end - pos && !visit(pos, avp)) return;
    uint32_t step = (avp.length + 3u) & ~3u;
    if (step > end - pos) return;
    pos += step;
  }
}

bool IsVendorSpecific(const AvpAt& avp) {
  return (avp.flags & kAvpFlagVendor) != 0;
}

// The 32-bit value of a non-vendor AVP; 0 when the AVP is too short to hold one.
int ValueOf(const uint8_t* bytes, uint32_t end, uint32_t pos, const AvpAt& avp, uint32_t* value) {
  *value = 0;
  if (avp.length < kValueEnd) return 0;
  return ReadU32(bytes, end, pos + kValueOffset, value);
}

uint32_t ReadableEnd(const uint8_t* bytes, uint32_t size, uint32_t lengthOffset) {
  uint32_t length = 0;
  if (!ReadU24(bytes, size, lengthOffset, &length)) return 0;
  return length < size ? length : size;
}

}  // namespace

uint32_t ExtractNestedResultCode(const uint8_t* avp, uint32_t size) {
  uint32_t end = ReadableEnd(avp, size, 5);
  uint32_t best = 0;
  WalkAvps(avp, kAvpHeaderSize, end, [&](uint32_t pos, const AvpAt& inner) {
    uint32_t value = 0;
    if (!IsVendorSpecific(inner) && inner.code == kAvpResultCode &&
        ValueOf(avp, end, pos, inner, &value) && value >= best) {
      best = value;
    }
    LogPrint("%s-AVP Code %u, Len %u\r\n", IsVendorSpecific(inner) ? "-Vendor specific " : "",
             inner.code, inner.length);
    return 1;
  });
  return best;
}

uint32_t ExtractResultCode(const uint8_t* message, uint32_t size) {
  uint32_t end = ReadableEnd(message, size, 1);
  uint32_t best = 0;
  WalkAvps(message, kHeaderSize, end, [&](uint32_t pos, const AvpAt& avp) {
    uint32_t value = 0;
    if (!IsVendorSpecific(avp) && avp.code == kAvpResultCode) {
      if (ValueOf(message, end, pos, avp, &value) && value >= best) best = value;
    } else if (!IsVendorSpecific(avp) && avp.code == kAvpMultipleServicesCreditControl) {
      value = ExtractNestedResultCode(message + pos, avp.length);
      if (value >= best) best = value;
    }
    LogPrint("%sAVP Code %u, Len %u\r\n", IsVendorSpecific(avp) ? "Vendor specific " : "", avp.code,
             avp.length);
    return 1;
  });
  LogPrint("Result Code %u\r\n", best);
  return best;
}

int HasVendorId(const uint8_t* message, uint32_t size, uint32_t vendor) {
  uint32_t end = ReadableEnd(message, size, 1);
  int found = 0;
  WalkAvps(message, kHeaderSize, end, [&](uint32_t pos, const AvpAt& avp) {
    uint32_t value = 0;
    if (!IsVendorSpecific(avp) && (avp.code == kAvpSupportedVendorId || avp.code == kAvpVendorId) &&
        ValueOf(message, end, pos, avp, &value) && value == vendor) {
      found = 1;
    }
    return found ? 0 : 1;
  });
  return found;
}

int IsCodeInList(char* list, uint32_t code) {
  char text[kCodeTextSize];
  snprintf(text, sizeof text, "%u", code);
  char* entry = list;
  int match = 0;
  while (entry != nullptr && *entry != '\0' && !match) {
    char* comma = strchr(entry, ',');
    if (comma != nullptr) *comma = '\0';
    match = platform::TextEqualNoCase(entry, text);
    if (comma != nullptr) {
      *comma = ',';
      entry = const_cast<char*>(SkipSpaces(comma + 1));
    } else {
      entry = nullptr;
    }
  }
  return match;
}
