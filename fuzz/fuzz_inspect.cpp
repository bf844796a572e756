// Fuzzes the reading of answers: Result-Codes at the top level and inside
// Multiple-Services-Credit-Control, the vendor ids of a capabilities answer, and the
// result-code-ok lists, over arbitrary message bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "message/diameter.h"
#include "message/wire_read.h"
#include "peer/inspect.h"

namespace {

// The bytes in a block of exactly their size, so that any read past the end is seen.
uint8_t* CopyExact(const uint8_t* data, size_t size) {
  auto* copy = static_cast<uint8_t*>(malloc(size == 0 ? 1 : size));
  if (size > 0) memcpy(copy, data, size);
  return copy;
}

// A Result-Code found must be the value of some AVP in the message: its four bytes lie in the
// message at a word boundary after the header.
bool OccursAsValue(const uint8_t* message, uint32_t size, uint32_t value) {
  uint8_t word[4];
  WriteU32(word, value);
  for (uint32_t at = kHeaderSize + kAvpHeaderSize; at + 4 <= size; at += 4) {
    if (memcmp(message + at, word, 4) == 0) return true;
  }
  return false;
}

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

// What a result-code-ok list means: entries split at ",", the spaces after a comma passed over,
// each compared with the code's decimal text.
bool ListHolds(const std::string& list, uint32_t code) {
  char text[12];
  snprintf(text, sizeof text, "%u", code);
  size_t at = 0;
  for (;;) {
    size_t comma = list.find(',', at);
    std::string entry =
        list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (SameNoCase(entry, text)) return true;
    if (comma == std::string::npos) return false;
    at = comma + 1;
    while (at < list.size() && list[at] == ' ') ++at;
    if (at == list.size()) return false;  // nothing after the last comma
  }
}

void CheckList(const uint8_t* data, size_t size, uint32_t code) {
  std::string list(reinterpret_cast<const char*>(data),
                   strnlen(reinterpret_cast<const char*>(data), size));
  char* text = static_cast<char*>(malloc(list.size() + 1));
  memcpy(text, list.c_str(), list.size() + 1);
  int held = IsCodeInList(text, code);
  if (memcmp(text, list.c_str(), list.size() + 1) != 0) abort();  // the list is restored
  if (held != (list.empty() ? 0 : ListHolds(list, code) ? 1 : 0)) abort();
  free(text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QuietConsole();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX) return 0;
  uint8_t* message = CopyExact(data, size);
  uint32_t length = static_cast<uint32_t>(size);

  uint32_t code = ExtractResultCode(message, length);
  if (code != 0 && !OccursAsValue(message, length, code)) abort();
  // Bytes after the Message Length are not part of the message.
  uint32_t declared = 0;
  if (ReadU24(message, length, 1, &declared) && declared < length) {
    uint8_t* cut = CopyExact(message, declared);
    if (ExtractResultCode(cut, declared) != code) abort();
    free(cut);
  }
  // The message as an AVP of its own, as the nested walk sees a Multiple-Services-Credit-Control.
  uint32_t nested = ExtractNestedResultCode(message, length);
  (void)nested;

  uint32_t first = 0;
  ReadU32(message, length, kHeaderSize + kAvpHeaderSize, &first);
  const uint32_t vendors[] = {kVendor3GPP, kVendorScap, first, code};
  for (uint32_t vendor : vendors) {
    if (HasVendorId(message, length, vendor) && !OccursAsValue(message, length, vendor)) abort();
  }

  // The same bytes as a result-code-ok list, against the code found and the usual ones.
  const uint32_t codes[] = {code, kResultSuccess, first, 0};
  for (uint32_t c : codes) CheckList(data, size, c);

  free(message);
  return 0;
}
