// Tests of the identifier generator: seeding from the timer, reseeding, increments, records.
#include "message/identifiers.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/clock.h"

namespace {

// The timer replays these readings in order, repeating the last one; reads counts them.
std::vector<uint32_t> readings;
size_t reads = 0;

uint32_t ScriptedTimer() {
  uint32_t value = readings[reads < readings.size() ? reads : readings.size() - 1];
  ++reads;
  return value;
}

struct ScriptedClock {
  explicit ScriptedClock(std::vector<uint32_t> script) {
    readings = std::move(script);
    reads = 0;
    platform::SetMillisecondTimerForTests(ScriptedTimer);
  }
  ~ScriptedClock() { platform::SetMillisecondTimerForTests(nullptr); }
};

struct Pair {
  uint32_t hopByHop;
  uint32_t endToEnd;
  bool operator==(const Pair&) const = default;
};

Pair Next(int32_t key, int reseed) {
  Pair p{0xDEADBEEF, 0xDEADBEEF};
  NextIdentifiers(key, reseed, &p.hopByHop, &p.endToEnd);
  return p;
}

// The first call for a key seeds its record: the first reading gives hop-by-hop, the second
// end-to-end. Each row uses a key of its own, so each is a first call.
TEST(Identifiers, FirstCallSeedsFromTwoTimerReadings) {
  struct Case {
    uint32_t first;
    uint32_t second;
    Pair expected;
  };
  const Case cases[] = {
      {0, 0, {9876543, 0}},                             // timer 0
      {1, 1, {9877888, 0x00100000}},                    // 1345 + 9876543; 1 << 20
      {1000, 2000, {11221543, 0x7D000000}},             // the two readings differ
      {4095, 4096, {15384318, 0}},                      // 4096 << 20 leaves 32 bits
      {0xFFFFFFFF, 0xFFFFFFFF, {9875198, 0xFFF00000}},  // wrapping arithmetic
      {123456789, 123456789, {2850500500u, 0xD1500000}},
  };
  int32_t key = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first);
    ScriptedClock clock({c.first, c.second});
    EXPECT_EQ(Next(key++, 1), c.expected);
    EXPECT_EQ(reads, 2u);
  }
}

TEST(Identifiers, WithoutReseedTheStoredNumbersCountUp) {
  ScriptedClock clock({1000, 2000, 5000});
  Pair first = Next(-1, 1);
  EXPECT_EQ(Next(-1, 0), (Pair{first.hopByHop + 1, first.endToEnd + 1}));
  EXPECT_EQ(Next(-1, 0), (Pair{first.hopByHop + 2, first.endToEnd + 2}));
  EXPECT_EQ(reads, 2u);  // only the seeding read the timer

  // A reseed overwrites the counted-up numbers with fresh ones.
  EXPECT_EQ(Next(-1, 1), (Pair{5000u * 1345u + 9876543u, 5000u << 20}));
}

TEST(Identifiers, StoredNumbersWrapAtThirtyTwoBits) {
  // hop-by-hop 0xFFFFFFFF needs T1 x 1345 + 9876543 = 2^32 - 1 (mod 2^32): T1 = 0xCB779BC0.
  ScriptedClock clock({0xCB779BC0u, 0xFFFFFFFFu});
  EXPECT_EQ(Next(-1, 1), (Pair{0xFFFFFFFFu, 0xFFF00000u}));
  EXPECT_EQ(Next(-1, 0), (Pair{0u, 0xFFF00001u}));
}

TEST(Identifiers, ReseedWithinOneMillisecondRepeatsThePair) {
  ScriptedClock clock({777});
  Pair first = Next(-1, 1);
  EXPECT_EQ(Next(-1, 1), first);
  EXPECT_EQ(Next(-1, 1), first);
}

TEST(Identifiers, EndToEndKeepsLowTwentyBitsZeroAndRepeatsEvery4096Ms) {
  for (uint32_t t : {1u, 4095u, 65536u + 17u, 0x7FFFFFFFu}) {
    SCOPED_TRACE(t);
    ScriptedClock clock({t, t, t + 4096, t + 4096});
    Pair now = Next(-1, 1);
    Pair later = Next(-1, 1);
    EXPECT_EQ(now.endToEnd & 0xFFFFF, 0u);
    EXPECT_EQ(now.endToEnd >> 20, t & 0xFFF);
    EXPECT_EQ(later.endToEnd, now.endToEnd);
    EXPECT_EQ(later.hopByHop, now.hopByHop + 4096u * 1345u);
  }
}

TEST(Identifiers, EachKeyHasARecordOfItsOwn) {
  ScriptedClock clock({10, 20, 30, 40});
  Pair minusOne = Next(-1, 1);  // readings 10, 20
  Pair seven = Next(7, 1);      // readings 30, 40: a new record, seeded
  EXPECT_EQ(seven, (Pair{30u * 1345u + 9876543u, 40u << 20}));
  EXPECT_EQ(Next(-1, 0), (Pair{minusOne.hopByHop + 1, minusOne.endToEnd + 1}));
  EXPECT_EQ(Next(7, 0), (Pair{seven.hopByHop + 1, seven.endToEnd + 1}));
}

TEST(Identifiers, RecordAllocationFailureLeavesTheOutputsAndRetries) {
  ScriptedClock clock({1, 1, 2, 2});
  FailNextIdentifierRecordForTests(1);
  EXPECT_EQ(Next(-1, 1), (Pair{0xDEADBEEF, 0xDEADBEEF}));
  EXPECT_EQ(reads, 0u);

  // The next call creates the record; with reseed off it is still a fresh seeding.
  EXPECT_EQ(Next(-1, 0), (Pair{1u * 1345u + 9876543u, 1u << 20}));
}

}  // namespace
