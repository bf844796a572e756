// Hop-by-Hop and End-to-End Identifiers for the requests the system sends, seeded from the
// millisecond timer.
#pragma once

#include <cstdint>

// Hands out the identifier pair of the record for key (created on first use); reseed draws
// both numbers from the timer again. The outputs stay untouched when no record can be had.
void NextIdentifiers(int32_t key, int reseed, uint32_t* hopByHop, uint32_t* endToEnd);

// Tests make the next record allocation fail (non-zero) or switch that off (0).
void FailNextIdentifierRecordForTests(int fail);
