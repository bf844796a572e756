// The per-request values and the "@@...@@" placeholders that fill template values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "message/byte_buffer.h"

// Eleven text slots of one request; each is empty or a buffer holding a NUL-terminated text.
struct RequestValues {
  ByteBuffer* sessionId;
  ByteBuffer* timeStamp;
  ByteBuffer* sender;
  ByteBuffer* recip;
  ByteBuffer* timeZone;
  ByteBuffer* sgsnMccMnc;
  ByteBuffer* sgsnAddress;
  ByteBuffer* senderAddressType;
  ByteBuffer* recipAddressType;
  ByteBuffer* msgSize;
  ByteBuffer* vaspId;
};

// The eleven slots of a record, in the order above.
constexpr size_t kRequestSlotCount = 11;
std::array<ByteBuffer**, kRequestSlotCount> RequestValueSlots(RequestValues* values);

constexpr int32_t kPlaceholderTextSize = 8192;  // the writable area every value lives in

// Set by the peer thread when it begins a capabilities exchange attempt.
extern uint32_t ServerStartTime;  // seconds since 1970
extern uint32_t RequestCounter;

// Replaces every occurrence of token, in the form passed, all lower case and all upper case, by
// replacement, in place; the result is cut to size - 1 characters.
void ReplaceAll(char* text, const char* token, const char* replacement, int32_t size);
// Fills the placeholders of a value text (in an area of kPlaceholderTextSize bytes); values may
// be nullptr (the capabilities request).
void SubstitutePlaceholders(char* text, const RequestValues* values);
