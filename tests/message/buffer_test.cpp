// Tests of the memory operations and of the growable byte buffer: layout, growth, heap failures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "message/byte_buffer.h"
#include "message/memory.h"

namespace {

std::string Contents(const ByteBuffer* buffer) {
  return std::string(reinterpret_cast<const char*>(buffer->bytes), buffer->length);
}

// A buffer of capacity 4096 holding length bytes 'a', 'b', ... built by two appends.
ByteBuffer* BufferOf4096(uint32_t length) {
  std::string data;
  for (uint32_t i = 0; i < length; ++i) data += static_cast<char>('a' + i % 26);
  ByteBuffer* buffer = nullptr;
  BufferAppend(&buffer, data.data(), 1);
  BufferAppend(&buffer, data.data() + 1, length - 1);
  EXPECT_EQ(buffer->capacity, 4096u);
  return buffer;
}

TEST(Memory, BlocksAreZeroFilledWithTheirSlack) {
  constexpr size_t kSize = 100;
  auto* block = static_cast<uint8_t*>(MemAlloc(kSize));
  ASSERT_NE(block, nullptr);
  for (size_t i = 0; i < kSize + kMemSlack; ++i) ASSERT_EQ(block[i], 0) << i;
  memset(block, 0xAB, kSize + kMemSlack);

  // Growing keeps the contents and zero-fills everything added, slack included.
  constexpr size_t kGrown = 1000;
  block = static_cast<uint8_t*>(MemRealloc(block, kGrown));
  ASSERT_NE(block, nullptr);
  for (size_t i = 0; i < kSize; ++i) ASSERT_EQ(block[i], 0xAB) << i;
  for (size_t i = kSize + kMemSlack; i < kGrown + kMemSlack; ++i) ASSERT_EQ(block[i], 0) << i;
  MemFree(block);
  MemFree(nullptr);
}

TEST(Memory, NthAllocationFailsOnceAndLeavesTheOldBlockIntact) {
  void* first = MemAlloc(8);
  ASSERT_NE(first, nullptr);
  memcpy(first, "content", 8);

  MemFailNthAllocation(2);
  void* second = MemAlloc(8);  // the first from now succeeds
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(MemRealloc(first, 4096), nullptr);         // the second fails...
  EXPECT_STREQ(static_cast<char*>(first), "content");  // ...and leaves the block as it was
  void* third = MemAlloc(8);                           // the failure happens once
  EXPECT_NE(third, nullptr);

  MemFailNthAllocation(1);
  EXPECT_EQ(MemAlloc(8), nullptr);
  MemFailNthAllocation(1);
  MemFailNthAllocation(0);  // switched off before it struck
  void* fourth = MemAlloc(8);
  EXPECT_NE(fourth, nullptr);

  for (void* block : {first, second, third, fourth}) MemFree(block);
}

TEST(ByteBuffer, FirstAppendSizesTheBuffer) {
  struct Case {
    uint32_t count;
    uint32_t capacity;
  };
  const Case cases[] = {
      {0, 4096},                   // an empty append still creates the buffer
      {10, 4096},                  // small appends start at 4096
      {3840, 4096},                // 3840 + 256 is exactly 4096
      {3841, 4097}, {5000, 5256},  // a large first append gets 256 bytes of room
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    std::vector<uint8_t> data(c.count + 1, 0x5A);
    ByteBuffer* buffer = nullptr;
    BufferAppend(&buffer, data.data(), c.count);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->capacity, c.capacity);
    EXPECT_EQ(buffer->length, c.count);
    EXPECT_EQ(buffer->bytes[c.count], 0);  // the 0 byte after the data
    if (c.count > 0) {
      EXPECT_EQ(buffer->bytes[c.count - 1], 0x5A);
    }
    MemFree(buffer);
  }
}

TEST(ByteBuffer, GrowsByHalfOrByWhatTheAppendNeeds) {
  struct Case {
    uint32_t length;  // held in a buffer of capacity 4096
    uint32_t count;
    uint32_t capacity;
  };
  const Case cases[] = {
      {4000, 94, 4096},     // 4000 + 94 + 2 = 4096 still fits
      {4000, 95, 6144},     // one more byte: grows by half
      {4000, 100, 6144},    // 4102 > 4096: the larger of 6144 and 4452
      {100, 10000, 14352},  // 4096 + 10000 + 256 beats 6144
      {4094, 0, 4096},      // an empty append on a full buffer needs no room
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + " + " + std::to_string(c.count));
    ByteBuffer* buffer = BufferOf4096(c.length);
    std::string before = Contents(buffer);
    std::string added(c.count, 'Z');
    BufferAppend(&buffer, added.data(), c.count);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->capacity, c.capacity);
    EXPECT_EQ(Contents(buffer), before + added);  // earlier bytes survive the move
    EXPECT_EQ(buffer->bytes[buffer->length], 0);
    MemFree(buffer);
  }
}

// Appends of every small size, mirrored in a string: contents, the 0 byte and the room of two
// bytes hold after each one, across several growths.
TEST(ByteBuffer, KeepsItsInvariantsOverManyAppends) {
  ByteBuffer* buffer = nullptr;
  std::string mirror;
  for (uint32_t count = 0; mirror.size() < 40000; count = (count + 37) % 601) {
    std::string piece(count, static_cast<char>('A' + count % 26));
    BufferAppend(&buffer, piece.data(), count);
    mirror += piece;
    ASSERT_NE(buffer, nullptr);
    ASSERT_EQ(buffer->length, mirror.size());
    ASSERT_LE(buffer->length + 2, buffer->capacity);
    ASSERT_EQ(buffer->bytes[buffer->length], 0);
  }
  EXPECT_EQ(Contents(buffer), mirror);
  BufferAppendText(&buffer, "tail");
  EXPECT_EQ(Contents(buffer), mirror + "tail");
  BufferRelease(&buffer);
  EXPECT_EQ(buffer, nullptr);
}

TEST(ByteBuffer, HeapFailureOnTheFirstAppendLeavesTheReferenceEmpty) {
  ByteBuffer* buffer = nullptr;
  MemFailNthAllocation(1);
  BufferAppendText(&buffer, "lost");
  EXPECT_EQ(buffer, nullptr);

  BufferAppendText(&buffer, "next");  // the next append tries again
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(Contents(buffer), "next");
  MemFree(buffer);
}

// The old block is released when growing fails (the leak check of the sanitizer build would
// report it otherwise); a later append starts afresh without the earlier bytes.
TEST(ByteBuffer, HeapFailureOnGrowthEmptiesTheReference) {
  ByteBuffer* buffer = BufferOf4096(4000);
  MemFailNthAllocation(1);
  BufferAppendText(&buffer, "fits");  // needs no allocation, so the failure waits
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->length, 4004u);

  std::string big(200, 'B');
  BufferAppendText(&buffer, big.c_str());
  EXPECT_EQ(buffer, nullptr);

  BufferAppendText(&buffer, "again");
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(Contents(buffer), "again");
  EXPECT_EQ(buffer->capacity, 4096u);
  MemFree(buffer);
}

// A count whose size arithmetic would wrap 32 bits must fail like an exhausted heap instead of
// slipping past the room test; the data is never read.
TEST(ByteBuffer, CountBeyondThirtyTwoBitsFailsWithoutCopying) {
  const uint8_t small[4] = {};
  ByteBuffer* buffer = nullptr;
  BufferAppend(&buffer, small, 0xFFFFFF80u);
  EXPECT_EQ(buffer, nullptr);

  BufferAppendText(&buffer, "held");
  BufferAppend(&buffer, small, 0xFFFFFFFEu);
  EXPECT_EQ(buffer, nullptr);
}

}  // namespace
