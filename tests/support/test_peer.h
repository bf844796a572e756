// A scripted Diameter server for the tests, and a small decoder of the messages it receives.
//
// Usage:
//   TestPeer peer;                          // listens on 127.0.0.1, a free port: peer.Port()
//   peer.Read()                             // first step accepts the first connection by itself
//       .Answer({.resultCode = 2001, .avps = AvpU32(kAvpSupportedVendorId, 10415)})
//       .SendWatchdogRequest(7, 8)
//       .Read()                             // the client's watchdog answer
//       .Hold()                             // keeps the connection open until peer.Proceed()
//       .Close()
//       .Accept()                           // the client reconnects: connection index 1
//       .Read();
//   peer.Start();                           // runs the script on the peer's own thread
//   ... connect the client to 127.0.0.1:peer.Port() and drive it ...
//   ASSERT_TRUE(peer.Finish()) << peer.Failure();   // waits for the script's end (bounded)
//   std::vector<DecodedMessage> got = peer.Messages();  // every message read, with
//   got[i].connection
//
// Every step is bounded in time: a read, an accept or a hold that runs out ends the script with a
// failure (Failure() tells which step and why) and the connection stays as it was until Finish or
// the destructor closes it. Messages are built with the system's own encoders while the script is
// written, in the test's thread, so a test that injects allocation failures (MemFailNthAllocation)
// is not disturbed by the peer; at run time the peer only patches identifiers into them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

constexpr char kTestPeerOriginHost[] = "peer.test.example";
constexpr char kTestPeerOriginRealm[] = "test.example";
constexpr uint32_t kTestPeerStepMs = 5000;     // default limit of a read, an accept or a hold
constexpr uint32_t kTestPeerFinishMs = 20000;  // default wait of Finish for the script's end

using Bytes = std::vector<uint8_t>;

// ---- Decoding received bytes ----

struct DecodedAvp {
  uint32_t code = 0;
  uint8_t flags = 0;
  uint32_t length = 0;  // the AVP Length field: header and data, without padding
  uint32_t vendor = 0;  // 0 when the V flag is clear
  Bytes data;

  bool IsVendorSpecific() const { return (flags & 0x80) != 0; }
  bool IsMandatory() const { return (flags & 0x40) != 0; }
  uint32_t U32() const;                   // the first four data bytes, big-endian; 0 when shorter
  uint64_t U64() const;                   // the first eight data bytes, big-endian; 0 when shorter
  std::string Text() const;               // the data as text
  std::vector<DecodedAvp> Inner() const;  // the data decoded as the AVPs of a grouped AVP
};

struct DecodedMessage {
  int connection = -1;  // index of the peer's connection it arrived on (0 for the first)
  Bytes bytes;          // exactly as received
  uint8_t version = 0;
  uint32_t length = 0;  // Message Length field
  uint8_t flags = 0;
  uint32_t commandCode = 0;
  uint32_t applicationId = 0;
  uint32_t hopByHop = 0;
  uint32_t endToEnd = 0;
  std::vector<DecodedAvp> avps;  // top-level AVPs
  bool wellFormed = false;       // a whole header, and every AVP within the Message Length

  bool IsRequest() const { return (flags & 0x80) != 0; }
  const DecodedAvp* Find(uint32_t code) const;  // the first top-level AVP with code, or nullptr
};

// Decodes a message; the AVP walk stays within min(Message Length, size) and stops at an AVP
// that is shorter than its header or runs past that end (wellFormed is then false).
DecodedMessage DecodeMessage(const uint8_t* bytes, size_t size);
inline DecodedMessage DecodeMessage(const Bytes& bytes) {
  return DecodeMessage(bytes.data(), bytes.size());
}
std::vector<DecodedAvp> DecodeAvps(const uint8_t* bytes, size_t size, bool* wellFormed = nullptr);

// Codes of the grouped AVPs the system sends or receives (Multiple-Services-Credit-Control,
// Service-Information and the rest); FlattenAvps descends into them.
extern const std::vector<uint32_t> kGroupedAvpCodes;
struct FlatAvp {
  int depth;  // 0 for a top-level AVP
  DecodedAvp avp;
};
// Every AVP in document order, grouped ones followed by their members.
std::vector<FlatAvp> FlattenAvps(const std::vector<DecodedAvp>& avps,
                                 const std::vector<uint32_t>& grouped = kGroupedAvpCodes);
// The first AVP of the flat list with code (any depth), or nullptr.
const DecodedAvp* FindAvpDeep(const std::vector<FlatAvp>& flat, uint32_t code);

// ---- Building bytes with the system's encoders (mandatory flag set unless said) ----

Bytes AvpU32(uint32_t code, uint32_t value, uint32_t vendor = 0, bool mandatory = true);
Bytes AvpU64(uint32_t code, uint64_t value, uint32_t vendor = 0, bool mandatory = true);
Bytes AvpText(uint32_t code, const std::string& text, uint32_t vendor = 0, bool mandatory = true);
Bytes AvpGrouped(uint32_t code, const Bytes& inner, uint32_t vendor = 0, bool mandatory = true);
Bytes Concat(std::initializer_list<Bytes> parts);
// A whole message: 20-byte header with exactly these command flags, then the AVP bytes.
Bytes BuildMessage(uint32_t commandCode, uint8_t flags, uint32_t applicationId, uint32_t hopByHop,
                   uint32_t endToEnd, const Bytes& avps);

// What an answer to the last message read holds. Unset fields take the request's value; the
// flags default to the request's with R cleared.
struct AnswerSpec {
  std::optional<uint32_t> resultCode = 2001;  // nullopt: no top-level Result-Code
  std::optional<uint32_t> hopByHop{};
  std::optional<uint32_t> endToEnd{};
  std::optional<uint32_t> commandCode{};
  std::optional<uint32_t> applicationId{};
  std::optional<uint8_t> flags{};
  bool originAvps = true;  // Origin-Host and Origin-Realm of the peer after the Result-Code
  Bytes avps{};            // further AVPs, after those
  std::vector<Bytes> multipleServices{};  // one Multiple-Services-Credit-Control per entry,
                                          // holding these encoded AVPs; last in the answer
};

// ---- The peer ----

class TestPeer {
 public:
  // Listens on address:port (port 0: a free one). Listening() tells whether that worked.
  explicit TestPeer(const char* address = "127.0.0.1", uint16_t port = 0);
  ~TestPeer();
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;

  bool Listening() const { return listenFd_ >= 0; }
  uint16_t Port() const { return port_; }

  // Script steps, given before Start. The first connection is accepted before the first step.
  TestPeer& Read(uint32_t timeoutMs = kTestPeerStepMs);  // one whole message
  TestPeer& Answer(const AnswerSpec& wanted = {});       // answers the last message read
  TestPeer& AnswerResult(uint32_t resultCode);
  TestPeer& Send(const Bytes& bytes);  // raw bytes with one send
  TestPeer& SendWatchdogRequest(uint32_t hopByHop, uint32_t endToEnd);
  TestPeer& SendDisconnectRequest(uint32_t hopByHop, uint32_t endToEnd);
  // Sends bytes in pieces of chunk bytes with pauseMs between the pieces.
  TestPeer& Trickle(const Bytes& bytes, uint32_t chunk, uint32_t pauseMs);
  TestPeer& Pause(uint32_t ms);
  TestPeer& Hold(uint32_t timeoutMs = kTestPeerStepMs);  // until the test calls Proceed()
  TestPeer& Close();                                     // closes the connection
  TestPeer& HalfClose();  // shuts down the peer's sending direction; reading goes on
  TestPeer& Reset();      // closes with SO_LINGER 0, so the client sees a reset
  // Waits until the client has closed its sending direction; data read meanwhile is a failure.
  TestPeer& ExpectEnd(uint32_t timeoutMs = kTestPeerStepMs);
  TestPeer& Accept(uint32_t timeoutMs = kTestPeerStepMs);  // closes the current connection, if
                                                           // any, and accepts the next one
  void Start();  // once; runs the script on the peer's thread

  // While the script runs or after it.
  void Proceed();                                                            // releases one Hold
  bool WaitForMessages(size_t count, uint32_t timeoutMs = kTestPeerStepMs);  // count read so far
  std::vector<DecodedMessage> Messages() const;
  int Connections() const { return connections_.load(); }  // accepted so far
  // Waits for the end of the script; past timeoutMs the script is stopped. True when every step
  // succeeded. Closes the connection and the listening socket.
  bool Finish(uint32_t timeoutMs = kTestPeerFinishMs);
  std::string Failure() const;  // empty while nothing failed

 private:
  enum class Kind {
    kRead,
    kAnswer,
    kSend,
    kTrickle,
    kPause,
    kHold,
    kClose,
    kHalfClose,
    kReset,
    kExpectEnd,
    kAccept
  };
  struct Step {
    Kind kind;
    uint32_t timeoutMs = 0;
    uint32_t chunk = 0;
    Bytes bytes;  // for an answer: the built answer whose header is patched at run time
    AnswerSpec answer;
  };
  static Step MakeStep(Kind kind, uint32_t timeoutMs = 0) {
    Step step;
    step.kind = kind;
    step.timeoutMs = timeoutMs;
    return step;
  }

  TestPeer& Add(Step step);
  void Run();
  bool RunStep(size_t index, const Step& step);
  bool AcceptConnection(uint32_t timeoutMs);
  bool ReadExactly(uint8_t* out, size_t count, uint32_t deadline, std::string* why);
  bool SendAll(const uint8_t* data, size_t count);
  bool Sleep(uint32_t ms);  // false when stopped meanwhile
  void Fail(size_t index, const std::string& why);
  void CloseConnection();

  int listenFd_ = -1;
  int connFd_ = -1;
  uint16_t port_ = 0;
  std::vector<Step> steps_;
  Bytes lastRead_;
  std::thread thread_;
  bool started_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<DecodedMessage> messages_;
  std::string failure_;
  uint32_t proceeds_ = 0;
  bool done_ = false;
};
