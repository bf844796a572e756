// Reading answers: the largest Result-Code with its log lines, the end of the AVP walk at bad
// lengths, vendor ids, and the result-code-ok lists.
#include "peer/inspect.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/diameter.h"
#include "support/log_capture.h"
#include "support/test_peer.h"

namespace {

constexpr uint32_t kRatingGroup = 432;
constexpr uint32_t kUsedServiceUnit = 446;
constexpr uint32_t kVendorSpecificApplicationId = 260;
constexpr uint32_t kAuthApplicationId = 258;

Bytes AnswerOf(const Bytes& avps) {
  return BuildMessage(kCommandCreditControl, kCommandFlagProxiable, kApplicationCreditControl, 1, 2,
                      avps);
}

// Overwrites the 24-bit length field that starts at offset.
void SetLength(Bytes* bytes, size_t offset, uint32_t length) {
  (*bytes)[offset] = static_cast<uint8_t>(length >> 16);
  (*bytes)[offset + 1] = static_cast<uint8_t>(length >> 8);
  (*bytes)[offset + 2] = static_cast<uint8_t>(length);
}

// An AVP whose AVP Length field says length, whatever it holds.
Bytes WithAvpLength(Bytes avp, uint32_t length) {
  SetLength(&avp, 5, length);
  return avp;
}

Bytes WithMessageLength(Bytes message, uint32_t length) {
  SetLength(&message, 1, length);
  return message;
}

TEST(ExtractResultCode, LargestOfTopLevelAndDirectlyNestedCodesWithNestedLinesFirst) {
  LogCapture log;
  const Bytes message = AnswerOf(Concat({
      AvpU32(kAvpResultCode, 2001),
      AvpGrouped(kAvpMultipleServicesCreditControl,
                 Concat({AvpU32(kAvpResultCode, 4012), AvpU32(kAvpResultCode, 5000, kVendor3GPP),
                         AvpGrouped(kUsedServiceUnit, AvpU32(kAvpResultCode, 6000)),
                         AvpU32(kRatingGroup, 1)})),
      AvpU32(kAvpResultCode, 9999, kVendor3GPP),
      AvpText(kAvpOriginHost, "server.example"),
  }));
  std::vector<uint8_t> buffer(16384, 0);  // as the receiver leaves it
  std::copy(message.begin(), message.end(), buffer.begin());
  EXPECT_EQ(ExtractResultCode(buffer.data(), static_cast<uint32_t>(buffer.size())), 4012u);
  EXPECT_EQ(log.Log(),
            "AVP Code 268, Len 12\r\n"
            "-AVP Code 268, Len 12\r\n"
            "-Vendor specific -AVP Code 268, Len 16\r\n"
            "-AVP Code 446, Len 20\r\n"
            "-AVP Code 432, Len 12\r\n"
            "AVP Code 456, Len 68\r\n"
            "Vendor specific AVP Code 268, Len 16\r\n"
            "AVP Code 264, Len 22\r\n"
            "Result Code 4012\r\n");
}

TEST(ExtractResultCode, PicksTheLargestCodeOrZero) {
  struct Case {
    const char* name;
    Bytes message;
    uint32_t code;
  };
  const Bytes oneCode = AnswerOf(AvpU32(kAvpResultCode, 2001));
  const Case cases[] = {
      {"top level above nested",
       AnswerOf(Concat({AvpU32(kAvpResultCode, 5030), AvpGrouped(kAvpMultipleServicesCreditControl,
                                                                 AvpU32(kAvpResultCode, 2001))})),
       5030},
      {"two services",
       AnswerOf(
           Concat({AvpGrouped(kAvpMultipleServicesCreditControl, AvpU32(kAvpResultCode, 2001)),
                   AvpGrouped(kAvpMultipleServicesCreditControl, AvpU32(kAvpResultCode, 4010))})),
       4010},
      {"vendor-specific only", AnswerOf(AvpU32(kAvpResultCode, 9999, kVendor3GPP)), 0},
      {"vendor-specific service holder",
       AnswerOf(AvpGrouped(kAvpMultipleServicesCreditControl, AvpU32(kAvpResultCode, 4012),
                           kVendor3GPP)),
       0},
      {"none", AnswerOf(AvpText(kAvpOriginHost, "server.example")), 0},
      {"header only", AnswerOf({}), 0},
      {"Message Length 32", WithMessageLength(oneCode, 32), 2001},
      {"Message Length 31", WithMessageLength(oneCode, 31), 0},
      {"Message Length 12", WithMessageLength(oneCode, 12), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    EXPECT_EQ(ExtractResultCode(c.message.data(), static_cast<uint32_t>(c.message.size())), c.code);
    std::string lines = log.Log();
    std::string closing = "Result Code " + std::to_string(c.code) + "\r\n";
    ASSERT_GE(lines.size(), closing.size());
    EXPECT_EQ(lines.substr(lines.size() - closing.size()), closing);
  }
}

// An AVP that runs past its container, or whose AVP Length is below its header, is not logged
// and ends the walk of that container; the readable size bounds the walk as well.
TEST(ExtractResultCode, WalkEndsAtAnAvpPastTheEndOrShorterThanItsHeader) {
  const Bytes first = AvpU32(kAvpResultCode, 2001);
  const Bytes later = AvpU32(kAvpResultCode, 5000);
  const std::string firstOnly = "AVP Code 268, Len 12\r\nResult Code 2001\r\n";
  struct Case {
    const char* name;
    Bytes message;
    size_t size;  // 0: the whole message
    uint32_t code;
    std::string lines;
  };
  const Bytes pair = AnswerOf(Concat({first, later}));
  const Case cases[] = {
      {"past the Message Length",
       AnswerOf(
           Concat({first, WithAvpLength(AvpText(kAvpOriginHost, "server.example"), 256), later})),
       0, 2001, firstOnly},
      {"AVP Length 0", AnswerOf(Concat({first, WithAvpLength(AvpU32(1, 0), 0), later})), 0, 2001,
       firstOnly},
      {"AVP Length 4", AnswerOf(Concat({first, WithAvpLength(AvpU32(1, 0), 4), later})), 0, 2001,
       firstOnly},
      {"AVP Length 7", AnswerOf(Concat({first, WithAvpLength(AvpU32(1, 0), 7), later})), 0, 2001,
       firstOnly},
      {"fewer bytes readable than the Message Length", pair, pair.size() - 4, 2001, firstOnly},
      {"an AVP header in the last 8 bytes", AnswerOf(Concat({first, AvpText(kAvpOriginHost, "")})),
       0, 2001, firstOnly},
      {"nested past its service holder",
       AnswerOf(Concat({AvpGrouped(kAvpMultipleServicesCreditControl,
                                   Concat({AvpU32(kAvpResultCode, 4012),
                                           WithAvpLength(AvpU32(kAvpResultCode, 6000), 40)})),
                        AvpU32(kAvpResultCode, 2002)})),
       0, 4012,
       "-AVP Code 268, Len 12\r\nAVP Code 456, Len 32\r\nAVP Code 268, Len 12\r\n"
       "Result Code 4012\r\n"},
      {"nested AVP Length 0",
       AnswerOf(AvpGrouped(kAvpMultipleServicesCreditControl,
                           Concat({AvpU32(kAvpResultCode, 4012), WithAvpLength(AvpU32(1, 0), 0),
                                   AvpU32(kAvpResultCode, 6000)}))),
       0, 4012, "-AVP Code 268, Len 12\r\nAVP Code 456, Len 44\r\nResult Code 4012\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    // Exactly the readable bytes on the heap, so a read past them is caught.
    size_t size = c.size != 0 ? c.size : c.message.size();
    std::vector<uint8_t> readable(c.message.begin(),
                                  c.message.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_EQ(ExtractResultCode(readable.data(), static_cast<uint32_t>(size)), c.code);
    EXPECT_EQ(log.Log(), c.lines);
    EXPECT_EQ(HasVendorId(readable.data(), static_cast<uint32_t>(size), 5000), 0);
  }
}

TEST(HasVendorId, FindsTopLevelNonVendorIdsOnly) {
  struct Case {
    const char* name;
    Bytes message;
    uint32_t vendor;
    int found;
  };
  const Case cases[] = {
      {"Supported-Vendor-Id", AnswerOf(AvpU32(kAvpSupportedVendorId, kVendor3GPP)), kVendor3GPP, 1},
      {"Vendor-Id", AnswerOf(AvpU32(kAvpVendorId, kVendor3GPP)), kVendor3GPP, 1},
      {"second of two",
       AnswerOf(Concat({AvpU32(kAvpSupportedVendorId, kVendorScap),
                        AvpU32(kAvpSupportedVendorId, kVendor3GPP)})),
       kVendor3GPP, 1},
      {"first of two",
       AnswerOf(Concat({AvpU32(kAvpSupportedVendorId, kVendorScap),
                        AvpU32(kAvpSupportedVendorId, kVendor3GPP)})),
       kVendorScap, 1},
      {"another id", AnswerOf(AvpU32(kAvpSupportedVendorId, kVendorScap)), kVendor3GPP, 0},
      {"inside Vendor-Specific-Application-Id",
       AnswerOf(AvpGrouped(kVendorSpecificApplicationId, Concat({AvpU32(kAvpVendorId, kVendor3GPP),
                                                                 AvpU32(kAuthApplicationId, 4)}))),
       kVendor3GPP, 0},
      {"vendor-specific AVP", AnswerOf(AvpU32(kAvpSupportedVendorId, kVendor3GPP, kVendor3GPP)),
       kVendor3GPP, 0},
      {"behind an AVP Length 0",
       AnswerOf(
           Concat({WithAvpLength(AvpU32(1, 0), 0), AvpU32(kAvpSupportedVendorId, kVendor3GPP)})),
       kVendor3GPP, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    EXPECT_EQ(HasVendorId(c.message.data(), static_cast<uint32_t>(c.message.size()), c.vendor),
              c.found);
    EXPECT_EQ(log.Log(), "");
  }
}

TEST(IsCodeInList, MatchesWholeEntriesAndLeavesTheListAsItWas) {
  struct Case {
    const char* list;
    uint32_t code;
    int found;
  };
  const Case cases[] = {
      {"2001", 2001, 1},
      {"2001, 2002", 2002, 1},
      {"2001,   2002", 2002, 1},
      {"2001 ,2002", 2001, 0},  // the blank belongs to the entry
      {"2001 ,2002", 2002, 1},
      {" 2001", 2001, 0},
      {"2001,\t2002", 2002, 0},  // only blanks are skipped
      {"02001", 2001, 0},
      {"2001", 0, 0},
      {"2001", 4294967295u, 0},
      {"4294967295", 4294967295u, 1},
      {"-1", 4294967295u, 0},
      {"0", 0, 1},
      {"2001,,2002", 2002, 1},
      {",2001", 2001, 1},
      {"2001,", 2001, 1},
      {"2001,", 0, 0},
      {"", 0, 0},
      {"2001,2002,5030", 5030, 1},
      {"20011,2001", 2001, 1},
      {"200,2001", 200, 1},
      {"2001", 200, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "\"" << c.list << "\" " << c.code);
    LogCapture log;
    // The list and what follows it in memory, to see that nothing outside it is touched either.
    std::string text = std::string(c.list) + '\0' + "guard";
    std::vector<char> list(text.begin(), text.end());
    EXPECT_EQ(IsCodeInList(list.data(), c.code), c.found);
    EXPECT_EQ(std::string(list.begin(), list.end()), text);
    EXPECT_EQ(log.Log(), "");
  }
}

}  // namespace
