// Bounds-checked readers of big-endian fields in received bytes: a read outside the given size
// yields 0 and a false result, never a read past the end.
#pragma once

#include <cstddef>
#include <cstdint>

inline int ReadU8(const uint8_t* data, size_t size, size_t offset, uint32_t* out) {
  if (offset >= size) {
    *out = 0;
    return 0;
  }
  *out = data[offset];
  return 1;
}

inline int ReadU24(const uint8_t* data, size_t size, size_t offset, uint32_t* out) {
  if (offset > size || size - offset < 3) {
    *out = 0;
    return 0;
  }
  *out = (uint32_t{data[offset]} << 16) | (uint32_t{data[offset + 1]} << 8) | data[offset + 2];
  return 1;
}

inline int ReadU32(const uint8_t* data, size_t size, size_t offset, uint32_t* out) {
  if (offset > size || size - offset < 4) {
    *out = 0;
    return 0;
  }
  *out = (uint32_t{data[offset]} << 24) | (uint32_t{data[offset + 1]} << 16) |
         (uint32_t{data[offset + 2]} << 8) | data[offset + 3];
  return 1;
}

inline void WriteU32(uint8_t* data, uint32_t value) {
  data[0] = static_cast<uint8_t>(value >> 24);
  data[1] = static_cast<uint8_t>(value >> 16);
  data[2] = static_cast<uint8_t>(value >> 8);
  data[3] = static_cast<uint8_t>(value);
}
