// Tests of the AVP and message header encoders, byte by byte, field by field.
#include "message/avp.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "message/identifiers.h"
#include "message/memory.h"
#include "platform/clock.h"

namespace {

using Bytes = std::vector<uint8_t>;

// One field of an encoded AVP or header: what it is and the bytes expected for it.
struct Field {
  const char* what;
  Bytes bytes;
};

Bytes Concat(const std::vector<Field>& fields) {
  Bytes all;
  for (const Field& f : fields) all.insert(all.end(), f.bytes.begin(), f.bytes.end());
  return all;
}

// Compares the bytes of buffer from offset on with the fields, one field at a time, and checks
// that nothing follows them.
void ExpectFields(const ByteBuffer* buffer, size_t offset, const std::vector<Field>& fields) {
  ASSERT_NE(buffer, nullptr);
  size_t at = offset;
  for (const Field& f : fields) {
    ASSERT_LE(at + f.bytes.size(), buffer->length) << "buffer ends before " << f.what;
    EXPECT_EQ(Bytes(buffer->bytes + at, buffer->bytes + at + f.bytes.size()), f.bytes) << f.what;
    at += f.bytes.size();
  }
  EXPECT_EQ(buffer->length, at) << "bytes after the last field";
}

struct Buffer {
  ~Buffer() { BufferRelease(&ref); }
  ByteBuffer* ref = nullptr;
};

TEST(AvpEncoding, WritesEachTypeAsTheWireExpects) {
  Buffer inner16;
  AppendAvpUint64(&inner16.ref, 1, 0, 0, 0);  // one AVP of 16 bytes
  ASSERT_EQ(inner16.ref->length, 16u);

  struct Case {
    const char* what;
    std::function<void(ByteBuffer**)> append;
    std::vector<Field> fields;
  };
  const Case cases[] = {
      {"text, mandatory, no vendor",
       [](ByteBuffer** b) { AppendAvpText(b, 263, 1, 0, "abc"); },
       {{"code 263", {0x00, 0x00, 0x01, 0x07}},
        {"M, length 11", {0x40, 0x00, 0x00, 0x0B}},
        {"data abc", {0x61, 0x62, 0x63}},
        {"padding", {0x00}}}},
      {"text, mandatory, vendor 10415",
       [](ByteBuffer** b) { AppendAvpText(b, 263, 1, 10415, "abc"); },
       {{"code 263", {0x00, 0x00, 0x01, 0x07}},
        {"V and M, length 15", {0xC0, 0x00, 0x00, 0x0F}},
        {"vendor 10415", {0x00, 0x00, 0x28, 0xAF}},
        {"data abc", {0x61, 0x62, 0x63}},
        {"padding", {0x00}}}},
      {"empty text, no vendor",
       [](ByteBuffer** b) { AppendAvpText(b, 263, 0, 0, ""); },
       {{"code 263", {0x00, 0x00, 0x01, 0x07}}, {"no flags, length 8", {0x00, 0x00, 0x00, 0x08}}}},
      {"empty text, vendor",
       [](ByteBuffer** b) { AppendAvpText(b, 263, 0, 10415, ""); },
       {{"code 263", {0x00, 0x00, 0x01, 0x07}},
        {"V, length 12", {0x80, 0x00, 0x00, 0x0C}},
        {"vendor 10415", {0x00, 0x00, 0x28, 0xAF}}}},
      {"any non-zero mandatory sets M; the full 32-bit code",
       [](ByteBuffer** b) { AppendAvpUint32(b, 0xFEDCBA98u, 7, 0, 0x01020304u); },
       {{"code FEDCBA98", {0xFE, 0xDC, 0xBA, 0x98}},
        {"M, length 12", {0x40, 0x00, 0x00, 0x0C}},
        {"value high byte first", {0x01, 0x02, 0x03, 0x04}}}},
      {"unsigned32 of -1",
       [](ByteBuffer** b) { AppendAvpUint32(b, 268, 1, 0, static_cast<uint32_t>(-1)); },
       {{"code 268", {0x00, 0x00, 0x01, 0x0C}},
        {"M, length 12", {0x40, 0x00, 0x00, 0x0C}},
        {"two's complement", {0xFF, 0xFF, 0xFF, 0xFF}}}},
      {"unsigned64 of -1",
       [](ByteBuffer** b) { AppendAvpUint64(b, 1, 0, 0, static_cast<uint64_t>(-1)); },
       {{"code 1", {0x00, 0x00, 0x00, 0x01}},
        {"length 16", {0x00, 0x00, 0x00, 0x10}},
        {"eight bytes FF", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}}},
      {"unsigned64 of 4294967296",
       [](ByteBuffer** b) { AppendAvpUint64(b, 1, 0, 0, 4294967296ull); },
       {{"code 1", {0x00, 0x00, 0x00, 0x01}},
        {"length 16", {0x00, 0x00, 0x00, 0x10}},
        {"high word first", {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}}}},
      {"address 10.1.2.3",
       [](ByteBuffer** b) { AppendAvpAddress(b, 257, 0, 0, "10.1.2.3"); },
       {{"code 257", {0x00, 0x00, 0x01, 0x01}},
        {"length 14", {0x00, 0x00, 0x00, 0x0E}},
        {"family IPv4", {0x00, 0x01}},
        {"address in network order", {0x0A, 0x01, 0x02, 0x03}},
        {"padding", {0x00, 0x00}}}},
      {"address that is not one",
       [](ByteBuffer** b) { AppendAvpAddress(b, 257, 1, 0, "not.an.address"); },
       {{"code 257", {0x00, 0x00, 0x01, 0x01}},
        {"M, length 14", {0x40, 0x00, 0x00, 0x0E}},
        {"family IPv4", {0x00, 0x01}},
        {"all ones", {0xFF, 0xFF, 0xFF, 0xFF}},
        {"padding", {0x00, 0x00}}}},
      {"grouped over 16 bytes",
       [&](ByteBuffer** b) { AppendAvpGrouped(b, 873, 1, 0, inner16.ref); },
       {{"code 873", {0x00, 0x00, 0x03, 0x69}},
        {"M, length 24", {0x40, 0x00, 0x00, 0x18}},
        {"inner AVPs unchanged", Bytes(inner16.ref->bytes, inner16.ref->bytes + 16)}}},
      {"grouped over 16 bytes, vendor",
       [&](ByteBuffer** b) { AppendAvpGrouped(b, 873, 0, 10415, inner16.ref); },
       {{"code 873", {0x00, 0x00, 0x03, 0x69}},
        {"V, length 28", {0x80, 0x00, 0x00, 0x1C}},
        {"vendor 10415", {0x00, 0x00, 0x28, 0xAF}},
        {"inner AVPs unchanged", Bytes(inner16.ref->bytes, inner16.ref->bytes + 16)}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Buffer out;
    c.append(&out.ref);
    ExpectFields(out.ref, 0, c.fields);
  }
}

TEST(AvpEncoding, PadsRawDataToFourBytes) {
  const uint8_t data[] = {1, 2, 3, 4, 5};
  for (uint32_t count = 0; count <= 5; ++count) {
    SCOPED_TRACE(count);
    Buffer out;
    AppendAvp(&out.ref, 2, 0, 0, data, count);
    uint8_t length = static_cast<uint8_t>(8 + count);
    uint32_t padding = (4 - count % 4) % 4;
    ExpectFields(out.ref, 0,
                 {{"code 2", {0x00, 0x00, 0x00, 0x02}},
                  {"length, padding not counted", {0x00, 0x00, 0x00, length}},
                  {"data", Bytes(data, data + count)},
                  {"padding", Bytes(padding, 0x00)}});
  }
}

// Each AVP starts where the previous one's padding ends, so a run of AVPs stays aligned.
TEST(AvpEncoding, AppendsAfterWhatTheBufferHolds) {
  Buffer out;
  AppendAvpText(&out.ref, 1, 0, 0, "a");
  AppendAvpText(&out.ref, 2, 0, 0, "bc");
  ExpectFields(out.ref, 0,
               {{"first code", {0x00, 0x00, 0x00, 0x01}},
                {"first length 9", {0x00, 0x00, 0x00, 0x09}},
                {"first data and padding", {0x61, 0x00, 0x00, 0x00}},
                {"second code", {0x00, 0x00, 0x00, 0x02}},
                {"second length 10", {0x00, 0x00, 0x00, 0x0A}},
                {"second data and padding", {0x62, 0x63, 0x00, 0x00}}});
}

TEST(HeaderEncoding, WritesFlagsLengthAndIdentifiers) {
  Buffer body52;
  for (uint8_t i = 0; i < 52; ++i) BufferAppend(&body52.ref, &i, 1);
  Buffer body8;
  AppendAvp(&body8.ref, 2, 0, 0, nullptr, 0);

  struct Case {
    const char* what;
    uint32_t command;
    const ByteBuffer* body;
    std::vector<Field> fields;
  };
  const Case cases[] = {
      {"capabilities exchange: R only",
       257,
       body8.ref,
       {{"version 1, length 28", {0x01, 0x00, 0x00, 0x1C}},
        {"R, command 257", {0x80, 0x00, 0x01, 0x01}}}},
      {"credit control: R and P",
       272,
       body8.ref,
       {{"version 1, length 28", {0x01, 0x00, 0x00, 0x1C}},
        {"R and P, command 272", {0xC0, 0x00, 0x01, 0x10}}}},
      {"command code cut to 24 bits",
       0x12345678u,
       body8.ref,
       {{"version 1, length 28", {0x01, 0x00, 0x00, 0x1C}},
        {"R and P, low 24 bits", {0xC0, 0x34, 0x56, 0x78}}}},
      {"only 257 itself drops P",
       0x01000101u,
       body8.ref,
       {{"version 1, length 28", {0x01, 0x00, 0x00, 0x1C}},
        {"R and P, low 24 bits", {0xC0, 0x00, 0x01, 0x01}}}},
      {"body of 52 bytes",
       272,
       body52.ref,
       {{"version 1, length 72", {0x01, 0x00, 0x00, 0x48}},
        {"R and P, command 272", {0xC0, 0x00, 0x01, 0x10}}}},
      {"no body: a bare header",
       280,
       nullptr,
       {{"version 1, length 20", {0x01, 0x00, 0x00, 0x14}},
        {"R and P, command 280", {0xC0, 0x00, 0x01, 0x18}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Buffer out;
    AppendMessageHeader(&out.ref, c.command, 0xA1B2C3D4u, 0x01020304u, 0xF1F2F3F4u, c.body);
    std::vector<Field> fields = c.fields;
    fields.push_back({"application id", {0xA1, 0xB2, 0xC3, 0xD4}});
    fields.push_back({"hop-by-hop", {0x01, 0x02, 0x03, 0x04}});
    fields.push_back({"end-to-end", {0xF1, 0xF2, 0xF3, 0xF4}});
    if (c.body != nullptr) {
      fields.push_back({"body unchanged", Bytes(c.body->bytes, c.body->bytes + c.body->length)});
    }
    ExpectFields(out.ref, 0, fields);
  }
}

// Lengths beyond 24 bits keep their low 24 bits; the flags beside them are untouched.
TEST(LengthFields, AreCutToTwentyFourBits) {
  constexpr uint32_t kBig = (1u << 24) - 4;  // + 8 or + 12 passes 2^24
  std::vector<uint8_t> data(kBig, 0x11);

  Buffer plain;
  AppendAvp(&plain.ref, 9, 1, 0, data.data(), kBig);
  ASSERT_EQ(plain.ref->length, kBig + 8);
  EXPECT_EQ(Bytes(plain.ref->bytes + 4, plain.ref->bytes + 8), (Bytes{0x40, 0x00, 0x00, 0x04}));

  Buffer vendor;
  AppendAvp(&vendor.ref, 9, 0, 10415, data.data(), kBig);
  ASSERT_EQ(vendor.ref->length, kBig + 12);
  EXPECT_EQ(Bytes(vendor.ref->bytes + 4, vendor.ref->bytes + 8), (Bytes{0x80, 0x00, 0x00, 0x08}));

  Buffer body;
  BufferAppend(&body.ref, data.data(), kBig - 12);  // + 20 passes 2^24 by 4
  Buffer message;
  AppendMessageHeader(&message.ref, 272, 4, 1, 2, body.ref);
  ASSERT_EQ(message.ref->length, kBig + 8);
  EXPECT_EQ(Bytes(message.ref->bytes, message.ref->bytes + 8),
            (Bytes{0x01, 0x00, 0x00, 0x04, 0xC0, 0x00, 0x01, 0x10}));
}

// A growth failure in the middle of an AVP loses what was built so far; what follows lands in
// a fresh buffer, and nothing crashes or leaks.
TEST(AvpEncoding, HeapFailureMidwayLeavesAShortBuffer) {
  Buffer out;
  std::string text(4000, 't');
  AppendAvpText(&out.ref, 1, 0, 0, text.c_str());  // 4008 bytes in a 4096 buffer
  MemFailNthAllocation(1);
  text.pop_back();
  AppendAvpText(&out.ref, 2, 0, 0, text.c_str());  // its data needs growth, which fails
  ASSERT_NE(out.ref, nullptr);
  EXPECT_EQ(out.ref->length, 1u);  // only the one padding byte came after
  EXPECT_EQ(out.ref->bytes[0], 0);
  EXPECT_EQ(out.ref->capacity, 4096u);
}

uint32_t TimerAt1000() {
  return 1000;
}

// The template lines of the worked request, encoded one by one with the encoders the tree
// builder uses, then the header with the identifiers drawn from a timer that reads 1000.
TEST(WorkedRequest, EncodesLineByLineIntoEightyEightBytes) {
  Buffer body;
  // <avp code='263' mandatory='Y' type='UTF8String' value='abc'/>
  AppendAvpText(&body.ref, 263, 1, 0, "abc");
  ExpectFields(body.ref, 0,
               {{"code 263", {0x00, 0x00, 0x01, 0x07}},
                {"M, length 11", {0x40, 0x00, 0x00, 0x0B}},
                {"abc and padding", {0x61, 0x62, 0x63, 0x00}}});
  // <avp code='416' mandatory='yes' type='unsigned32' value='1'/>
  AppendAvpUint32(&body.ref, 416, 1, 0, 1);
  ExpectFields(body.ref, 12,
               {{"code 416", {0x00, 0x00, 0x01, 0xA0}},
                {"M, length 12", {0x40, 0x00, 0x00, 0x0C}},
                {"value 1", {0x00, 0x00, 0x00, 0x01}}});

  // <avp code='873' vendor='10415' mandatory='Y' type='grouped'> with one child kept:
  // <avp code='2000' vendor='10415' type='OctetString' value='0A0b1'/>
  Buffer inner;
  const uint8_t octets[] = {0x0A, 0x0B};
  AppendAvp(&inner.ref, 2000, 0, 10415, octets, sizeof octets);
  std::vector<Field> child = {{"code 2000", {0x00, 0x00, 0x07, 0xD0}},
                              {"V, length 14", {0x80, 0x00, 0x00, 0x0E}},
                              {"vendor 10415", {0x00, 0x00, 0x28, 0xAF}},
                              {"0A 0B and padding", {0x0A, 0x0B, 0x00, 0x00}}};
  ExpectFields(inner.ref, 0, child);
  // </avp>
  AppendAvpGrouped(&body.ref, 873, 1, 10415, inner.ref);
  ExpectFields(body.ref, 24,
               {{"code 873", {0x00, 0x00, 0x03, 0x69}},
                {"V and M, length 28", {0xC0, 0x00, 0x00, 0x1C}},
                {"vendor 10415", {0x00, 0x00, 0x28, 0xAF}},
                {"the 16 inner bytes", Concat(child)}});

  // <avp code='257' type='IPAddress' value='10.1.2.3'/>
  AppendAvpAddress(&body.ref, 257, 0, 0, "10.1.2.3");
  ExpectFields(body.ref, 52,
               {{"code 257", {0x00, 0x00, 0x01, 0x01}},
                {"length 14", {0x00, 0x00, 0x00, 0x0E}},
                {"family and address", {0x00, 0x01, 0x0A, 0x01, 0x02, 0x03}},
                {"padding", {0x00, 0x00}}});
  ASSERT_EQ(body.ref->length, 68u);

  // <diameter command-code='272' application-id='4'>
  platform::SetMillisecondTimerForTests(TimerAt1000);
  uint32_t hopByHop = 0;
  uint32_t endToEnd = 0;
  NextIdentifiers(-1, 1, &hopByHop, &endToEnd);
  platform::SetMillisecondTimerForTests(nullptr);
  Buffer message;
  AppendMessageHeader(&message.ref, 272, 4, hopByHop, endToEnd, body.ref);
  ExpectFields(message.ref, 0,
               {{"version 1, length 88", {0x01, 0x00, 0x00, 0x58}},
                {"R and P, command 272", {0xC0, 0x00, 0x01, 0x10}},
                {"application 4", {0x00, 0x00, 0x00, 0x04}},
                {"hop-by-hop 1000 x 1345 + 9876543", {0x00, 0xAB, 0x3A, 0x27}},
                {"end-to-end 1000 << 20", {0x3E, 0x80, 0x00, 0x00}},
                {"body", Bytes(body.ref->bytes, body.ref->bytes + 68)}});
}

}  // namespace
