// Fuzzes the way from template text to request bytes: the markup scanner, the AVP tree builder
// and placeholder filling, as the capabilities exchange and the charge walk a template.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "message/avp.h"
#include "message/avp_builder.h"
#include "message/byte_buffer.h"
#include "message/decimal.h"
#include "message/diameter.h"
#include "message/placeholders.h"
#include "message/scanner.h"
#include "message/wire_read.h"
#include "platform/text.h"

namespace {

RequestValues* values = nullptr;

// The encoders keep every AVP's length consistent with the bytes appended: walking the body by
// the lengths (padded to four) must end exactly at its end.
void CheckAvpWalk(const ByteBuffer* body) {
  if (body == nullptr) return;
  size_t at = 0;
  while (at < body->length) {
    uint32_t word = 0;
    if (!ReadU32(body->bytes, body->length, at + 4, &word)) abort();
    uint32_t length = word & kLength24Mask;
    uint32_t header = (word >> 24) & kAvpFlagVendor ? kAvpVendorHeaderSize : kAvpHeaderSize;
    if (length < header) abort();
    at += (static_cast<size_t>(length) + 3) & ~size_t{3};
  }
  if (at != body->length) abort();
  if (body->bytes[body->length] != 0) abort();  // the buffer's terminating zero
}

// Walks the template as the callers do: every `diameter` element, its attributes, its body.
void WalkTemplate(const char* text, const RequestValues* request) {
  static char attribute[kAttributeSize];
  char name[kElementNameSize];
  const char* cursor = text;
  while (cursor != nullptr) {
    cursor = NextElement(cursor, name);
    if (cursor == nullptr) break;
    if (strlen(name) > kElementNameLimit) abort();
    if (!platform::TextEqualNoCase(name, "diameter")) continue;
    GetAttribute(cursor, "command-code", attribute);
    uint32_t commandCode = ReadDecimal32(attribute);
    GetAttribute(cursor, "application-id", attribute);
    uint32_t applicationId = ReadDecimal32(attribute);
    GetAttribute(cursor, "result-code-ok", attribute);
    if (strlen(attribute) > kAttributeLimit) abort();

    ByteBuffer* body = nullptr;
    const char* end = BuildAvps(&cursor, &body, request);
    if (end != cursor) abort();
    CheckAvpWalk(body);
    ByteBuffer* message = nullptr;
    AppendMessageHeader(&message, commandCode, applicationId, 1, 2, body);
    if (message == nullptr || message->length != kHeaderSize + (body ? body->length : 0)) abort();
    BufferRelease(&body);
    BufferRelease(&message);
  }
}

// ReplaceAll as plain text: the passes of the token as given, in lower case and in upper case,
// each from the start; what a replacement put in is never matched again, and after every
// replacement the text is cut to size - 1.
std::string ModelReplaceAll(const std::string& text, std::string token, const std::string& with,
                            size_t size) {
  std::string out = text.substr(0, size - 1);
  std::string marks(out.size(), '\0');
  for (int pass = 0; pass < 3; ++pass) {
    for (char& c : token) {
      if (pass == 1 && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (pass == 2 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    size_t from = 0;
    for (;;) {
      size_t at = out.find(token, from);
      while (at != std::string::npos && marks.find('\1', at) < at + token.size()) {
        at = out.find(token, at + 1);
      }
      if (at == std::string::npos) break;
      out.replace(at, token.size(), with);
      marks.replace(at, token.size(), std::string(with.size(), '\1'));
      if (out.size() > size - 1) {
        out.resize(size - 1);
        marks.resize(size - 1);
      }
      from = at + with.size() < out.size() ? at + with.size() : out.size();
    }
  }
  return out;
}

void CheckReplaceAll(const uint8_t* data, size_t size) {
  struct Case {
    const char* token;
    const char* with;
    int32_t area;
  };
  // A replacement that holds the token in other case forms, one that grows and one that
  // shrinks the text, in a small area so that the cut at its end is reached.
  static const Case kCases[] = {
      {"@@Ab@@", "<@@ab@@|@@AB@@>", 64},
      {"a", "", 32},
      {"@@", "@@@", 48},
  };
  char area[64];
  for (const Case& c : kCases) {
    size_t kept = strnlen(reinterpret_cast<const char*>(data), size);
    if (kept > static_cast<size_t>(c.area) - 1) kept = static_cast<size_t>(c.area) - 1;
    memcpy(area, data, kept);
    area[kept] = '\0';
    std::string expected = ModelReplaceAll(area, c.token, c.with, static_cast<size_t>(c.area));
    ReplaceAll(area, c.token, c.with, c.area);
    if (expected != area) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QuietConsole();
  FillFuzzSettings();
  values = MakeFuzzRequestValues();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The text ends right after its NUL, so a read past it is seen by the address checker (the
  // cache gives more zero bytes, but the scanner must not need them).
  char* text = static_cast<char*>(malloc(size + 1));
  memcpy(text, data, size);
  text[size] = '\0';

  ServerStartTime = 1;
  RequestCounter = 0;
  WalkTemplate(text, nullptr);  // the capabilities exchange: no request values
  WalkTemplate(text, values);   // the charge

  // The attribute readers on every tag the scanner finds, position by position.
  static char attributeName[kAttributeSize];
  static char attributeValue[kAttributeSize];
  char name[kElementNameSize];
  for (const char* cursor = NextElement(text, name); cursor != nullptr;
       cursor = NextElement(cursor, name)) {
    for (int index = 1; index <= 4; ++index) {
      if (!ReadAttribute(cursor, index, attributeName, attributeValue)) break;
      if (strlen(attributeName) > kAttributeLimit || strlen(attributeValue) > kAttributeLimit) {
        abort();
      }
    }
  }

  // The placeholder filling over the start of the raw text, in the area every value lives in
  // (the cut at the area's end is tried by CheckReplaceAll in small areas; whole templates here
  // would only slow each input down).
  static char area[kPlaceholderTextSize];
  constexpr size_t kRawLimit = 2048;
  size_t kept = size < kRawLimit ? size : kRawLimit;
  memcpy(area, data, kept);
  area[kept] = '\0';
  SubstitutePlaceholders(area, values);
  if (strnlen(area, sizeof area) >= sizeof area) abort();

  CheckReplaceAll(data, size);
  free(text);
  return 0;
}
