// tshark as an independent decoder of what mm9charge puts on the wire: the dialogue with
// freeDiameter is captured on the loopback of the server's namespace, and every message must
// decode without a malformed packet, an expert warning or error, or an AVP the dissector does
// not know, each AVP with its intended name, flags, vendor and value.
#include <gtest/gtest.h>
#include <time.h>

#include <cstring>
#include <string>
#include <vector>

#include "interop/interop.h"

namespace {

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// The AVPs of a decoded message, each as its summary line indented two blanks per level.
std::vector<std::string> Outline(const DecodedMessage& message) {
  std::vector<std::string> lines;
  for (const auto& avp : message.avps) {
    lines.push_back(std::string(static_cast<size_t>(2 * avp.depth), ' ') + avp.line);
  }
  return lines;
}

void ExpectAvps(const DecodedMessage& message, const std::vector<std::string>& expected) {
  std::vector<std::string> decoded = Outline(message);
  bool same = decoded.size() == expected.size();
  for (size_t i = 0; same && i < expected.size(); ++i) {
    same = PatternMatches(expected[i], decoded[i]);
  }
  EXPECT_TRUE(same) << "frame " << message.frame << ", " << message.command << "\nexpected:\n"
                    << Join(expected) << "decoded:\n"
                    << Join(decoded);
}

// A Diameter Time value as tshark shows it ("Dec 11, 2026 13:32:09.000000000 UTC"), in seconds
// since 1970; -1 when it does not read as one.
time_t DecodedTime(const std::string& value) {
  tm parts{};
  const char* end = strptime(value.c_str(), "%b %d, %Y %H:%M:%S", &parts);
  if (end == nullptr) return -1;
  return timegm(&parts);
}

void ExpectTimeWithin(const DecodedMessage& message, const std::string& name, time_t from,
                      time_t to) {
  for (const auto& avp : message.avps) {
    if (avp.name != name) continue;
    time_t t = DecodedTime(avp.value);
    EXPECT_GE(t, from - 1) << name << " " << avp.value;
    EXPECT_LE(t, to + 1) << name << " " << avp.value;
    return;
  }
  ADD_FAILURE() << name << " not found in frame " << message.frame;
}

class TsharkInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string missing = TsharkMissing();
    if (missing.empty()) missing = FreeDiameterMissing();
    if (!missing.empty()) GTEST_SKIP() << missing;
  }
};

const std::vector<std::string> kCommonHead = {
    "Session-Id(263) f=-M- val=mm9charge.interop.test;<n>;<n>",
    "Origin-Host(264) f=-M- val=mm9charge.interop.test",
    "Origin-Realm(296) f=-M- val=interop.test",
    "Destination-Realm(283) f=-M- val=interop.test",
    "Auth-Application-Id(258) f=-M- val=Diameter Credit Control Application (4)",
    "Service-Context-Id(461) f=-M- val=32270@3gpp.org",
    "CC-Request-Type(416) f=-M- val=EVENT_REQUEST (4)",
    "CC-Request-Number(415) f=-M- val=0",
    "Origin-State-Id(278) f=-M- val=<n>",
    "Event-Timestamp(55) f=-M- val=<*> UTC",
    "Subscription-Id(443) f=-M-",
    "  Subscription-Id-Type(450) f=-M- val=END_USER_E164 (0)",
    "  Subscription-Id-Data(444) f=-M- val=491701234567",
    "Requested-Action(436) f=-M- val=DIRECT_DEBITING (0)",
};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Two runs against freeDiameter, which holds each charge answer until a watchdog exchange so
// that the client's Device-Watchdog-Answer is on the wire too: one with every value and every
// extension set, in a time zone ahead of UTC; one with the optional values blank, only the time
// zone and a three-digit MNC, in a zone behind UTC.
TEST_F(TsharkInterop, EveryMessageOfTheClientDecodesToItsIntendedAvps) {
  FreeDiameter server;
  FreeDiameter::Options options;
  options.answer = "after-watchdog";
  options.capture = true;
  ASSERT_EQ(server.Start(options), "");
  ClientFolder client;

  ClientSettings full = WithEveryValue();
  full.recipient = "user@example.org";
  client.WriteSettings(full);
  time_t fullFrom = time(nullptr);
  ProcessResult fullRun = RunClient(server, client, "", {{"TZ", "<+0530>-5:30"}});
  time_t fullTo = time(nullptr);
  EXPECT_NE(fullRun.err.find("Diameter charge OK"), std::string::npos) << fullRun.err;

  ClientSettings sparse;
  sparse.tgppTimeZone = true;
  sparse.sgsnMccMnc = "310410";
  client.WriteSettings(sparse);
  ProcessResult sparseRun = RunClient(server, client, "", {{"TZ", "<-0330>3:30"}});
  EXPECT_NE(sparseRun.err.find("Diameter charge OK"), std::string::npos) << sparseRun.err;

  server.Stop();
  Decoding decoding = DecodeCapture(server.CapturePath(), kServerPort);
  ASSERT_TRUE(decoding.ran) << Join(decoding.problems);
  EXPECT_TRUE(decoding.problems.empty()) << Join(decoding.problems) << decoding.text;

  std::vector<const DecodedMessage*> sent;
  std::vector<std::string> order;
  for (const auto& m : decoding.messages) {
    if (m.sourcePort == kServerPort) continue;
    sent.push_back(&m);
    char flags[8];
    snprintf(flags, sizeof flags, "0x%02x", m.flags);
    order.push_back(m.command + " " + flags);
  }
  const std::vector<std::string> oneRun = {
      "Capabilities-Exchange (257) 0x80", "Credit-Control (272) 0xc0", "Device-Watchdog (280) 0x00",
      "Disconnect-Peer (282) 0x80"};
  ASSERT_EQ(order, Concat(oneRun, oneRun)) << decoding.text;

  const std::vector<std::string> capabilitiesHead = {
      "Origin-Host(264) f=-M- val=mm9charge.interop.test",
      "Origin-Realm(296) f=-M- val=interop.test",
      "Host-IP-Address(257) f=-M- val=127.0.0.1",
      "Vendor-Id(266) f=-M- val=0",
      "Product-Name(269) f=--- val=MMSC",
      "Origin-State-Id(278) f=-M- val=<n>",
      "Supported-Vendor-Id(265) f=-M- val=10415",
  };
  const std::vector<std::string> capabilitiesTail = {
      "Auth-Application-Id(258) f=-M- val=Diameter Credit Control Application (4)",
      "Firmware-Revision(267) f=--- val=20160210",
  };
  const std::vector<std::string> watchdogAnswer = {
      "Result-Code(268) f=-M- val=DIAMETER_SUCCESS (2001)",
      "Origin-Host(264) f=-M- val=mm9charge.interop.test",
      "Origin-Realm(296) f=-M- val=interop.test",
  };
  const std::vector<std::string> disconnect = {
      "Origin-Host(264) f=-M- val=mm9charge.interop.test",
      "Origin-Realm(296) f=-M- val=interop.test",
      "Disconnect-Cause(273) f=-M- val=REBOOTING (0)",
  };

  // Every value, every set.
  ExpectAvps(*sent[0], Concat(Concat(capabilitiesHead, {"Supported-Vendor-Id(265) f=-M- val=193"}),
                              capabilitiesTail));
  ExpectAvps(
      *sent[1],
      Concat(
          kCommonHead,
          {
              "Service-Identifier(439) f=-M- val=4000000000",
              "Requested-Service-Unit(437) f=-M-",
              "  CC-Money(413) f=-M-",
              "    Unit-Value(445) f=-M-",
              "      Value-Digits(447) f=-M- val=123456",
              "      Exponent(429) f=-M- val=-2",
              "    Currency-Code(425) f=-M- val=978",
              "  CC-Service-Specific-Units(417) f=-M- val=5000000000",
              "Service-Information(873) f=VM- vnd=TGPP",
              "  PS-Information(874) f=VM- vnd=TGPP",
              "    3GPP-SGSN-MCC-MNC(18) f=V-- vnd=TGPP val=26201",
              "    SGSN-Address(1228) f=VM- vnd=TGPP val=10.1.2.3",
              "    3GPP-User-Location-Info(22) f=V-- vnd=TGPP val=MCC 262 Germany, MNC 01 <*>, "
              "LAC 0x0, CI 0x0",
              "    3GPP-MS-TimeZone(23) f=V-- vnd=TGPP val=Timezone: GMT + 5 hours 30 minutes No "
              "adjustment",
              "  MMS-Information(877) f=VM- vnd=TGPP",
              "    Originator-Address(886) f=VM- vnd=TGPP",
              "      Address-Type(899) f=VM- vnd=TGPP val=MSISDN (1)",
              "      Address-Data(897) f=VM- vnd=TGPP val=491701234567",
              "    Recipient-Address(1201) f=VM- vnd=TGPP",
              "      Address-Type(899) f=VM- vnd=TGPP val=e-mail address (0)",
              "      Address-Data(897) f=VM- vnd=TGPP val=user@example.org",
              "    Submission-Time(1202) f=VM- vnd=TGPP val=<*> UTC",
              "    Message-Type(1211) f=VM- vnd=TGPP val=m-send-req (1)",
              "    Message-Size(1212) f=VM- vnd=TGPP val=32768",
              "    VASP-ID(1101) f=VM- vnd=TGPP val=vasp-1",
              "Service-Provider-Id(1081) f=VM- vnd=Ericsson val=provider-1",
              "Subscription-Id-Location(1074) f=VM- vnd=Ericsson val=location-1",
          }));
  ExpectTimeWithin(*sent[1], "Event-Timestamp", fullFrom, fullTo);
  ExpectTimeWithin(*sent[1], "Submission-Time", fullFrom, fullTo);
  ExpectAvps(*sent[2], watchdogAnswer);
  ExpectAvps(*sent[3], disconnect);

  // Optional values blank: the money and units group and the message details are left out.
  ExpectAvps(*sent[4], Concat(capabilitiesHead, capabilitiesTail));
  ExpectAvps(*sent[5],
             Concat(kCommonHead,
                    {
                        "Service-Information(873) f=VM- vnd=TGPP",
                        "  PS-Information(874) f=VM- vnd=TGPP",
                        "    3GPP-SGSN-MCC-MNC(18) f=V-- vnd=TGPP val=310410",
                        "    3GPP-User-Location-Info(22) f=V-- vnd=TGPP val=MCC 310 United States, "
                        "MNC 410 <*>, LAC 0x0, CI 0x0",
                        "    3GPP-MS-TimeZone(23) f=V-- vnd=TGPP val=Timezone: GMT - 3 hours 30 "
                        "minutes No adjustment",
                    }));
  ExpectAvps(*sent[6], watchdogAnswer);
  ExpectAvps(*sent[7], disconnect);
}

// The checks above rest on recognising tshark's findings; a capture made here with an unknown AVP,
// an AVP that overruns its message and an unknown vendor AVP shows that each one is reported.
TEST(TsharkOracle, UnknownAndMalformedAvpsAreReported) {
  std::string missing = TsharkMissing();
  if (!missing.empty()) GTEST_SKIP() << missing;

  auto u32 = [](std::string* out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<char>(v >> shift));
  };
  auto avp = [&](uint32_t code, const std::string& data, uint32_t vendor = 0, uint32_t length = 0) {
    std::string out;
    uint32_t headerSize = vendor != 0 ? 12 : 8;
    u32(&out, code);
    uint32_t flags = vendor != 0 ? 0xC0 : 0x40;
    u32(&out,
        flags << 24 | (length != 0 ? length : headerSize + static_cast<uint32_t>(data.size())));
    if (vendor != 0) u32(&out, vendor);
    out += data;
    out.append((4 - data.size() % 4) % 4, '\0');
    return out;
  };
  auto request = [&](const std::string& body) {
    std::string out;
    u32(&out, 1u << 24 | static_cast<uint32_t>(20 + body.size()));
    u32(&out, 0xC0u << 24 | 272);
    u32(&out, 4);
    u32(&out, 1);
    u32(&out, 2);
    return out + body;
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"unknown AVP 4242", request(avp(263, "a;1;2") + avp(4242, std::string(4, '\7')))},
      {"AVP longer than its message", request(avp(263, "a;1;3") + avp(264, "host.x", 0, 200))},
      {"unknown 3GPP AVP 4243", request(avp(263, "a;1;4") + avp(4243, "xx", 10415))},
  };

  // pcap with raw IPv4 frames (link type 101), one TCP segment per message.
  std::string pcap;
  auto le32 = [&pcap](uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) pcap.push_back(static_cast<char>(v >> shift));
  };
  le32(0xA1B2C3D4);
  le32(2 | 4u << 16);
  le32(0);
  le32(0);
  le32(65535);
  le32(101);
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string& payload = cases[i].second;
    std::string ip;
    u32(&ip, 0x45000000u | static_cast<uint32_t>(40 + payload.size()));
    u32(&ip, 0x00004000);
    u32(&ip, 0x40060000);
    u32(&ip, 0x7F000001);
    u32(&ip, 0x7F000001);
    u32(&ip, static_cast<uint32_t>(40001 + i) << 16 | kServerPort);
    u32(&ip, 1);
    u32(&ip, 0);
    u32(&ip, 0x5018FFFF);
    u32(&ip, 0);
    ip += payload;
    le32(static_cast<uint32_t>(1000 + i));
    le32(0);
    le32(static_cast<uint32_t>(ip.size()));
    le32(static_cast<uint32_t>(ip.size()));
    pcap += ip;
  }
  TempDir dir;
  WriteWholeFile(dir.File("findings.pcap"), pcap);

  Decoding decoding = DecodeCapture(dir.File("findings.pcap"), kServerPort);
  ASSERT_TRUE(decoding.ran) << Join(decoding.problems);
  ASSERT_EQ(decoding.messages.size(), cases.size()) << decoding.text;
  const std::vector<std::string> expected = {
      "frame 1: AVP not known: Unknown(4242)<*>",
      "frame 2: <*>[Expert Info (Error/Malformed): Wrong AVP(264) length 200]",
      "frame 3: AVP not known: Unknown(4243)<*>",
  };
  for (const auto& pattern : expected) {
    bool found = false;
    for (const auto& problem : decoding.problems) found = found || PatternMatches(pattern, problem);
    EXPECT_TRUE(found) << pattern << "\nreported:\n" << Join(decoding.problems);
  }
}

}  // namespace
