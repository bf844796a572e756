// Hop-by-Hop and End-to-End Identifiers: one record per key, seeded from the millisecond timer.
#include "message/identifiers.h"

#include <atomic>
#include <cstdlib>

#include "platform/clock.h"

namespace {

constexpr uint32_t kHopByHopFactor = 1345;
constexpr uint32_t kHopByHopOffset = 9876543;
constexpr uint32_t kEndToEndShift = 20;  // the timer's low 12 bits go to the top 12 bits

struct IdentifierRecord {
  int32_t key;
  uint32_t hopByHop;  // the next numbers to hand out
  uint32_t endToEnd;
  IdentifierRecord* next;
};

// Records live until the process ends; the newest is at the head.
IdentifierRecord* identifierList = nullptr;

std::atomic<int> failNextRecord{0};

void Seed(IdentifierRecord* record) {
  uint32_t first = platform::MillisecondTimer();
  uint32_t second = platform::MillisecondTimer();
  record->hopByHop = first * kHopByHopFactor + kHopByHopOffset;
  record->endToEnd = second << kEndToEndShift;
}

IdentifierRecord* NewRecord() {
  if (failNextRecord.exchange(0) != 0) return nullptr;
  return static_cast<IdentifierRecord*>(calloc(1, sizeof(IdentifierRecord)));
}

}  // namespace

void NextIdentifiers(int32_t key, int reseed, uint32_t* hopByHop, uint32_t* endToEnd) {
  IdentifierRecord* record = identifierList;
  while (record != nullptr && record->key != key) record = record->next;

  if (record == nullptr) {
    record = NewRecord();
    if (record == nullptr) return;
    record->key = key;
    Seed(record);
    record->next = identifierList;
    identifierList = record;
  } else if (reseed) {
    Seed(record);
  }

  *hopByHop = record->hopByHop++;
  *endToEnd = record->endToEnd++;
}

void FailNextIdentifierRecordForTests(int fail) {
  failNextRecord.store(fail != 0 ? 1 : 0);
}
