// The sample templates as the real program sends them: the Capabilities-Exchange-Request and the
// Credit-Control-Request received by the scripted server, decoded AVP by AVP, with every
// extension set and optional value given, and with optional values left blank.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "run_folder.h"
#include "support/test_peer.h"

namespace {

constexpr uint8_t kV = 0x80;
constexpr uint8_t kM = 0x40;
constexpr uint32_t k3gpp = 10415;
constexpr uint32_t kScap = 193;
constexpr uint32_t kSecondsFrom1900To1970 = 2208988800u;

// Vendor and flags of every AVP the sample templates may send. The location and time-zone AVPs
// of the GPRS attributes go without M, as the template explains; everything else carries it.
struct Rule {
  uint32_t vendor;
  uint8_t flags;
};
const std::map<uint32_t, Rule> kRules = {
    // Base protocol and credit control.
    {263, {0, kM}},
    {264, {0, kM}},
    {296, {0, kM}},
    {283, {0, kM}},
    {257, {0, kM}},
    {266, {0, kM}},
    {269, {0, 0}},  // Product-Name must not carry M
    {278, {0, kM}},
    {265, {0, kM}},
    {258, {0, kM}},
    {267, {0, 0}},  // Firmware-Revision neither
    {461, {0, kM}},
    {416, {0, kM}},
    {415, {0, kM}},
    {55, {0, kM}},
    {443, {0, kM}},
    {450, {0, kM}},
    {444, {0, kM}},
    {436, {0, kM}},
    {439, {0, kM}},
    {437, {0, kM}},
    {413, {0, kM}},
    {445, {0, kM}},
    {447, {0, kM}},
    {429, {0, kM}},
    {425, {0, kM}},
    {417, {0, kM}},
    // 3GPP.
    {873, {k3gpp, kV | kM}},
    {874, {k3gpp, kV | kM}},
    {18, {k3gpp, kV}},
    {1228, {k3gpp, kV | kM}},
    {22, {k3gpp, kV}},
    {23, {k3gpp, kV}},
    {877, {k3gpp, kV | kM}},
    {886, {k3gpp, kV | kM}},
    {1201, {k3gpp, kV | kM}},
    {899, {k3gpp, kV | kM}},
    {897, {k3gpp, kV | kM}},
    {1202, {k3gpp, kV | kM}},
    {1211, {k3gpp, kV | kM}},
    {1212, {k3gpp, kV | kM}},
    {1101, {k3gpp, kV | kM}},
    // SCAP.
    {1081, {kScap, kV | kM}},
    {1074, {kScap, kV | kM}},
};

Bytes U32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
Bytes U64(uint64_t v) {
  Bytes high = U32(static_cast<uint32_t>(v >> 32));
  Bytes low = U32(static_cast<uint32_t>(v));
  high.insert(high.end(), low.begin(), low.end());
  return high;
}
Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// The tree of a message as "263 264 443 >450 >444 ...": one ">" per level of nesting.
std::string Shape(const std::vector<FlatAvp>& flat) {
  std::string shape;
  for (const FlatAvp& f : flat) {
    if (!shape.empty()) shape += " ";
    shape += std::string(static_cast<size_t>(f.depth), '>') + std::to_string(f.avp.code);
  }
  return shape;
}

void ExpectRules(const std::vector<FlatAvp>& flat) {
  for (const FlatAvp& f : flat) {
    auto rule = kRules.find(f.avp.code);
    ASSERT_NE(rule, kRules.end()) << "unexpected AVP " << f.avp.code;
    EXPECT_EQ(f.avp.vendor, rule->second.vendor) << "AVP " << f.avp.code;
    EXPECT_EQ(f.avp.flags, rule->second.flags) << "AVP " << f.avp.code;
  }
}

struct Value {
  uint32_t code;  // the first AVP of this code, at any depth
  Bytes data;
};

void ExpectValues(const std::vector<FlatAvp>& flat, const std::vector<Value>& values) {
  for (const Value& v : values) {
    const DecodedAvp* avp = FindAvpDeep(flat, v.code);
    ASSERT_NE(avp, nullptr) << "AVP " << v.code;
    EXPECT_EQ(avp->data, v.data) << "AVP " << v.code;
  }
}

// Address-Type and Address-Data of an Originator-Address or Recipient-Address.
void ExpectAddress(const std::vector<FlatAvp>& flat, uint32_t code, uint32_t type,
                   const std::string& data) {
  const DecodedAvp* address = FindAvpDeep(flat, code);
  ASSERT_NE(address, nullptr) << "AVP " << code;
  std::vector<DecodedAvp> inner = address->Inner();
  ASSERT_EQ(inner.size(), 2u) << "AVP " << code;
  EXPECT_EQ(inner[0].code, 899u);
  EXPECT_EQ(inner[0].U32(), type) << "AVP " << code;
  EXPECT_EQ(inner[1].code, 897u);
  EXPECT_EQ(inner[1].Text(), data) << "AVP " << code;
}

const Bytes kLoopbackAddress = {0x00, 0x01, 127, 0, 0, 1};

const std::vector<Value> kCommonCerValues = {
    {264, Text("mmsc.test")}, {296, Text("test")}, {257, kLoopbackAddress}, {266, U32(0)},
    {269, Text("MMSC")},      {265, U32(k3gpp)},   {258, U32(4)},           {267, U32(20160210)},
};

const std::vector<Value> kCommonCcrValues = {
    {264, Text("mmsc.test")},
    {296, Text("test")},
    {283, Text("ocs.test")},
    {258, U32(4)},
    {416, U32(4)},
    {415, U32(0)},
    {450, U32(0)},
    {444, Text("491701234567")},  // one "+" dropped
    {436, U32(0)},
};

struct Case {
  const char* name;
  std::string messageExtra;
  std::vector<std::string> answers;
  std::string cerShape;
  std::string ccrShape;
  std::vector<Value> ccrValues;
  std::string recipient;  // as sent in MMS-Information; empty when that group is left out
  uint32_t recipientType;
};

TEST(TemplatesRequest, SampleTemplatesSendTheIntendedAvpsAndLeaveOutTheBlankOnes) {
  const Case cases[] = {
      {"every extension set and every optional value",
       "Include3GPPMSTimeZone=Y\r\n",  // counts while the SCAP set is on
       {"",    "", "", "",      "",         "",       "",  "7",    "5",     "1.23",
        "978", "", "", "26201", "10.1.2.3", "vasp-1", "Y", "sp-1", "loc-1", "Y"},
       "264 296 257 266 269 278 265 265 258 267",
       "263 264 296 283 258 461 416 415 278 55 443 >450 >444 436 439 437 >413 >>445 >>>447 "
       ">>>429 >>425 >417 873 >874 >>18 >>1228 >>22 >>23 >877 >>886 >>>899 >>>897 >>1201 >>>899 "
       ">>>897 >>1202 >>1211 >>1212 >>1101 1081 1074",
       {{461, Text("32270@3gpp.org")},
        {439, U32(7)},
        {447, U64(123)},
        {429, U32(static_cast<uint32_t>(-2))},
        {425, U32(978)},
        {417, U64(5)},
        {18, Text("26201")},
        {1228, {0x00, 0x01, 10, 1, 2, 3}},
        {22, {0x00, 0x62, 0xF2, 0x10, 0x00, 0x00, 0x00, 0x00}},
        {23, {0x40, 0x00}},  // UTC+1, no daylight saving
        {1211, U32(1)},
        {1212, U32(32768)},
        {1101, Text("vasp-1")},
        {1081, Text("sp-1")},
        {1074, Text("loc-1")}},
       "491707654321",
       1},
      {"optional values blank",
       "",
       {"",    "", "", "",  "", "",
        "   ",  // the Service-Context-Id blanked
        "",    "", "", "",  "", "mms@example.com",
        "",    "", "", "Y", "", "",
        "Y"},
       "264 296 257 266 269 278 265 265 258 267",
       "263 264 296 283 258 416 415 278 55 443 >450 >444 436 873 >877 >>886 >>>899 >>>897 "
       ">>1201 >>>899 >>>897 >>1202 >>1211 >>1212",
       {{1212, U32(32768)}},
       "mms@example.com",
       0},
      {"time zone alone, an amount without currency",
       "",
       {"", "", "", "", "", "", "", "", "", "0.50", "", "", "", "", "", "", "N", "Y", "N"},
       "264 296 257 266 269 278 265 258 267",
       "263 264 296 283 258 461 416 415 278 55 443 >450 >444 436 437 >413 >>445 >>>447 >>>429 "
       "873 >874 >>23",
       {{447, U64(50)}, {429, U32(static_cast<uint32_t>(-2))}, {23, {0x40, 0x00}}},
       "",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunFolder folder;
    TestPeer peer;
    peer.Read().Answer({.avps = AvpU32(265, k3gpp)}).Read().AnswerResult(2001).Read().Answer();
    peer.Start();
    folder.WriteIni(RunIni(peer.Port(), "", c.messageExtra));
    const uint32_t before = static_cast<uint32_t>(time(nullptr)) + kSecondsFrom1900To1970;

    // A fixed zone one hour ahead of UTC without daylight saving: 3GPP-MS-TimeZone 40 00.
    ProcessResult r = folder.Run(AnswerLines(c.answers), 10000, {{"TZ", "XYZ-1"}});
    const uint32_t after = static_cast<uint32_t>(time(nullptr)) + kSecondsFrom1900To1970;
    ASSERT_TRUE(peer.Finish()) << peer.Failure() << r.err;
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(folder.Log().find("Diameter charge OK\r\n"), std::string::npos);
    std::vector<DecodedMessage> got = peer.Messages();
    ASSERT_GE(got.size(), 2u);

    const DecodedMessage& cer = got[0];
    EXPECT_TRUE(cer.wellFormed);
    EXPECT_EQ(cer.length, cer.bytes.size());
    EXPECT_EQ(cer.commandCode, 257u);
    EXPECT_EQ(cer.flags, kV);  // R only
    EXPECT_EQ(cer.applicationId, 0u);
    std::vector<FlatAvp> cerFlat = FlattenAvps(cer.avps);
    EXPECT_EQ(Shape(cerFlat), c.cerShape);
    ExpectRules(cerFlat);
    ExpectValues(cerFlat, kCommonCerValues);

    const DecodedMessage& ccr = got[1];
    EXPECT_TRUE(ccr.wellFormed);
    EXPECT_EQ(ccr.length, ccr.bytes.size());
    EXPECT_EQ(ccr.commandCode, 272u);
    EXPECT_EQ(ccr.flags, kV | kM);  // R and P
    EXPECT_EQ(ccr.applicationId, 4u);
    std::vector<FlatAvp> flat = FlattenAvps(ccr.avps);
    EXPECT_EQ(Shape(flat), c.ccrShape);
    ExpectRules(flat);
    ExpectValues(flat, kCommonCcrValues);
    ExpectValues(flat, c.ccrValues);

    // The values of the moment: the Session-Id of our identity, the state of this connection,
    // the time of the charge.
    const DecodedAvp* session = FindAvpDeep(flat, 263);
    ASSERT_NE(session, nullptr);
    const std::string sessionId = session->Text();
    EXPECT_EQ(sessionId.rfind("mmsc.test;", 0), 0u) << sessionId;
    EXPECT_EQ(std::count(sessionId.begin(), sessionId.end(), ';'), 2) << sessionId;
    const DecodedAvp* state = FindAvpDeep(flat, 278);
    const DecodedAvp* cerState = FindAvpDeep(cerFlat, 278);
    ASSERT_TRUE(state != nullptr && cerState != nullptr);
    EXPECT_EQ(state->U32(), cerState->U32());
    const DecodedAvp* stamp = FindAvpDeep(flat, 55);
    ASSERT_NE(stamp, nullptr);
    EXPECT_GE(stamp->U32(), before);
    EXPECT_LE(stamp->U32(), after);
    if (!c.recipient.empty()) {
      const DecodedAvp* submitted = FindAvpDeep(flat, 1202);
      ASSERT_NE(submitted, nullptr);
      EXPECT_EQ(submitted->U32(), stamp->U32());
      ExpectAddress(flat, 886, 1, "491701234567");
      ExpectAddress(flat, 1201, c.recipientType, c.recipient);
    }
  }
}

}  // namespace
