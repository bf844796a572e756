// The background thread that owns the connection to the Diameter server, and the lock protocol
// through which the main thread borrows it for the charge.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/socket.h"
#include "platform/thread.h"

constexpr uint32_t kCapabilitiesAnswerSeconds = 10;
constexpr uint32_t kReadyPollPauseMs = 1000;
constexpr uint32_t kRetryPauseMs = 2000;

struct PeerStateRecord {
  std::atomic<int32_t> StopRequested;
  std::atomic<int32_t> Ready;
  std::atomic<int32_t> ThreadFinished;
  std::atomic<platform::Socket> PeerSocket;
};

extern PeerStateRecord PeerState;
extern platform::Lock ConnectionLock;

void PeerThread();
// 1 when the connection became ready within seconds; the caller then holds ConnectionLock.
int WaitForDiameterReady(uint32_t seconds);
void ReleaseDiameterConnection();
