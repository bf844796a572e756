// The request building as it stood before the single-pass attribute reading and the placeholder
// pre-scan, under other names: the yardstick of the comparison tests.
#pragma once

#include <cstdint>

#include "message/byte_buffer.h"
#include "message/placeholders.h"

namespace reference_scanner {
const char* ReferenceNextElement(const char* cursor, char* name);
int ReferenceGetAttribute(const char* cursor, const char* wanted, char* value);
int ReferenceReadAttribute(const char* cursor, int index, char* name, char* value);
}  // namespace reference_scanner

namespace reference_placeholders {
void ReferenceReplaceAll(char* text, const char* token, const char* replacement, int32_t size);
void ReferenceSubstitutePlaceholders(char* text, const RequestValues* values);
}  // namespace reference_placeholders

namespace reference_builder {
const char* ReferenceBuildAvps(const char** cursor, ByteBuffer** output,
                               const RequestValues* values);
}  // namespace reference_builder

using reference_builder::ReferenceBuildAvps;
using reference_placeholders::ReferenceReplaceAll;
using reference_placeholders::ReferenceSubstitutePlaceholders;
using reference_scanner::ReferenceGetAttribute;
using reference_scanner::ReferenceNextElement;
using reference_scanner::ReferenceReadAttribute;
