// Building the charge's Credit-Control-Request from the sample template, as the charge does it
// before the send: request values, template scan, placeholder substitution, AVP building,
// identifiers and header. No socket, no trace.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/settings.h"
#include "charge/charge.h"
#include "message/avp.h"
#include "message/avp_builder.h"
#include "message/byte_buffer.h"
#include "message/decimal.h"
#include "message/diameter.h"
#include "message/identifiers.h"
#include "message/memory.h"
#include "message/placeholders.h"
#include "message/scanner.h"
#include "message/template_cache.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/text.h"

namespace {

constexpr uint32_t kChargeMessageSize = 32768;

void SetText(char* field, const char* text) {
  snprintf(field, kSettingTextSize, "%s", text);
}

// The settings of a run that answered every question, with every extension set enabled, or with
// none of them and the optional answers left blank.
void PrepareSettings(bool everything) {
  ResetSettings();
  SettingsRecord& s = Settings;
  SetText(s.DestinationHostAddress, "127.0.0.1");
  SetText(s.DestinationHostPortNumber, "3868");
  SetText(s.DestinationRealm, "ocs.mm9.test");
  SetText(s.HostIPAddress, "127.0.0.1");
  SetText(s.OriginHost, "mm9charge.mm9.test");
  SetText(s.OriginRealm, "mm9.test");
  SetText(s.ProductName, kDefaultProductName);
  SetText(s.SenderAddress, "+491701234567");
  SetText(s.RecipAddress, "+491707654321");
  SetText(s.ServiceContextId, kDefaultServiceContextId);
  if (everything) {
    SetText(s.ServiceIdentifier, "7");
    SetText(s.CCServiceSpecificUnits, "1");
    SetText(s.CCMoney, "1.23");
    SetText(s.CurrencyCode, "978");
    SetText(s.SGSNMCCMNC, "26201");
    SetText(s.SGSNAddress, "10.1.2.3");
    SetText(s.VASPID, "vasp-17");
    SetText(s.ServiceProviderId, "provider-42");
    SetText(s.SubscriptionIdLocation, "home");
    s.IncludeSCAPParameters = 1;
    s.Include3GPPMMSInformation = 1;
    s.Include3GPPMSTimeZone = 1;
    snprintf(s.SupportedExtensionSets, sizeof s.SupportedExtensionSets, "%s",
             "SCAP,3GPP,3GPPTIMEZONE,3GPPSGSN");
  }
  ParseMoneyAmount(s.CCMoney, &s.CCMoneyValueDigits, &s.CCMoneyExponent);
  ServerStartTime = platform::CalendarSeconds();
  RequestCounter = 0;
}

// One charge's requests, built as the charge builds them; each finished message goes to sent
// (which may keep a copy) and is released. The number of requests built.
template <typename Sent>
int BuildChargeRequests(Sent sent) {
  auto* values = static_cast<RequestValues*>(MemAlloc(sizeof(RequestValues)));
  if (values == nullptr) return 0;
  static char resultCodeOk[kAttributeSize];
  const SettingsRecord& s = Settings;
  FillRequestValues(values, s.SenderAddress, s.RecipAddress, kChargeMessageSize, s.SGSNMCCMNC,
                    s.SGSNAddress, s.VASPID);

  int built = 0;
  const char* cursor = GetCreditControlTemplate();
  uint32_t hopByHop = 0;
  ByteBuffer* message = nullptr;
  while (BuildNextChargeRequest(&cursor, values, resultCodeOk, &hopByHop, &message)) {
    if (message != nullptr) {
      sent(message);
      ++built;
    }
    BufferRelease(&message);
  }
  FreeRequestValues(values);
  return built;
}

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// 1 when a top-level AVP of the message (its bytes at message, length bytes) has code.
int HasTopLevelAvp(const uint8_t* message, uint32_t length, uint32_t code) {
  uint32_t pos = kHeaderSize;
  while (pos + kAvpHeaderSize <= length) {
    uint32_t avpLength = Be32(message + pos + 4) & kLength24Mask;
    if (avpLength < kAvpHeaderSize) return 0;
    if (Be32(message + pos) == code) return 1;
    pos += (avpLength + 3u) & ~3u;
  }
  return 0;
}

// Sets up the settings and the template, and checks once that the request really holds what
// the chosen settings switch on, so that a missing template or a broken build cannot pass for a
// fast one. The message length, or 0 after reporting the fault.
uint32_t PrepareAndCheck(benchmark::State& state, bool everything) {
  platform::OverrideExecutablePath(MM9_TEMPLATE_DIR "/mm9bench");
  PrepareSettings(everything);
  if (GetCreditControlTemplate() == nullptr) {
    state.SkipWithError("the credit-control template cannot be read from " MM9_TEMPLATE_DIR);
    return 0;
  }
  uint32_t length = 0;
  int scap = 0;
  int serviceInformation = 0;
  int built = BuildChargeRequests([&](const ByteBuffer* message) {
    length = message->length;
    scap = HasTopLevelAvp(message->bytes, message->length, 1081);
    serviceInformation = HasTopLevelAvp(message->bytes, message->length, 873);
  });
  if (built != 1 || length <= kHeaderSize || (everything && (!scap || !serviceInformation))) {
    state.SkipWithError("the sample request was not built as expected");
    return 0;
  }
  return length;
}

void RunBuild(benchmark::State& state, bool everything) {
  uint32_t length = PrepareAndCheck(state, everything);
  if (length == 0) return;
  for (auto _ : state) {
    int built = BuildChargeRequests([](const ByteBuffer* message) {
      benchmark::DoNotOptimize(message->bytes[message->length - 1]);
    });
    benchmark::DoNotOptimize(built);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
  state.counters["request_bytes"] = length;
}

// The sample request with every extension set enabled and every optional value given.
void BM_BuildChargeRequest_AllExtensionSets(benchmark::State& state) {
  RunBuild(state, true);
}
BENCHMARK(BM_BuildChargeRequest_AllExtensionSets);

// For comparison: no extension set, optional values blank (the smallest sample request).
void BM_BuildChargeRequest_NoExtensionSets(benchmark::State& state) {
  RunBuild(state, false);
}
BENCHMARK(BM_BuildChargeRequest_NoExtensionSets);

}  // namespace
