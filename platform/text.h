// 8-bit text helpers: case-insensitive comparison and case conversion of the letters A to Z.
#pragma once

namespace platform {

char AsciiLower(char c);
char AsciiUpper(char c);
// Compares two texts ignoring the case of A to Z: below 0, 0 or above 0 as strcmp does.
int TextCompareNoCase(const char* a, const char* b);
int TextEqualNoCase(const char* a, const char* b);  // 1 when equal ignoring case
void TextToLower(char* text);
void TextToUpper(char* text);

}  // namespace platform
