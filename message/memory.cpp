// Heap blocks that remember their size, so that growing one can zero-fill what it adds.
#include "message/memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

// Each block is preceded by a header that keeps its usable size; 16 bytes keep the data aligned.
constexpr size_t kHeaderSize = 16;

std::atomic<uint32_t> failCountdown{0};

bool InjectedFailure() {
  uint32_t n = failCountdown.load();
  while (n != 0) {
    if (failCountdown.compare_exchange_weak(n, n - 1)) return n == 1;
  }
  return false;
}

size_t& StoredSize(void* raw) {
  return *static_cast<size_t*>(raw);
}

}  // namespace

void* MemAlloc(size_t size) {
  if (InjectedFailure() || size > SIZE_MAX - kMemSlack - kHeaderSize) return nullptr;
  void* raw = calloc(1, kHeaderSize + size + kMemSlack);
  if (raw == nullptr) return nullptr;
  StoredSize(raw) = size + kMemSlack;
  return static_cast<char*>(raw) + kHeaderSize;
}

void* MemRealloc(void* block, size_t size) {
  if (block == nullptr) return MemAlloc(size);
  if (InjectedFailure() || size > SIZE_MAX - kMemSlack - kHeaderSize) return nullptr;
  void* raw = static_cast<char*>(block) - kHeaderSize;
  size_t oldSize = StoredSize(raw);
  size_t newSize = size + kMemSlack;
  void* grown = realloc(raw, kHeaderSize + newSize);
  if (grown == nullptr) return nullptr;
  if (newSize > oldSize)
    memset(static_cast<char*>(grown) + kHeaderSize + oldSize, 0, newSize - oldSize);
  StoredSize(grown) = newSize;
  return static_cast<char*>(grown) + kHeaderSize;
}

void MemFree(void* block) {
  if (block != nullptr) free(static_cast<char*>(block) - kHeaderSize);
}

void MemFailNthAllocation(uint32_t n) {
  failCountdown.store(n);
}
