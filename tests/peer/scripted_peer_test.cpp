// The scripted test server itself: its steps, its reconnects and its decoder.
#include <gtest/gtest.h>

#include "message/diameter.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "support/test_peer.h"

namespace {

platform::Socket ConnectTo(const TestPeer& peer) {
  platform::Socket s = platform::SocketCreateTcp();
  EXPECT_EQ(platform::SocketConnect(s, platform::InetAddr("127.0.0.1"), peer.Port(), 2000), 1);
  return s;
}

Bytes ReadMessageFrom(platform::Socket s) {
  Bytes out(4);
  size_t have = 0;
  uint32_t start = platform::ElapsedMilliseconds();
  size_t want = 4;
  while (have < want && platform::ElapsedMilliseconds() - start < 3000) {
    if (platform::SocketWaitReadable(s, 100) != 1) continue;
    int32_t n = platform::SocketRecv(s, out.data() + have, static_cast<uint32_t>(want - have));
    if (n <= 0) break;
    have += static_cast<size_t>(n);
    if (have == 4 && want == 4) {
      want = (size_t{out[1]} << 16) | (size_t{out[2]} << 8) | out[3];
      out.resize(want);
    }
  }
  out.resize(have);
  return out;
}

void SendAll(platform::Socket s, const Bytes& b) {
  ASSERT_EQ(platform::SocketSend(s, b.data(), static_cast<uint32_t>(b.size())),
            static_cast<int32_t>(b.size()));
}

TEST(ScriptedPeer, AnswersWithDefaultsAndExtrasAndFollowsReconnects) {
  TestPeer peer;
  ASSERT_TRUE(peer.Listening());
  AnswerSpec wanted;
  wanted.avps = AvpU32(kAvpSupportedVendorId, kVendor3GPP);
  wanted.multipleServices = {AvpU32(kAvpResultCode, 4012)};
  peer.Read().Answer(wanted).SendWatchdogRequest(7, 8).Close().Accept().Read();
  peer.Start();

  platform::Socket first = ConnectTo(peer);
  SendAll(first, BuildMessage(272, 0xC0, 4, 0x11223344, 0x55667788, AvpText(kAvpSessionId, "abc")));
  DecodedMessage answer = DecodeMessage(ReadMessageFrom(first));
  EXPECT_TRUE(answer.wellFormed);
  EXPECT_EQ(answer.flags, 0x40);  // the request's flags without R
  EXPECT_EQ(answer.commandCode, 272u);
  EXPECT_EQ(answer.applicationId, 4u);
  EXPECT_EQ(answer.hopByHop, 0x11223344u);
  EXPECT_EQ(answer.endToEnd, 0x55667788u);
  ASSERT_EQ(answer.avps.size(), 5u);
  EXPECT_EQ(answer.avps[0].code, kAvpResultCode);
  EXPECT_EQ(answer.avps[0].U32(), 2001u);
  EXPECT_EQ(answer.avps[1].Text(), kTestPeerOriginHost);
  EXPECT_EQ(answer.avps[2].Text(), kTestPeerOriginRealm);
  EXPECT_EQ(answer.avps[3].U32(), kVendor3GPP);
  std::vector<FlatAvp> flat = FlattenAvps(answer.avps);
  ASSERT_EQ(flat.size(), 6u);
  EXPECT_EQ(flat[5].depth, 1);
  EXPECT_EQ(flat[5].avp.U32(), 4012u);

  DecodedMessage watchdog = DecodeMessage(ReadMessageFrom(first));
  EXPECT_EQ(watchdog.flags, kCommandFlagRequest);
  EXPECT_EQ(watchdog.commandCode, kCommandDeviceWatchdog);
  EXPECT_EQ(watchdog.hopByHop, 7u);
  EXPECT_EQ(watchdog.endToEnd, 8u);
  EXPECT_EQ(ReadMessageFrom(first).size(), 0u);  // closed by the peer
  platform::SocketClose(first);

  platform::Socket second = ConnectTo(peer);
  SendAll(second, BuildMessage(280, 0, 0, 1, 2, {}));
  ASSERT_TRUE(peer.Finish()) << peer.Failure();
  std::vector<DecodedMessage> got = peer.Messages();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].connection, 0);
  EXPECT_EQ(got[0].Find(kAvpSessionId)->Text(), "abc");
  EXPECT_EQ(got[1].connection, 1);
  EXPECT_EQ(got[1].length, 20u);
  EXPECT_EQ(peer.Connections(), 2);
  platform::SocketClose(second);
}

TEST(ScriptedPeer, ReportsAStepThatRunsOutAndFinishesInBoundedTime) {
  TestPeer peer;
  peer.Read(200).Answer();
  peer.Start();
  platform::Socket s = ConnectTo(peer);
  uint32_t start = platform::ElapsedMilliseconds();
  EXPECT_FALSE(peer.Finish());
  EXPECT_LT(platform::ElapsedMilliseconds() - start, 2000u);
  EXPECT_NE(peer.Failure().find("step 1: read: time ran out"), std::string::npos) << peer.Failure();
  platform::SocketClose(s);

  TestPeer held;
  held.Hold(60000);
  held.Start();
  platform::Socket t = ConnectTo(held);
  start = platform::ElapsedMilliseconds();
  EXPECT_FALSE(held.Finish(300));  // stopped although the hold would wait longer
  EXPECT_LT(platform::ElapsedMilliseconds() - start, 2000u);
  platform::SocketClose(t);
}

TEST(ScriptedPeer, DecoderStaysWithinTheMessageLength) {
  Bytes good = BuildMessage(257, 0x80, 0, 1, 2, AvpU32(kAvpResultCode, 2001));
  DecodedMessage m = DecodeMessage(good);
  EXPECT_TRUE(m.wellFormed);
  EXPECT_TRUE(m.IsRequest());
  ASSERT_NE(m.Find(kAvpResultCode), nullptr);

  Bytes overlong = good;
  overlong[27] = 0x40;  // AVP Length 64 runs past the message
  m = DecodeMessage(overlong);
  EXPECT_FALSE(m.wellFormed);
  EXPECT_TRUE(m.avps.empty());

  Bytes cut(good.begin(), good.begin() + 24);  // fewer bytes than the Message Length says
  m = DecodeMessage(cut);
  EXPECT_FALSE(m.wellFormed);
  EXPECT_EQ(m.length, 32u);
}

}  // namespace
