// Fuzzes the receiver over arbitrary byte streams: the input is written into one end of a
// socket pair whose sending side is then shut, and the other end is read message by message as
// the peer connection reads the server, watchdog and disconnect answers included.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "message/diameter.h"
#include "message/wire_read.h"
#include "peer/inspect.h"
#include "peer/receiver.h"
#include "platform/socket.h"

namespace {

constexpr size_t kStreamLimit = 32768;  // the answers to a stream this long fit the pair's buffer
constexpr uint32_t kExpectedHopByHop = 1;
constexpr ReceiveLimits kTinyLimits = {2, 20};  // rest of a message: 2 ms a piece, 20 ms in all
constexpr int kMostCalls = 4096;                // every successful call takes at least 4 bytes

ReceiveBuffer* buffer = nullptr;

uint32_t Pending(int fd) {
  uint32_t count = 0;
  if (!platform::SocketPendingBytes(fd, &count)) abort();
  return count;
}

// What the receiver sent back: whole messages only, each an answer (no R flag), version 1.
void CheckAnswers(int fd) {
  std::vector<uint8_t> sent;
  uint8_t chunk[4096];
  for (;;) {
    ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n <= 0) break;
    sent.insert(sent.end(), chunk, chunk + n);
  }
  size_t at = 0;
  while (at < sent.size()) {
    uint32_t word = 0;
    if (!ReadU32(sent.data(), sent.size(), at, &word)) abort();
    uint32_t length = word & kLength24Mask;
    if ((word >> 24) != 1 || length < kHeaderSize || length > sent.size() - at) abort();
    if ((sent[at + 4] & kCommandFlagRequest) != 0) abort();
    at += length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QuietConsole();
  FillFuzzSettings();
  if (!platform::SocketStartup()) abort();
  buffer = static_cast<ReceiveBuffer*>(malloc(sizeof(ReceiveBuffer)));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kStreamLimit) size = kStreamLimit;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) abort();
  int server = pair[0];
  int client = pair[1];
  int bufferSize = 4 * static_cast<int>(kStreamLimit);
  setsockopt(server, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
  setsockopt(client, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  fcntl(server, F_SETFL, fcntl(server, F_GETFL) | O_NONBLOCK);
  size_t written = 0;
  while (written < size) {
    ssize_t n = send(server, data + written, size - written, MSG_NOSIGNAL);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  shutdown(server, SHUT_WR);  // the reader sees the end of the stream after the bytes

  // Read message after message until the receiver gives up; each time it reports a message,
  // the buffer holds exactly the last message it took from the stream, zeros after it.
  size_t taken = 0;
  for (int call = 0; call < kMostCalls; ++call) {
    uint32_t before = Pending(client);
    int32_t errorFlag = 0;
    // Polls with the real limits alternate with one-second calls with tiny ones: the whole
    // stream is on the socket and its end follows, so neither may ever wait.
    int got = call % 2 == 0 ? ReceiveMessage(client, kExpectedHopByHop, buffer, 0, &errorFlag)
                            : ReceiveMessageWithLimits(client, kExpectedHopByHop, buffer, 1,
                                                       &errorFlag, &kTinyLimits);
    if (errorFlag != 0) abort();  // no socket call fails on a sound pair
    uint32_t after = Pending(client);
    if (after > before) abort();
    taken += before - after;
    if (taken > written) abort();
    if (!got) break;

    uint32_t length = 0;
    ReadU24(buffer->bytes, kReceiveBufferSize, 1, &length);
    if (length < 4) length = 4;
    if (length > kReceiveBufferSize || length > taken) abort();
    if (memcmp(buffer->bytes, data + taken - length, length) != 0) abort();
    for (uint32_t i = length; i < kReceiveBufferSize; ++i) {
      if (buffer->bytes[i] != 0) abort();
    }
    if (length >= kHeaderSize) {
      uint32_t hopByHop = 0;
      ReadU32(buffer->bytes, length, 12, &hopByHop);
      if ((buffer->bytes[4] & kCommandFlagRequest) != 0 || hopByHop != kExpectedHopByHop) abort();
    }
    // The callers read the delivered answer over the whole buffer.
    ExtractResultCode(buffer->bytes, kReceiveBufferSize);
    HasVendorId(buffer->bytes, kReceiveBufferSize, kVendor3GPP);
  }
  CheckAnswers(server);
  close(server);
  close(client);
  return 0;
}
