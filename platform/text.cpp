// Case handling limited to the letters A to Z, independent of the locale.
#include "platform/text.h"

namespace platform {

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

int TextCompareNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char x = static_cast<unsigned char>(AsciiLower(*a));
    unsigned char y = static_cast<unsigned char>(AsciiLower(*b));
    if (x != y || x == 0) return x - y;
  }
}

int TextEqualNoCase(const char* a, const char* b) {
  return TextCompareNoCase(a, b) == 0 ? 1 : 0;
}

void TextToLower(char* text) {
  for (; *text != '\0'; ++text) *text = AsciiLower(*text);
}

void TextToUpper(char* text) {
  for (; *text != '\0'; ++text) *text = AsciiUpper(*text);
}

}  // namespace platform
