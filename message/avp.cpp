// AVP and message header encoding in network byte order.
#include "message/avp.h"

#include <cstring>

#include "message/diameter.h"
#include "message/wire_read.h"
#include "platform/socket.h"

namespace {

void AppendWord(ByteBuffer** target, uint32_t value) {
  uint8_t word[4];
  WriteU32(word, value);
  BufferAppend(target, word, sizeof word);
}

}  // namespace

void AppendAvp(ByteBuffer** target, uint32_t code, int mandatory, uint32_t vendor, const void* data,
               uint32_t count) {
  uint32_t word = (count + (vendor != 0 ? kAvpVendorHeaderSize : kAvpHeaderSize)) & kLength24Mask;
  if (mandatory) word += uint32_t{kAvpFlagMandatory} << 24;
  if (vendor != 0) word += uint32_t{kAvpFlagVendor} << 24;
  AppendWord(target, code);
  AppendWord(target, word);
  if (vendor != 0) AppendWord(target, vendor);
  BufferAppend(target, data, count);
  static constexpr uint8_t kZero = 0;
  for (uint32_t padded = count; padded % 4 != 0; ++padded) BufferAppend(target, &kZero, 1);
}

void AppendAvpText(ByteBuffer** target, uint32_t code, int mandatory, uint32_t vendor,
                   const char* text) {
  AppendAvp(target, code, mandatory, vendor, text, static_cast<uint32_t>(strlen(text)));
}

void AppendAvpUint32(ByteBuffer** target, uint32_t code, int mandatory, uint32_t vendor,
                     uint32_t value) {
  uint8_t data[4];
  WriteU32(data, value);
  AppendAvp(target, code, mandatory, vendor, data, sizeof data);
}

void AppendAvpUint64(ByteBuffer** target, uint32_t code, int mandatory, uint32_t vendor,
                     uint64_t value) {
  uint8_t data[8];
  WriteU32(data, static_cast<uint32_t>(value >> 32));
  WriteU32(data + 4, static_cast<uint32_t>(value));
  AppendAvp(target, code, mandatory, vendor, data, sizeof data);
}

void AppendAvpAddress(ByteBuffer** target, uint32_t code, int mandatory, uint32_t vendor,
                      const char* dotted) {
  uint32_t address = platform::InetAddr(dotted);  // network order already
  uint8_t data[6] = {0, 1};
  memcpy(data + 2, &address, 4);
  AppendAvp(target, code, mandatory, vendor, data, sizeof data);
}

void AppendAvpGrouped(ByteBuffer** target, uint32_t code, int mandatory, uint32_t vendor,
                      const ByteBuffer* inner) {
  AppendAvp(target, code, mandatory, vendor, inner != nullptr ? inner->bytes : nullptr,
            inner != nullptr ? inner->length : 0);
}

void AppendMessageHeader(ByteBuffer** target, uint32_t commandCode, uint32_t applicationId,
                         uint32_t hopByHop, uint32_t endToEnd, const ByteBuffer* body) {
  uint32_t bodyLength = body != nullptr ? body->length : 0;
  AppendWord(target, 0x01000000u + ((bodyLength + kHeaderSize) & kLength24Mask));
  uint32_t flags = uint32_t{kCommandFlagRequest} << 24;
  if (commandCode != kCommandCapabilitiesExchange) flags += uint32_t{kCommandFlagProxiable} << 24;
  AppendWord(target, (commandCode & kLength24Mask) + flags);
  AppendWord(target, applicationId);
  AppendWord(target, hopByHop);
  AppendWord(target, endToEnd);
  if (body != nullptr) BufferAppend(target, body->bytes, body->length);
}
