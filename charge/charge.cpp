// The charge: fills the request values, sends one Credit-Control-Request per `diameter` element
// of the credit-control template on the ready connection, and judges the answers.
#include "charge/charge.h"

#include <cstdio>
#include <cstring>

#include "app/log.h"
#include "app/settings.h"
#include "message/avp.h"
#include "message/avp_builder.h"
#include "message/decimal.h"
#include "message/diameter.h"
#include "message/identifiers.h"
#include "message/memory.h"
#include "message/scanner.h"
#include "message/template_cache.h"
#include "peer/inspect.h"
#include "peer/peer_thread.h"
#include "peer/receiver.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace {

constexpr uint32_t kNoResultCode = 0xFFFFFFFFu;
constexpr int32_t kIdentifierKey = -1;
constexpr char kDefaultResultCodeOk[] = "2001";
constexpr uint32_t kSecondsFrom1900To1970 = 2208988800u;
constexpr size_t kSlotTextSize = 256;
constexpr int32_t kMinutesPerQuarterHour = 15;
constexpr int32_t kLargestQuarterHours = 79;  // two digits whose tens digit leaves bit 3 free
constexpr uint8_t kTimeZoneBehindUtc = 0x08;

void FillSlot(ByteBuffer** slot, const char* text) {
  BufferAppendText(slot, text);
}

void FillNumberSlot(ByteBuffer** slot, uint32_t value) {
  char text[kSlotTextSize];
  snprintf(text, sizeof text, "%u", value);
  FillSlot(slot, text);
}

const char* WithoutLeadingPlus(const char* address) {
  return address[0] == '+' ? address + 1 : address;
}

// The first octet of the 3GPP time-zone coding: the offset of local standard time from UTC in
// quarter hours as two decimal digits in swapped semi-octets, bit 3 set when behind UTC.
uint8_t TimeZoneOctet(int32_t biasMinutes) {
  int32_t quarters = -biasMinutes / kMinutesPerQuarterHour;
  bool behind = quarters < 0;
  int32_t magnitude = behind ? -quarters : quarters;
  if (magnitude > kLargestQuarterHours) magnitude = kLargestQuarterHours;
  auto octet = static_cast<uint8_t>(((magnitude % 10) << 4) | (magnitude / 10));
  return behind ? static_cast<uint8_t>(octet | kTimeZoneBehindUtc) : octet;
}

}  // namespace

void FillRequestValues(RequestValues* values, const char* sender, const char* recip,
                       uint32_t messageSize, const char* sgsnMccMnc, const char* sgsnAddress,
                       const char* vaspId) {
  char text[kSlotTextSize];
  snprintf(text, sizeof text, "%s;%u;%u", Settings.OriginHost, platform::CalendarSeconds(),
           platform::TickCount());
  FillSlot(&values->sessionId, text);
  FillSlot(&values->sender, WithoutLeadingPlus(sender));
  FillSlot(&values->recip, WithoutLeadingPlus(recip));
  FillSlot(&values->sgsnMccMnc, sgsnMccMnc);
  FillSlot(&values->sgsnAddress, sgsnAddress);
  if (vaspId != nullptr) FillSlot(&values->vaspId, vaspId);
  FillNumberSlot(&values->timeStamp, platform::CalendarSeconds() + kSecondsFrom1900To1970);
  snprintf(text, sizeof text, "%02X%02X", TimeZoneOctet(platform::TimeZoneBiasMinutes()), 0u);
  FillSlot(&values->timeZone, text);
  FillNumberSlot(&values->msgSize, messageSize);
  FillNumberSlot(&values->senderAddressType, strchr(sender, '@') == nullptr ? 1u : 0u);
  FillNumberSlot(&values->recipAddressType, strchr(recip, '@') == nullptr ? 1u : 0u);
}

void FreeRequestValues(RequestValues* values) {
  if (values == nullptr) return;
  for (ByteBuffer** slot : RequestValueSlots(values)) BufferRelease(slot);
  MemFree(values);
}

int BuildNextChargeRequest(const char** cursor, RequestValues* values, char* resultCodeOk,
                           uint32_t* hopByHop, ByteBuffer** message) {
  static char attribute[kAttributeSize];
  char name[kElementNameSize];
  while (*cursor != nullptr) {
    *cursor = NextElement(*cursor, name);
    if (*cursor == nullptr) break;
    if (!platform::TextEqualNoCase(name, "diameter")) continue;

    GetAttribute(*cursor, "command-code", attribute);
    uint32_t commandCode = ReadDecimal32(attribute);
    if (commandCode == 0) commandCode = kCommandCreditControl;
    uint32_t applicationId = kApplicationCreditControl;
    if (GetAttribute(*cursor, "application-id", attribute) && attribute[0] != '\0') {
      applicationId = ReadDecimal32(attribute);
    }
    GetAttribute(*cursor, "result-code-ok", resultCodeOk);
    if (resultCodeOk[0] == '\0') {
      snprintf(resultCodeOk, kAttributeSize, "%s", kDefaultResultCodeOk);
    }

    ByteBuffer* body = nullptr;
    BuildAvps(cursor, &body, values);
    uint32_t endToEnd = 0;
    NextIdentifiers(kIdentifierKey, 1, hopByHop, &endToEnd);
    *message = nullptr;
    AppendMessageHeader(message, commandCode, applicationId, *hopByHop, endToEnd, body);
    BufferRelease(&body);
    return 1;
  }
  return 0;
}

int SendCharge(const char* sender, const char* recip, uint32_t messageSize, const char* sgsnMccMnc,
               const char* sgsnAddress, const char* vaspId, uint32_t timeoutSeconds) {
  auto* values = static_cast<RequestValues*>(MemAlloc(sizeof(RequestValues)));
  if (values == nullptr) return 0;
  static char resultCodeOk[kAttributeSize];
  static ReceiveBuffer answer;
  snprintf(resultCodeOk, sizeof resultCodeOk, "%s", kDefaultResultCodeOk);
  FillRequestValues(values, sender, recip, messageSize, sgsnMccMnc, sgsnAddress, vaspId);

  uint32_t recorded = kNoResultCode;
  const char* cursor = GetCreditControlTemplate();
  uint32_t hopByHop = 0;
  ByteBuffer* message = nullptr;
  while (BuildNextChargeRequest(&cursor, values, resultCodeOk, &hopByHop, &message)) {
    platform::Socket s = PeerState.PeerSocket.load();
    if (message != nullptr) {
      platform::SocketSend(s, message->bytes, message->length);
      TracePacket(1, s, static_cast<int32_t>(message->length), message->bytes);
    }
    BufferRelease(&message);

    recorded = kNoResultCode;
    if (!ReceiveMessage(s, hopByHop, &answer, timeoutSeconds, nullptr)) {
      LogPrint("Diameter timeout\r\n");
      break;
    }
    recorded = ExtractResultCode(answer.bytes, kReceiveBufferSize);
    if (recorded == 0) {
      LogPrint("Unable to parse Diameter Result Code\r\n");
      break;
    }
    LogPrint("Diameter Result Code %u\r\n", recorded);
    if (!IsCodeInList(resultCodeOk, recorded)) break;
  }

  FreeRequestValues(values);
  return IsCodeInList(resultCodeOk, recorded);
}
