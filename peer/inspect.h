// Reading answers: Result-Codes (also inside Multiple-Services-Credit-Control), vendor ids, and
// the result-code-ok lists of the templates.
#pragma once

#include <cstdint>

// The largest Result-Code of the message (size bytes are readable at message), top level or
// directly inside a Multiple-Services-Credit-Control; 0 when there is none. Logs each AVP.
uint32_t ExtractResultCode(const uint8_t* message, uint32_t size);
// The largest Result-Code directly inside the Multiple-Services-Credit-Control AVP at avp, of
// which size bytes are readable. Logs each nested AVP.
uint32_t ExtractNestedResultCode(const uint8_t* avp, uint32_t size);
// 1 when a top-level, non-vendor Supported-Vendor-Id or Vendor-Id holds vendor.
int HasVendorId(const uint8_t* message, uint32_t size, uint32_t vendor);
// 1 when an entry of the comma-separated list equals the code's decimal text. The list is
// changed while the call runs and restored before it returns.
int IsCodeInList(char* list, uint32_t code);
