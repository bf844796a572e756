// Inspecting a Credit-Control-Answer of 40 AVPs, one of them a Multiple-Services-Credit-Control,
// as the charge does it: the Result-Code walk (which logs every AVP) and the result-code-ok list.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/log.h"
#include "message/avp.h"
#include "message/byte_buffer.h"
#include "message/diameter.h"
#include "peer/inspect.h"
#include "peer/receiver.h"
#include "platform/console.h"
#include "platform/file.h"

namespace {

constexpr uint32_t kAnswerAvpCount = 40;   // as the walk meets them: top level and inside the MSCC
constexpr uint32_t kServiceAvpCount = 10;  // inside the Multiple-Services-Credit-Control
constexpr uint32_t kAnswerResultCode = 2001;

ReceiveBuffer answer;  // where the receiver leaves an answer: the rest of it stays zero

// The AVPs directly inside the Multiple-Services-Credit-Control.
ByteBuffer* BuildServiceAvps() {
  ByteBuffer* units = nullptr;
  AppendAvpUint64(&units, 417, 1, 0, 1);  // CC-Service-Specific-Units
  ByteBuffer* trigger = nullptr;
  AppendAvpUint32(&trigger, 870, 1, kVendor3GPP, 1);  // Trigger-Type
  ByteBuffer* inner = nullptr;
  AppendAvpGrouped(&inner, 431, 1, 0, units);  // Granted-Service-Unit
  AppendAvpUint32(&inner, 439, 1, 0, 7);       // Service-Identifier
  AppendAvpUint32(&inner, 432, 1, 0, 1);       // Rating-Group
  AppendAvpUint32(&inner, 448, 1, 0, 3600);    // Validity-Time
  AppendAvpUint32(&inner, kAvpResultCode, 1, 0, kAnswerResultCode);
  AppendAvpUint32(&inner, 868, 1, kVendor3GPP, 30);         // Time-Quota-Threshold
  AppendAvpUint32(&inner, 869, 1, kVendor3GPP, 1024);       // Volume-Quota-Threshold
  AppendAvpUint32(&inner, 871, 1, kVendor3GPP, 60);         // Quota-Holding-Time
  AppendAvpGrouped(&inner, 1264, 1, kVendor3GPP, trigger);  // Trigger
  AppendAvpUint32(&inner, 872, 1, kVendor3GPP, 2);          // Reporting-Reason
  BufferRelease(&units);
  BufferRelease(&trigger);
  return inner;
}

// A whole answer in the receive buffer; the number of AVPs the walk meets.
uint32_t PrepareAnswer() {
  ByteBuffer* body = nullptr;
  uint32_t count = 0;
  auto text = [&](uint32_t code, const char* value, uint32_t vendor) {
    AppendAvpText(&body, code, 1, vendor, value);
    ++count;
  };
  auto number = [&](uint32_t code, uint32_t value, uint32_t vendor) {
    AppendAvpUint32(&body, code, 1, vendor, value);
    ++count;
  };
  text(kAvpSessionId, "mm9charge.mm9.test;1765459200;123456789", 0);
  number(kAvpResultCode, kAnswerResultCode, 0);
  text(kAvpOriginHost, "ocs.mm9.test", 0);
  text(kAvpOriginRealm, "mm9.test", 0);
  number(258, 4, 0);            // Auth-Application-Id
  number(416, 4, 0);            // CC-Request-Type
  number(415, 0, 0);            // CC-Request-Number
  number(55, 3974448000u, 0);   // Event-Timestamp
  number(278, 1765459200u, 0);  // Origin-State-Id
  number(427, 1, 0);            // Credit-Control-Failure-Handling
  number(428, 1, 0);            // Direct-Debiting-Failure-Handling
  ByteBuffer* services = BuildServiceAvps();
  AppendAvpGrouped(&body, kAvpMultipleServicesCreditControl, 1, 0, services);
  BufferRelease(&services);
  count += 1 + kServiceAvpCount;
  // Route records and vendor-specific extras until the answer holds its 40 AVPs.
  for (uint32_t i = 0; count < kAnswerAvpCount; ++i) {
    char value[64];
    snprintf(value, sizeof value, "relay%u.mm9.test", i);
    if (i % 2 == 0) {
      text(282, value, 0);  // Route-Record
    } else {
      number(2000 + i, i, kVendor3GPP);
    }
  }
  ByteBuffer* message = nullptr;
  AppendMessageHeader(&message, kCommandCreditControl, kApplicationCreditControl, 1, 2, body);
  BufferRelease(&body);
  memset(answer.bytes, 0, sizeof answer.bytes);
  if (message == nullptr || message->length > sizeof answer.bytes) return 0;
  memcpy(answer.bytes, message->bytes, message->length);
  answer.bytes[4] &= static_cast<uint8_t>(~kCommandFlagRequest);  // an answer
  BufferRelease(&message);
  return count;
}

// The log channel writes to /dev/null on both of its ways out: the console and the log file.
struct NullLog {
  int console = -1;
  NullLog() {
    console = open("/dev/null", O_WRONLY | O_CLOEXEC);
    platform::SetConsoleErrorFdForTests(console);
    LogFile = platform::OpenLogFile("/dev/null");
  }
  ~NullLog() {
    platform::FileClose(LogFile);
    LogFile = platform::kInvalidFile;
    platform::SetConsoleErrorFdForTests(-1);
    if (console >= 0) close(console);
  }
};

// Result-Code walk with its log lines, then the judgement against the default list.
void BM_InspectAnswer40Avps(benchmark::State& state) {
  NullLog log;
  if (PrepareAnswer() != kAnswerAvpCount ||
      ExtractResultCode(answer.bytes, kReceiveBufferSize) != kAnswerResultCode) {
    state.SkipWithError("the sample answer was not built as expected");
    return;
  }
  static char resultCodeOk[] = "2001";
  for (auto _ : state) {
    uint32_t code = ExtractResultCode(answer.bytes, kReceiveBufferSize);
    int accepted = IsCodeInList(resultCodeOk, code);
    benchmark::DoNotOptimize(accepted);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["log_lines"] = kAnswerAvpCount + 1;
}
BENCHMARK(BM_InspectAnswer40Avps);

// The same AVP walk without log lines: a vendor id the answer does not hold, so every top-level
// AVP is looked at. Shows what the walk itself costs next to the logging.
void BM_WalkAnswer40AvpsWithoutLog(benchmark::State& state) {
  if (PrepareAnswer() != kAnswerAvpCount) {
    state.SkipWithError("the sample answer was not built as expected");
    return;
  }
  for (auto _ : state) {
    int found = HasVendorId(answer.bytes, kReceiveBufferSize, kVendorScap);
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WalkAnswer40AvpsWithoutLog);

}  // namespace
