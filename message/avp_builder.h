// The template dialect's AVP tree builder: `avp` elements become encoded AVPs.
#pragma once

#include "message/byte_buffer.h"
#include "message/placeholders.h"

constexpr int kMaxGroupDepth = 32;  // deeper groups are passed over with their content

// Walks the `avp` elements after the start tag at *cursor and appends the encoded AVPs to
// *output in template order. Returns the cursor at the end tag that ended the level (also
// stored in *cursor), or nullptr when the text ran out.
const char* BuildAvps(const char** cursor, ByteBuffer** output, const RequestValues* values);
// 1 when the two comma-separated lists share an entry (any case).
int ListsIntersect(const char* first, const char* second);
