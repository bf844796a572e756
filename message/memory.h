// The system's memory operations on the process heap: zero-filled blocks with 64 bytes of slack.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kMemSlack = 64;

void* MemAlloc(size_t size);                 // size + 64 zero bytes, or nullptr
void* MemRealloc(void* block, size_t size);  // resized to size + 64, added bytes zero; nullptr
                                             // leaves the old block untouched
void MemFree(void* block);

// Tests make the nth MemAlloc or MemRealloc from now fail (1 = the next one); 0 switches the
// failure off.
void MemFailNthAllocation(uint32_t n);
