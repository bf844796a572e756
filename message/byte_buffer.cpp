// Growth arithmetic and appends of the byte buffer.
#include "message/byte_buffer.h"

#include <cstring>

#include "message/memory.h"

void BufferAppend(ByteBuffer** target, const void* data, uint32_t count) {
  if (*target == nullptr) {
    uint32_t capacity = count + kBufferGrowthRoom;
    if (capacity < kBufferFirstCapacity) capacity = kBufferFirstCapacity;
    auto* block = static_cast<ByteBuffer*>(MemAlloc(static_cast<size_t>(capacity) + kBufferBlockExtra));
    if (block == nullptr) return;
    block->capacity = capacity;
    block->length = 0;
    *target = block;
  }
  ByteBuffer* buffer = *target;
  if (buffer->length + count + 2 > buffer->capacity) {
    uint32_t grown = (buffer->capacity * 3) / 2;
    uint32_t needed = buffer->capacity + count + kBufferGrowthRoom;
    uint32_t capacity = grown > needed ? grown : needed;
    auto* block = static_cast<ByteBuffer*>(MemRealloc(buffer, static_cast<size_t>(capacity) + kBufferBlockExtra));
    if (block == nullptr) {
      // The earlier contents are lost to the caller; the old block goes back to the heap.
      MemFree(buffer);
      *target = nullptr;
      return;
    }
    block->capacity = capacity;
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
