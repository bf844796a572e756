// POSIX threads behind the platform thread interface.
#include "platform/thread.h"

#include <time.h>

#include <atomic>

namespace platform {
namespace {

std::atomic<int> startFailure{0};

void* Trampoline(void* arg) {
  reinterpret_cast<ThreadBody>(arg)();
  return nullptr;
}

}  // namespace

int StartThread(ThreadBody body) {
  if (startFailure.load() != 0) return 0;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return 0;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, Trampoline, reinterpret_cast<void*>(body));
  pthread_attr_destroy(&attr);
  return rc == 0 ? 1 : 0;
}

void SetThreadStartFailureForTests(int fail) {
  startFailure.store(fail);
}

int LockCreate(Lock* lock) {
  return pthread_mutex_init(&lock->mutex, nullptr) == 0 ? 1 : 0;
}
void LockDelete(Lock* lock) {
  pthread_mutex_destroy(&lock->mutex);
}
void LockTake(Lock* lock) {
  pthread_mutex_lock(&lock->mutex);
}
int LockTry(Lock* lock) {
  return pthread_mutex_trylock(&lock->mutex) == 0 ? 1 : 0;
}
void LockRelease(Lock* lock) {
  pthread_mutex_unlock(&lock->mutex);
}

void SleepMilliseconds(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

}  // namespace platform
