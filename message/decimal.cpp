// Wrapping decimal reading shared by the template dialect and the peer connection.
#include "message/decimal.h"

namespace {

template <typename T>
T ReadDecimal(const char* text) {
  while (*text == ' ' || (*text >= 9 && *text <= 13)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  T value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + static_cast<T>(*text - '0');
  return negative ? static_cast<T>(T{0} - value) : value;
}

}  // namespace

uint32_t ReadDecimal32(const char* text) {
  return ReadDecimal<uint32_t>(text);
}
uint64_t ReadDecimal64(const char* text) {
  return ReadDecimal<uint64_t>(text);
}
