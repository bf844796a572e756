// Connecting to the Diameter server: dotted addresses used directly, names tried from the tick
// count's index, the "#digits" suffix, the cut of long texts and the fresh socket after a refusal.
#include "peer/connect.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "support/test_peer.h"

namespace {

// What the hooks saw; only the test's own thread connects.
std::vector<std::string> lookups;
std::vector<uint32_t> resolverAnswer;
std::vector<std::pair<uint32_t, uint16_t>> attempts;
uint32_t tickCount = 0;

int FakeResolver(const char* name, uint32_t* addresses, uint32_t room, uint32_t* count) {
  lookups.emplace_back(name);
  *count = 0;
  for (uint32_t a : resolverAnswer) {
    if (*count < room) addresses[(*count)++] = a;
  }
  return *count > 0 ? 1 : 0;
}

void ObserveConnect(uint32_t address, uint16_t port) {
  attempts.emplace_back(address, port);
}

uint32_t FakeTickCount() {
  return tickCount;
}

uint32_t Addr(const char* dotted) {
  return platform::InetAddr(dotted);
}

int OpenDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

bool IsOpen(platform::Socket s) {
  return fcntl(s, F_GETFD) != -1;
}

sockaddr_in LocalEnd(platform::Socket s) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) sa = sockaddr_in{};
  return sa;
}

std::string LocalAddress(platform::Socket s) {
  char out[platform::kDottedSize];
  platform::FormatDotted(LocalEnd(s).sin_addr.s_addr, out, sizeof out);
  return out;
}

// Tells sockets apart even when a handle number is used again.
ino_t SocketIdentity(platform::Socket s) {
  struct stat st {};
  return fstat(s, &st) == 0 ? st.st_ino : 0;
}

class ConnectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(listener.Listening());
    Forget();
    platform::SetResolverForTests(FakeResolver);
    platform::SetConnectObserverForTests(ObserveConnect);
    platform::SetTickCountForTests(FakeTickCount);
    // A bound socket that does not listen: connects to its port are refused at once.
    refuser = platform::SocketCreateTcp();
    ASSERT_EQ(platform::SocketBind(refuser, Addr("127.0.0.1"), 0), 1);
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ASSERT_EQ(getsockname(refuser, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    refusedPort = ntohs(sa.sin_port);
  }

  void TearDown() override {
    platform::SetResolverForTests(nullptr);
    platform::SetConnectObserverForTests(nullptr);
    platform::SetTickCountForTests(nullptr);
    platform::SocketClose(refuser);
  }

  void Forget() {
    lookups.clear();
    attempts.clear();
    resolverAnswer.clear();
  }

  // Never started: the kernel completes the connects on its backlog of 8, so a test connects
  // to it no more often than that.
  TestPeer listener;
  platform::Socket refuser = platform::kInvalidSocket;
  uint16_t refusedPort = 0;
};

TEST_F(ConnectTest, DottedAddressIsUsedDirectlyInOneAttempt) {
  const char* texts[] = {"127.0.0.1", "127.0.0.1 \t\r\n", "  127.0.0.1", "127.0.0.1#2",
                         "127.000.0.001"};
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    Forget();
    platform::Socket s = PrepareSocket();
    platform::Socket original = s;
    // Only the low 16 bits of the number are the port.
    int32_t port = static_cast<int32_t>(listener.Port()) + 3 * 65536;
    EXPECT_EQ(ConnectPeer(&s, text, port), 0);
    EXPECT_TRUE(lookups.empty());
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(attempts[0].first, Addr("127.0.0.1"));
    EXPECT_EQ(attempts[0].second, listener.Port());
    EXPECT_EQ(s, original);
    char peer[platform::kDottedSize] = "";
    EXPECT_EQ(platform::SocketPeerAddress(s, peer, sizeof peer), 1);
    EXPECT_STREQ(peer, "127.0.0.1");
    platform::SocketClose(s);
  }
}

TEST_F(ConnectTest, RefusedDottedAddressFailsAfterOneAttemptAndLeavesTheSocketOpen) {
  platform::Socket s = PrepareSocket();
  platform::Socket original = s;
  EXPECT_EQ(ConnectPeer(&s, "127.0.0.1", refusedPort), 1);
  EXPECT_EQ(attempts.size(), 1u);
  EXPECT_TRUE(lookups.empty());
  EXPECT_EQ(s, original);
  EXPECT_TRUE(IsOpen(s));
  platform::SocketClose(s);
}

// Texts that are no dotted address go to the resolver as they stand after the "#digits" cut, the
// 249-character cut and the trim of trailing control characters; an unresolved name gives 1.
TEST_F(ConnectTest, OtherTextsAreLookedUpAfterSuffixAndLengthCuts) {
  struct Case {
    std::string text;
    std::string lookedUp;
  };
  const std::string a249(249, 'a');
  const Case cases[] = {
      {"peer.example#2", "peer.example"},
      {"peer.example#", "peer.example"},
      {"peer.example#x2", "peer.example#x2"},
      {"peer.example#2x", "peer.example#2x"},
      {"peer#1#2", "peer#1#2"},
      {"peer.example \r\n", "peer.example"},
      {"0.1.2.3", "0.1.2.3"},
      {"127.0.0.256", "127.0.0.256"},
      {"127.0.0.1.5", "127.0.0.1.5"},
      {"127.0.0", "127.0.0"},
      {"127.0.0.1x", "127.0.0.1x"},
      {"127.0.0.1#x", "127.0.0.1#x"},
      {std::string(300, 'a'), a249},
      {std::string(255, 'a') + "#12", a249},
      // The length cut comes first: what remains after the "#" is all digits.
      {std::string(240, 'a') + "#12345678901", std::string(240, 'a')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Forget();
    std::string caller = c.text;
    platform::Socket s = PrepareSocket();
    EXPECT_EQ(ConnectPeer(&s, caller.c_str(), listener.Port()), 1);
    ASSERT_EQ(lookups.size(), 1u);
    EXPECT_EQ(lookups[0], c.lookedUp);
    EXPECT_TRUE(attempts.empty());
    EXPECT_EQ(caller, c.text);
    platform::SocketClose(s);
  }
}

TEST_F(ConnectTest, DottedTextWithAnEmptyPartIsNeitherConnectedNorLookedUp) {
  for (const char* text : {"127..0.1", "127.0.0."}) {
    SCOPED_TRACE(text);
    Forget();
    platform::Socket s = PrepareSocket();
    EXPECT_EQ(ConnectPeer(&s, text, listener.Port()), 1);
    EXPECT_TRUE(lookups.empty());
    EXPECT_TRUE(attempts.empty());
    platform::SocketClose(s);
  }
}

// Every address of a name is tried once, in list order from (tick count mod n); each attempt
// after a refused one runs on a fresh socket bound like the first, and the socket handed back
// is the last one tried. No socket is left behind.
TEST_F(ConnectTest, NameAddressesAreTriedFromTheTickCountIndexOnFreshSockets) {
  snprintf(Settings.IPAddressOut, sizeof Settings.IPAddressOut, "127.0.0.5");
  const uint32_t open = Addr("127.0.0.1");
  const uint32_t b = Addr("127.0.0.2");
  const uint32_t c = Addr("127.0.0.3");
  const uint32_t d = Addr("127.0.0.4");
  struct Case {
    uint32_t tick;
    std::vector<uint32_t> addresses;
    std::vector<uint32_t> tried;
    int result;
  };
  const Case cases[] = {
      {1000, {open, b, c}, {b, c, open}, 0},
      {1000, {b, open, c}, {open}, 0},
      {4294967295u, {b, c, open}, {b, c, open}, 0},  // 4294967295 mod 3 is 0
      {1000, {b, c, d}, {c, d, b}, 1},
      {7, {open}, {open}, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "tick " << k.tick << ", first tried " << (k.tried.empty() ? 0 : k.tried[0]));
    Forget();
    tickCount = k.tick;
    resolverAnswer = k.addresses;
    int before = OpenDescriptors();
    platform::Socket s = PrepareSocket();
    platform::Socket original = s;
    ino_t originalIdentity = SocketIdentity(s);
    EXPECT_EQ(ConnectPeer(&s, "peer.example", listener.Port()), k.result);
    EXPECT_EQ(lookups, std::vector<std::string>{"peer.example"});
    std::vector<uint32_t> tried;
    for (const auto& attempt : attempts) {
      tried.push_back(attempt.first);
      EXPECT_EQ(attempt.second, listener.Port());
    }
    EXPECT_EQ(tried, k.tried);
    EXPECT_TRUE(IsOpen(s));
    EXPECT_EQ(LocalAddress(s), "127.0.0.5");
    if (k.tried.size() == 1) {
      EXPECT_EQ(s, original);
      EXPECT_EQ(SocketIdentity(s), originalIdentity);
    } else {
      EXPECT_NE(SocketIdentity(s), originalIdentity);  // not the socket of a refused attempt
    }
    EXPECT_EQ(OpenDescriptors(), before + 1);  // only the socket handed back
    if (k.result == 0) {
      char peer[platform::kDottedSize] = "";
      EXPECT_EQ(platform::SocketPeerAddress(s, peer, sizeof peer), 1);
      EXPECT_STREQ(peer, "127.0.0.1");
    }
    platform::SocketClose(s);
  }
}

}  // namespace
