// Growth arithmetic and appends of the byte buffer.
#include "message/byte_buffer.h"

#include <cstring>

#include "message/memory.h"

void BufferAppend(ByteBuffer** target, const void* data, uint32_t count) {
  if (*target == nullptr) {
    uint64_t wanted = uint64_t{count} + kBufferGrowthRoom;
    if (wanted > kBufferCapacityLimit) return;  // no block of that size can be had
    uint32_t capacity = static_cast<uint32_t>(wanted);
    if (capacity < kBufferFirstCapacity) capacity = kBufferFirstCapacity;
    auto* block =
        static_cast<ByteBuffer*>(MemAlloc(static_cast<size_t>(capacity) + kBufferBlockExtra));
    if (block == nullptr) return;
    block->capacity = capacity;
    block->length = 0;
    *target = block;
  }
  ByteBuffer* buffer = *target;
  // Sizes are reckoned in 64 bits so that a huge count cannot wrap past the test and overrun
  // the block; a size beyond what the counters can hold fails like an exhausted heap.
  if (uint64_t{buffer->length} + count + 2 > buffer->capacity) {
    uint64_t grown = (uint64_t{buffer->capacity} * 3) / 2;
    uint64_t needed = uint64_t{buffer->capacity} + count + kBufferGrowthRoom;
    if (grown > kBufferCapacityLimit) grown = kBufferCapacityLimit;
    uint64_t capacity = grown > needed ? grown : needed;
    auto* block = capacity <= kBufferCapacityLimit
                      ? static_cast<ByteBuffer*>(MemRealloc(buffer, capacity + kBufferBlockExtra))
                      : nullptr;
    if (block == nullptr) {
      // The earlier contents are lost to the caller; the old block goes back to the heap.
      MemFree(buffer);
      *target = nullptr;
      return;
    }
    block->capacity = static_cast<uint32_t>(capacity);
    buffer = block;
    *target = block;
  }
  if (count != 0) {
    memcpy(buffer->bytes + buffer->length, data, count);
    buffer->length += count;
  }
  buffer->bytes[buffer->length] = 0;
}

void BufferAppendText(ByteBuffer** target, const char* text) {
  BufferAppend(target, text, static_cast<uint32_t>(strlen(text)));
}

void BufferRelease(ByteBuffer** target) {
  if (*target != nullptr) {
    MemFree(*target);
    *target = nullptr;
  }
}
