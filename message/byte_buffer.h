// The growable byte buffer in which AVPs, message bodies, whole messages and request texts are
// built. A buffer is held through a reference that stays empty until the first append.
#pragma once

#include <cstdint>

struct ByteBuffer {
  uint32_t capacity;  // data bytes the block is sized for
  uint32_t length;    // data bytes held
  uint8_t bytes[];    // the data, always followed by one 0 byte
};

constexpr uint32_t kBufferFirstCapacity = 4096;
constexpr uint32_t kBufferGrowthRoom = 256;  // added to a first append or a growth beyond need
constexpr uint32_t kBufferBlockExtra = 16;   // the block is asked for with capacity + 16 bytes
// The largest capacity a buffer can have: its counters are 32-bit.
constexpr uint64_t kBufferCapacityLimit = UINT32_MAX;

// Appends count bytes (count may be 0), creating or growing the buffer, then writes the 0 byte
// after the data. When the heap is exhausted on growth the reference is emptied (the old block
// released) and nothing is appended.
void BufferAppend(ByteBuffer** target, const void* data, uint32_t count);
void BufferAppendText(ByteBuffer** target, const char* text);
// Releases the buffer, if any, and empties the reference.
void BufferRelease(ByteBuffer** target);
