// The scripted Diameter test server and the decoder of received messages.
#include "test_peer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "message/avp.h"
#include "message/byte_buffer.h"
#include "message/diameter.h"
#include "message/wire_read.h"
#include "platform/clock.h"

namespace {

constexpr uint32_t kSliceMs = 20;                   // stop checks during waits
constexpr uint32_t kLargestReadMessage = 1u << 20;  // a longer length field is a failure
constexpr int kListenBacklog = 8;

Bytes TakeBuffer(ByteBuffer** buffer) {
  Bytes out;
  if (*buffer != nullptr) out.assign((*buffer)->bytes, (*buffer)->bytes + (*buffer)->length);
  BufferRelease(buffer);
  return out;
}

ByteBuffer* MakeBuffer(const Bytes& bytes) {
  ByteBuffer* buffer = nullptr;
  BufferAppend(&buffer, bytes.data(), static_cast<uint32_t>(bytes.size()));
  return buffer;
}

uint32_t Now() {
  return platform::ElapsedMilliseconds();
}
uint32_t Remaining(uint32_t deadline) {
  uint32_t now = Now();
  return static_cast<int32_t>(deadline - now) > 0 ? deadline - now : 0;
}

Bytes OriginAvps() {
  return Concat({AvpText(kAvpOriginHost, kTestPeerOriginHost),
                 AvpText(kAvpOriginRealm, kTestPeerOriginRealm)});
}

}  // namespace

// ---- Decoder ----

uint32_t DecodedAvp::U32() const {
  uint32_t v = 0;
  ReadU32(data.data(), data.size(), 0, &v);
  return v;
}

uint64_t DecodedAvp::U64() const {
  uint32_t high = 0, low = 0;
  if (!ReadU32(data.data(), data.size(), 0, &high) || !ReadU32(data.data(), data.size(), 4, &low)) {
    return 0;
  }
  return (uint64_t{high} << 32) | low;
}

std::string DecodedAvp::Text() const {
  return std::string(data.begin(), data.end());
}

std::vector<DecodedAvp> DecodedAvp::Inner() const {
  return DecodeAvps(data.data(), data.size());
}

const DecodedAvp* DecodedMessage::Find(uint32_t code) const {
  for (const DecodedAvp& avp : avps) {
    if (avp.code == code) return &avp;
  }
  return nullptr;
}

std::vector<DecodedAvp> DecodeAvps(const uint8_t* bytes, size_t size, bool* wellFormed) {
  std::vector<DecodedAvp> out;
  bool ok = true;
  size_t pos = 0;
  while (pos < size) {
    uint32_t code = 0, word = 0;
    if (!ReadU32(bytes, size, pos, &code) || !ReadU32(bytes, size, pos + 4, &word)) {
      ok = false;
      break;
    }
    DecodedAvp avp;
    avp.code = code;
    avp.flags = static_cast<uint8_t>(word >> 24);
    avp.length = word & kLength24Mask;
    size_t header = avp.IsVendorSpecific() ? kAvpVendorHeaderSize : kAvpHeaderSize;
    if (avp.length < header || avp.length > size - pos) {
      ok = false;
      break;
    }
    if (avp.IsVendorSpecific()) ReadU32(bytes, size, pos + 8, &avp.vendor);
    avp.data.assign(bytes + pos + header, bytes + pos + avp.length);
    out.push_back(std::move(avp));
    pos += (out.back().length + 3u) & ~size_t{3};
  }
  if (wellFormed != nullptr) *wellFormed = ok;
  return out;
}

DecodedMessage DecodeMessage(const uint8_t* bytes, size_t size) {
  DecodedMessage m;
  m.bytes.assign(bytes, bytes + size);
  uint32_t word = 0;
  ReadU8(bytes, size, 0, &word);
  m.version = static_cast<uint8_t>(word);
  ReadU24(bytes, size, 1, &m.length);
  ReadU8(bytes, size, 4, &word);
  m.flags = static_cast<uint8_t>(word);
  ReadU24(bytes, size, 5, &m.commandCode);
  ReadU32(bytes, size, 8, &m.applicationId);
  ReadU32(bytes, size, 12, &m.hopByHop);
  ReadU32(bytes, size, 16, &m.endToEnd);
  size_t end = m.length < size ? m.length : size;
  if (size < kHeaderSize || end < kHeaderSize) return m;
  bool ok = false;
  m.avps = DecodeAvps(bytes + kHeaderSize, end - kHeaderSize, &ok);
  m.wellFormed = ok && m.length <= size;
  return m;
}

const std::vector<uint32_t> kGroupedAvpCodes = {260, 297, 413, 437, 443, 445,  446,
                                                456, 873, 874, 877, 886, 1075, 1201};

namespace {

void FlattenInto(const std::vector<DecodedAvp>& avps, const std::vector<uint32_t>& grouped,
                 int depth, std::vector<FlatAvp>* out) {
  for (const DecodedAvp& avp : avps) {
    out->push_back({depth, avp});
    for (uint32_t g : grouped) {
      if (g == avp.code) {
        FlattenInto(avp.Inner(), grouped, depth + 1, out);
        break;
      }
    }
  }
}

}  // namespace

std::vector<FlatAvp> FlattenAvps(const std::vector<DecodedAvp>& avps,
                                 const std::vector<uint32_t>& grouped) {
  std::vector<FlatAvp> out;
  FlattenInto(avps, grouped, 0, &out);
  return out;
}

const DecodedAvp* FindAvpDeep(const std::vector<FlatAvp>& flat, uint32_t code) {
  for (const FlatAvp& f : flat) {
    if (f.avp.code == code) return &f.avp;
  }
  return nullptr;
}

// ---- Builders ----

Bytes AvpU32(uint32_t code, uint32_t value, uint32_t vendor, bool mandatory) {
  ByteBuffer* b = nullptr;
  AppendAvpUint32(&b, code, mandatory ? 1 : 0, vendor, value);
  return TakeBuffer(&b);
}

Bytes AvpU64(uint32_t code, uint64_t value, uint32_t vendor, bool mandatory) {
  ByteBuffer* b = nullptr;
  AppendAvpUint64(&b, code, mandatory ? 1 : 0, vendor, value);
  return TakeBuffer(&b);
}

Bytes AvpText(uint32_t code, const std::string& text, uint32_t vendor, bool mandatory) {
  ByteBuffer* b = nullptr;
  AppendAvp(&b, code, mandatory ? 1 : 0, vendor, text.data(), static_cast<uint32_t>(text.size()));
  return TakeBuffer(&b);
}

Bytes AvpGrouped(uint32_t code, const Bytes& inner, uint32_t vendor, bool mandatory) {
  ByteBuffer* in = MakeBuffer(inner);
  ByteBuffer* b = nullptr;
  AppendAvpGrouped(&b, code, mandatory ? 1 : 0, vendor, in);
  BufferRelease(&in);
  return TakeBuffer(&b);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes BuildMessage(uint32_t commandCode, uint8_t flags, uint32_t applicationId, uint32_t hopByHop,
                   uint32_t endToEnd, const Bytes& avps) {
  ByteBuffer* body = avps.empty() ? nullptr : MakeBuffer(avps);
  ByteBuffer* message = nullptr;
  AppendMessageHeader(&message, commandCode, applicationId, hopByHop, endToEnd, body);
  BufferRelease(&body);
  Bytes out = TakeBuffer(&message);
  if (out.size() > 4) out[4] = flags;
  return out;
}

// ---- The peer ----

TestPeer::TestPeer(const char* address, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, address, &sa.sin_addr);
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(fd, kListenBacklog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    close(fd);
    return;
  }
  listenFd_ = fd;
  port_ = ntohs(sa.sin_port);
}

TestPeer::~TestPeer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  CloseConnection();
  if (listenFd_ >= 0) close(listenFd_);
}

TestPeer& TestPeer::Add(Step step) {
  if (!started_) steps_.push_back(std::move(step));
  return *this;
}

TestPeer& TestPeer::Read(uint32_t timeoutMs) {
  return Add(MakeStep(Kind::kRead, timeoutMs));
}

TestPeer& TestPeer::Answer(const AnswerSpec& wanted) {
  Bytes avps;
  if (wanted.resultCode) avps = AvpU32(kAvpResultCode, *wanted.resultCode);
  if (wanted.originAvps) avps = Concat({avps, OriginAvps()});
  avps = Concat({avps, wanted.avps});
  for (const Bytes& inner : wanted.multipleServices) {
    avps = Concat({avps, AvpGrouped(kAvpMultipleServicesCreditControl, inner)});
  }
  Step step = MakeStep(Kind::kAnswer);
  step.bytes = BuildMessage(0, 0, 0, 0, 0, avps);
  step.answer = wanted;
  return Add(std::move(step));
}

TestPeer& TestPeer::AnswerResult(uint32_t resultCode) {
  AnswerSpec wanted;
  wanted.resultCode = resultCode;
  return Answer(wanted);
}

TestPeer& TestPeer::Send(const Bytes& bytes) {
  Step step = MakeStep(Kind::kSend);
  step.bytes = bytes;
  return Add(std::move(step));
}

TestPeer& TestPeer::SendWatchdogRequest(uint32_t hopByHop, uint32_t endToEnd) {
  return Send(BuildMessage(kCommandDeviceWatchdog, kCommandFlagRequest, 0, hopByHop, endToEnd,
                           OriginAvps()));
}

TestPeer& TestPeer::SendDisconnectRequest(uint32_t hopByHop, uint32_t endToEnd) {
  return Send(BuildMessage(kCommandDisconnectPeer, kCommandFlagRequest, 0, hopByHop, endToEnd,
                           Concat({OriginAvps(), AvpU32(kAvpDisconnectCause, 0)})));
}

TestPeer& TestPeer::Trickle(const Bytes& bytes, uint32_t chunk, uint32_t pauseMs) {
  Step step = MakeStep(Kind::kTrickle, pauseMs);
  step.chunk = chunk > 0 ? chunk : 1;
  step.bytes = bytes;
  return Add(std::move(step));
}

TestPeer& TestPeer::Pause(uint32_t ms) {
  return Add(MakeStep(Kind::kPause, ms));
}
TestPeer& TestPeer::Hold(uint32_t timeoutMs) {
  return Add(MakeStep(Kind::kHold, timeoutMs));
}
TestPeer& TestPeer::Close() {
  return Add(MakeStep(Kind::kClose));
}
TestPeer& TestPeer::HalfClose() {
  return Add(MakeStep(Kind::kHalfClose));
}
TestPeer& TestPeer::Reset() {
  return Add(MakeStep(Kind::kReset));
}
TestPeer& TestPeer::ExpectEnd(uint32_t timeoutMs) {
  return Add(MakeStep(Kind::kExpectEnd, timeoutMs));
}
TestPeer& TestPeer::Accept(uint32_t timeoutMs) {
  return Add(MakeStep(Kind::kAccept, timeoutMs));
}

void TestPeer::Start() {
  if (started_) return;
  started_ = true;
  thread_ = std::thread([this] { Run(); });
}

void TestPeer::Proceed() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++proceeds_;
  changed_.notify_all();
}

bool TestPeer::WaitForMessages(size_t count, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return messages_.size() >= count || done_;
  }) && messages_.size() >= count;
}

std::vector<DecodedMessage> TestPeer::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::string TestPeer::Failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

bool TestPeer::Finish(uint32_t timeoutMs) {
  if (started_) {
    bool ended;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ended = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done_; });
      if (!ended && failure_.empty()) failure_ = "script did not end in time";
    }
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  CloseConnection();
  if (listenFd_ >= 0) close(listenFd_);
  listenFd_ = -1;
  return Failure().empty();
}

void TestPeer::Fail(size_t index, const std::string& why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failure_.empty()) failure_ = "step " + std::to_string(index) + ": " + why;
}

void TestPeer::CloseConnection() {
  if (connFd_ >= 0) close(connFd_);
  connFd_ = -1;
}

bool TestPeer::Sleep(uint32_t ms) {
  uint32_t deadline = Now() + ms;
  while (!stop_) {
    uint32_t left = Remaining(deadline);
    if (left == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(left < kSliceMs ? left : kSliceMs));
  }
  return false;
}

bool TestPeer::AcceptConnection(uint32_t timeoutMs) {
  CloseConnection();
  if (listenFd_ < 0) return false;
  uint32_t deadline = Now() + timeoutMs;
  while (!stop_) {
    uint32_t left = Remaining(deadline);
    if (left == 0) return false;
    pollfd p{listenFd_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left < kSliceMs ? left : kSliceMs));
    if (r <= 0) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    timeval limit{static_cast<time_t>(kTestPeerStepMs / 1000), 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    connFd_ = fd;
    connections_++;
    return true;
  }
  return false;
}

bool TestPeer::ReadExactly(uint8_t* out, size_t count, uint32_t deadline, std::string* why) {
  size_t have = 0;
  while (have < count) {
    if (stop_) {
      *why = "stopped";
      return false;
    }
    uint32_t left = Remaining(deadline);
    if (left == 0) {
      *why =
          "time ran out after " + std::to_string(have) + " of " + std::to_string(count) + " bytes";
      return false;
    }
    pollfd p{connFd_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left < kSliceMs ? left : kSliceMs));
    if (r <= 0) continue;
    ssize_t n = recv(connFd_, out + have, count - have, 0);
    if (n == 0) {
      *why = "connection closed after " + std::to_string(have) + " of " + std::to_string(count) +
             " bytes";
      return false;
    }
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      *why = std::string("recv failed: ") + strerror(errno);
      return false;
    }
    have += static_cast<size_t>(n);
  }
  return true;
}

bool TestPeer::SendAll(const uint8_t* data, size_t count) {
  size_t sent = 0;
  while (sent < count) {
    ssize_t n = send(connFd_, data + sent, count - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

void TestPeer::Run() {
  bool ok = AcceptConnection(kTestPeerStepMs);
  if (!ok) Fail(0, "no connection came in");
  for (size_t i = 0; ok && i < steps_.size(); ++i) ok = RunStep(i + 1, steps_[i]);
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = true;
  changed_.notify_all();
}

bool TestPeer::RunStep(size_t index, const Step& step) {
  bool needsConnection = step.kind != Kind::kPause && step.kind != Kind::kHold &&
                         step.kind != Kind::kAccept && step.kind != Kind::kClose;
  if (needsConnection && connFd_ < 0) {
    Fail(index, "no connection");
    return false;
  }
  switch (step.kind) {
    case Kind::kRead: {
      uint32_t deadline = Now() + step.timeoutMs;
      std::string why;
      Bytes message(4);
      if (!ReadExactly(message.data(), 4, deadline, &why)) {
        Fail(index, "read: " + why);
        return false;
      }
      uint32_t length = 0;
      ReadU24(message.data(), message.size(), 1, &length);
      if (length > kLargestReadMessage) {
        Fail(index, "read: Message Length " + std::to_string(length));
        return false;
      }
      if (length > 4) {
        message.resize(length);
        if (!ReadExactly(message.data() + 4, length - 4, deadline, &why)) {
          Fail(index, "read: " + why);
          return false;
        }
      }
      lastRead_ = message;
      DecodedMessage decoded = DecodeMessage(message);
      decoded.connection = connections_.load() - 1;
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.push_back(std::move(decoded));
      changed_.notify_all();
      return true;
    }
    case Kind::kAnswer: {
      if (lastRead_.size() < kHeaderSize) {
        Fail(index, "answer: no request was read");
        return false;
      }
      const AnswerSpec& a = step.answer;
      DecodedMessage request = DecodeMessage(lastRead_);
      Bytes answer = step.bytes;
      uint32_t command = a.commandCode.value_or(request.commandCode) & kLength24Mask;
      uint8_t flags = a.flags.value_or(static_cast<uint8_t>(request.flags & ~kCommandFlagRequest));
      WriteU32(answer.data() + 4, command);
      answer[4] = flags;
      WriteU32(answer.data() + 8, a.applicationId.value_or(request.applicationId));
      WriteU32(answer.data() + 12, a.hopByHop.value_or(request.hopByHop));
      WriteU32(answer.data() + 16, a.endToEnd.value_or(request.endToEnd));
      if (!SendAll(answer.data(), answer.size())) {
        Fail(index, "answer: send failed");
        return false;
      }
      return true;
    }
    case Kind::kSend:
      if (!SendAll(step.bytes.data(), step.bytes.size())) {
        Fail(index, "send failed");
        return false;
      }
      return true;
    case Kind::kTrickle:
      for (size_t at = 0; at < step.bytes.size(); at += step.chunk) {
        if (at != 0 && !Sleep(step.timeoutMs)) {
          Fail(index, "trickle: stopped");
          return false;
        }
        size_t n = step.bytes.size() - at < step.chunk ? step.bytes.size() - at : step.chunk;
        if (!SendAll(step.bytes.data() + at, n)) {
          Fail(index, "trickle: send failed");
          return false;
        }
      }
      return true;
    case Kind::kPause:
      if (!Sleep(step.timeoutMs)) {
        Fail(index, "pause: stopped");
        return false;
      }
      return true;
    case Kind::kHold: {
      std::unique_lock<std::mutex> lock(mutex_);
      uint32_t deadline = Now() + step.timeoutMs;
      while (proceeds_ == 0) {
        if (stop_ || Remaining(deadline) == 0) {
          lock.unlock();
          Fail(index, "hold: the test did not proceed");
          return false;
        }
        changed_.wait_for(lock, std::chrono::milliseconds(kSliceMs));
      }
      --proceeds_;
      return true;
    }
    case Kind::kClose:
      CloseConnection();
      return true;
    case Kind::kHalfClose:
      shutdown(connFd_, SHUT_WR);
      return true;
    case Kind::kReset: {
      linger l{1, 0};
      setsockopt(connFd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      CloseConnection();
      return true;
    }
    case Kind::kExpectEnd: {
      uint32_t deadline = Now() + step.timeoutMs;
      while (!stop_ && Remaining(deadline) > 0) {
        pollfd p{connFd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(kSliceMs)) <= 0) continue;
        uint8_t scratch[256];
        ssize_t n = recv(connFd_, scratch, sizeof scratch, 0);
        if (n == 0) return true;
        if (n > 0) {
          Fail(index, "expected the end, got " + std::to_string(n) + " bytes");
          return false;
        }
        if (errno != EINTR && errno != EAGAIN) return true;  // a reset ends it too
      }
      Fail(index, "the client did not end the connection");
      return false;
    }
    case Kind::kAccept:
      if (!AcceptConnection(step.timeoutMs)) {
        Fail(index, "accept: no connection came in");
        return false;
      }
      return true;
  }
  return false;
}
