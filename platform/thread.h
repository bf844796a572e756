// Threads, a mutual-exclusion lock with a non-blocking try-lock, and millisecond sleeps.
#pragma once

#include <pthread.h>

#include <cstdint>

namespace platform {

using ThreadBody = void (*)();

// Starts body on a detached background thread with the default stack size. 1 when it started;
// a failed start is reported, never thrown.
int StartThread(ThreadBody body);
// Tests make the next starts fail.
void SetThreadStartFailureForTests(int fail);

struct Lock {
  pthread_mutex_t mutex;
};
int LockCreate(Lock* lock);  // 1 on success
void LockDelete(Lock* lock);
void LockTake(Lock* lock);
int LockTry(Lock* lock);  // 1 when taken, 0 when another thread holds it
void LockRelease(Lock* lock);

void SleepMilliseconds(uint32_t ms);

}  // namespace platform
