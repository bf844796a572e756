// Encoders that append one Diameter AVP of a given data type, or one message header, to a buffer.
#pragma once

#include <cstdint>

#include "message/byte_buffer.h"

void AppendAvp(ByteBuffer** target, uint32_t code, int mandatory, uint32_t vendor, const void* data,
               uint32_t count);
void AppendAvpText(ByteBuffer** target, uint32_t code, int mandatory, uint32_t vendor,
                   const char* text);
void AppendAvpUint32(ByteBuffer** target, uint32_t code, int mandatory, uint32_t vendor,
                     uint32_t value);
void AppendAvpUint64(ByteBuffer** target, uint32_t code, int mandatory, uint32_t vendor,
                     uint64_t value);
// IPv4 Address: family 1, then the address given as dotted text (all ones when it is none).
void AppendAvpAddress(ByteBuffer** target, uint32_t code, int mandatory, uint32_t vendor,
                      const char* dotted);
void AppendAvpGrouped(ByteBuffer** target, uint32_t code, int mandatory, uint32_t vendor,
                      const ByteBuffer* inner);

// Appends the 20-byte header (R always, P unless the command is 257) and the body's bytes. An
// empty body reference gives a bare 20-byte header.
void AppendMessageHeader(ByteBuffer** target, uint32_t commandCode, uint32_t applicationId,
                         uint32_t hopByHop, uint32_t endToEnd, const ByteBuffer* body);
