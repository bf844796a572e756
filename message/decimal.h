// Decimal numbers as templates and settings write them: leading white space (bytes 9 to 13 and
// 32), an optional sign, digits up to the first other byte; no digits give 0; the value wraps.
#pragma once

#include <cstdint>

uint32_t ReadDecimal32(const char* text);
uint64_t ReadDecimal64(const char* text);
