// Fills the "@@...@@" placeholders of template values from the settings and the request values.
#include "message/placeholders.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "app/settings.h"
#include "message/memory.h"
#include "platform/text.h"

uint32_t ServerStartTime = 0;
uint32_t RequestCounter = 0;

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
  ReplaceAll(text, token, number, kPlaceholderTextSize);
}

}  // namespace

// Every occurrence of the token as passed is replaced first, then of its lower-case form, then of
// its upper-case form, each from the start of the text. Only the caller's own text is searched:
// what a replacement inserted is never searched again, and no occurrence may reach into it, so a
// replacement that holds the token cannot make the substitution run on without end. After every
// replacement the text is cut to size - 1 characters.
void ReplaceAll(char* text, const char* token, const char* replacement, int32_t size) {
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

void SubstitutePlaceholders(char* text, const RequestValues* values) {
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
    ReplaceAll(text, step.token, step.setting, kPlaceholderTextSize);
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
    ReplaceAll(text, step.token, slot, kPlaceholderTextSize);
  }

  // The computed values: each only when its placeholder occurs exactly as written here.
  constexpr char kLocationToken[] = "@@UserLocationInfo@@";
  if (strstr(text, kLocationToken) != nullptr) {
    char location[kLocationTextSize] = "";
    const char* mccMnc = values != nullptr ? SlotText(values->sgsnMccMnc) : "";
    if (mccMnc[0] != '\0') BuildLocationText(mccMnc, location);
    ReplaceAll(text, kLocationToken, location, kPlaceholderTextSize);
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
