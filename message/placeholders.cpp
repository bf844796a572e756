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

// The placeholders in the order of their steps: the settings, the request values, then the
// computed values, whose steps are made only when the placeholder occurs exactly as written.
constexpr int kSettingSteps = 12;
constexpr int kSlotSteps = 11;
constexpr int kAnyFormSteps = kSettingSteps + kSlotSteps;  // ReplaceAll's three forms count
constexpr const char* kSteps[] = {
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
};
constexpr int kStepCount = static_cast<int>(sizeof kSteps / sizeof kSteps[0]);
static_assert(kStepCount == kAnyFormSteps + 5 && kStepCount <= 32);

// The case rules of the text helpers: the letters A to Z only.
constexpr char LowerLetter(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr char UpperLetter(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// 1 when the text at p begins with token as written or, when anyForm, all in lower or all in
// upper case: the forms ReplaceAll looks for. The text's NUL differs from every byte of a token.
bool BeginsWithToken(const char* p, const char* token, bool anyForm) {
  bool asPassed = true;
  bool lower = anyForm;
  bool upper = anyForm;
  for (; *token != '\0'; ++p, ++token) {
    char c = *p;
    asPassed = asPassed && c == *token;
    lower = lower && c == LowerLetter(*token);
    upper = upper && c == UpperLetter(*token);
    if (!asPassed && !lower && !upper) return false;
  }
  return true;
}

constexpr size_t kLongestStepToken = 40;

// Quick sieves before the whole comparison. By the third byte of a place (after the two marks):
// the steps whose placeholder can have it there in a form that step looks for. By the length
// from a place to the end of the next two marks: the steps whose placeholder has that length.
// A placeholder holds marks only at its two ends, so where it occurs, the next mark after its
// first two begins its last two.
struct StepSieve {
  uint32_t byThird[256];
  uint32_t byLength[kLongestStepToken + 1];
};
constexpr StepSieve MakeStepSieve() {
  StepSieve sieve{};
  for (int step = 0; step < kStepCount; ++step) {
    const char* token = kSteps[step];
    size_t length = 0;
    while (token[length] != '\0') ++length;
    uint32_t bit = 1u << step;
    sieve.byLength[length] |= bit;
    uint8_t third = static_cast<uint8_t>(token[2]);
    sieve.byThird[third] |= bit;
    if (step < kAnyFormSteps) {
      sieve.byThird[static_cast<uint8_t>(LowerLetter(token[2]))] |= bit;
      sieve.byThird[static_cast<uint8_t>(UpperLetter(token[2]))] |= bit;
    }
  }
  return sieve;
}
constexpr StepSieve kStepSieve = MakeStepSieve();

// The shape the sieves rely on: two marks at each end and none between.
constexpr bool StepTokensAreFramed() {
  for (const char* token : kSteps) {
    size_t length = 0;
    while (token[length] != '\0') ++length;
    if (length < 5 || length > kLongestStepToken) return false;
    for (size_t i = 0; i < length; ++i) {
      bool end = i < 2 || i + 2 >= length;
      if ((token[i] == kPlaceholderMark) != end) return false;
    }
  }
  return true;
}
static_assert(StepTokensAreFramed());

// Bit s for each step s from first on whose placeholder occurs in text in a form that step
// looks for. Every form begins with two marks, so only the places of two marks are tried.
uint32_t OccurringSteps(const char* text, int first) {
  const uint32_t wanted = first >= kStepCount ? 0u : ~((1u << first) - 1u);
  uint32_t steps = 0;
  for (const char* p = strchr(text, kPlaceholderMark); p != nullptr;
       p = strchr(p + 1, kPlaceholderMark)) {
    if (p[1] != kPlaceholderMark) continue;
    uint32_t candidates = kStepSieve.byThird[static_cast<uint8_t>(p[2])] & wanted & ~steps;
    if (candidates == 0) continue;
    const char* close = strchr(p + 2, kPlaceholderMark);
    if (close == nullptr || close[1] != kPlaceholderMark) continue;
    size_t length = static_cast<size_t>(close - p) + 2;
    if (length > kLongestStepToken) continue;
    candidates &= kStepSieve.byLength[length];
    for (; candidates != 0; candidates &= candidates - 1) {
      int step = __builtin_ctz(candidates);
      if (BeginsWithToken(p, kSteps[step], step < kAnyFormSteps)) steps |= 1u << step;
    }
  }
  return steps;
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
  if (length == area) text[length - 1] = '\0';
  if (!HoldsMarkPair(text, length)) return;

  // A step whose placeholder does not occur would change nothing: only the steps found in the
  // text are made, and after each of them the text is searched again, since a replacement can
  // bring in placeholders of later steps or join the text around it into one.
  uint32_t occurring = OccurringSteps(text, 0);
  int step = 0;
  auto replace = [&](const char* replacement) {
    ReplaceAll(text, kSteps[step], replacement, kPlaceholderTextSize);
    occurring = OccurringSteps(text, step + 1);
  };
  auto occurs = [&] { return (occurring >> step & 1u) != 0; };

  const char* const settings[kSettingSteps] = {
      Settings.OriginHost,        Settings.OriginRealm,
      Settings.HostIPAddress,     Settings.ProductName,
      Settings.DestinationRealm,  Settings.ServiceContextId,
      Settings.ServiceIdentifier, Settings.CCServiceSpecificUnits,
      Settings.CCMoney,           Settings.CurrencyCode,
      Settings.ServiceProviderId, Settings.SubscriptionIdLocation,
  };
  for (const char* setting : settings) {
    if (occurs()) replace(setting);
    ++step;
  }

  ByteBuffer* RequestValues::*const slots[kSlotSteps] = {
      &RequestValues::sessionId,
      &RequestValues::timeStamp,
      &RequestValues::timeZone,
      &RequestValues::sender,
      &RequestValues::senderAddressType,
      &RequestValues::recip,
      &RequestValues::recipAddressType,
      &RequestValues::sgsnMccMnc,
      &RequestValues::sgsnAddress,
      &RequestValues::msgSize,
      &RequestValues::vaspId,
  };
  for (ByteBuffer* RequestValues::*slot : slots) {
    if (occurs()) replace(values != nullptr ? SlotText(values->*slot) : "");
    ++step;
  }

  // The computed values: each only when its placeholder occurs exactly as written.
  char number[kNumberTextSize];
  auto replaceNumber = [&](uint32_t value) {
    snprintf(number, sizeof number, "%u", value);
    replace(number);
  };
  if (occurs()) {  // @@UserLocationInfo@@
    char location[kLocationTextSize] = "";
    const char* mccMnc = values != nullptr ? SlotText(values->sgsnMccMnc) : "";
    if (mccMnc[0] != '\0') BuildLocationText(mccMnc, location);
    replace(location);
  }
  ++step;
  if (occurs()) replaceNumber(static_cast<uint32_t>(Settings.CCMoneyValueDigits));
  ++step;
  if (occurs()) replaceNumber(static_cast<uint32_t>(Settings.CCMoneyExponent));
  ++step;
  if (occurs()) replaceNumber(ServerStartTime);
  ++step;
  if (occurs()) {  // @@RequestCounter@@
    ++RequestCounter;
    replaceNumber(RequestCounter);
  }
}

std::array<ByteBuffer**, kRequestSlotCount> RequestValueSlots(RequestValues* values) {
  return {&values->sessionId,
          &values->timeStamp,
          &values->sender,
          &values->recip,
          &values->timeZone,
          &values->sgsnMccMnc,
          &values->sgsnAddress,
          &values->senderAddressType,
          &values->recipAddressType,
          &values->msgSize,
          &values->vaspId};
}
