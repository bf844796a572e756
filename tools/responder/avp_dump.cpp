// Readable dumps of Diameter messages: the dictionary of the AVPs that the sample templates and
// the answers carry, and the nested walk that prints them.
#include "tools/responder/avp_dump.h"

#include <cstdarg>
#include <cstdio>

#include "message/diameter.h"
#include "message/wire_read.h"

namespace {

constexpr uint32_t kMaxDumpDepth = 16;  // deeper groups are shown as raw data
constexpr uint32_t kSecondsFrom1900To1970 = 2208988800u;

const AvpInfo kDictionary[] = {
    // Diameter base and credit control.
    {55, 0, "Event-Timestamp", 'T'},
    {257, 0, "Host-IP-Address", 'A'},
    {258, 0, "Auth-Application-Id", 'U'},
    {259, 0, "Acct-Application-Id", 'U'},
    {260, 0, "Vendor-Specific-Application-Id", 'G'},
    {263, 0, "Session-Id", 'S'},
    {264, 0, "Origin-Host", 'S'},
    {265, 0, "Supported-Vendor-Id", 'U'},
    {266, 0, "Vendor-Id", 'U'},
    {267, 0, "Firmware-Revision", 'U'},
    {268, 0, "Result-Code", 'U'},
    {269, 0, "Product-Name", 'S'},
    {273, 0, "Disconnect-Cause", 'E'},
    {278, 0, "Origin-State-Id", 'U'},
    {279, 0, "Failed-AVP", 'G'},
    {281, 0, "Error-Message", 'S'},
    {283, 0, "Destination-Realm", 'S'},
    {293, 0, "Destination-Host", 'S'},
    {296, 0, "Origin-Realm", 'S'},
    {299, 0, "Inband-Security-Id", 'U'},
    {413, 0, "CC-Money", 'G'},
    {415, 0, "CC-Request-Number", 'U'},
    {416, 0, "CC-Request-Type", 'E'},
    {417, 0, "CC-Service-Specific-Units", 'L'},
    {425, 0, "Currency-Code", 'U'},
    {429, 0, "Exponent", 'I'},
    {431, 0, "Granted-Service-Unit", 'G'},
    {432, 0, "Rating-Group", 'U'},
    {436, 0, "Requested-Action", 'E'},
    {437, 0, "Requested-Service-Unit", 'G'},
    {439, 0, "Service-Identifier", 'U'},
    {443, 0, "Subscription-Id", 'G'},
    {444, 0, "Subscription-Id-Data", 'S'},
    {445, 0, "Unit-Value", 'G'},
    {447, 0, "Value-Digits", 'J'},
    {450, 0, "Subscription-Id-Type", 'E'},
    {455, 0, "Multiple-Services-Indicator", 'E'},
    {456, 0, "Multiple-Services-Credit-Control", 'G'},
    {461, 0, "Service-Context-Id", 'S'},
    // 3GPP charging.
    {18, kVendor3GPP, "3GPP-SGSN-MCC-MNC", 'S'},
    {22, kVendor3GPP, "3GPP-User-Location-Info", 'O'},
    {23, kVendor3GPP, "3GPP-MS-TimeZone", 'O'},
    {873, kVendor3GPP, "Service-Information", 'G'},
    {874, kVendor3GPP, "PS-Information", 'G'},
    {877, kVendor3GPP, "MMS-Information", 'G'},
    {886, kVendor3GPP, "Originator-Address", 'G'},
    {897, kVendor3GPP, "Address-Data", 'S'},
    {898, kVendor3GPP, "Address-Domain", 'G'},
    {899, kVendor3GPP, "Address-Type", 'E'},
    {1101, kVendor3GPP, "VASP-ID", 'S'},
    {1102, kVendor3GPP, "VAS-ID", 'S'},
    {1201, kVendor3GPP, "Recipient-Address", 'G'},
    {1202, kVendor3GPP, "Submission-Time", 'T'},
    {1210, kVendor3GPP, "Message-ID", 'S'},
    {1211, kVendor3GPP, "Message-Type", 'E'},
    {1212, kVendor3GPP, "Message-Size", 'U'},
    {1228, kVendor3GPP, "SGSN-Address", 'A'},
    // SCAP.
    {1074, kVendorScap, "Subscription-Id-Location", 'S'},
    {1075, kVendorScap, "Other-Party-Id", 'G'},
    {1076, kVendorScap, "Other-Party-Id-Nature", 'E'},
    {1077, kVendorScap, "Other-Party-Id-Data", 'S'},
    {1078, kVendorScap, "Other-Party-Id-Type", 'E'},
    {1081, kVendorScap, "Service-Provider-Id", 'S'},
    {1082, kVendorScap, "Traffic-Case", 'I'},
};

struct CommandInfo {
  uint32_t code;
  const char* name;
};

const CommandInfo kCommands[] = {
    {kCommandCapabilitiesExchange, "Capabilities-Exchange"},
    {kCommandCreditControl, "Credit-Control"},
    {kCommandDeviceWatchdog, "Device-Watchdog"},
    {kCommandDisconnectPeer, "Disconnect-Peer"},
};

void AppendFormat(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void AppendFormat(std::string* out, const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  out->append(line);
}

void AppendHex(std::string* out, const uint8_t* bytes, size_t offset, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    uint32_t b = 0;
    ReadU8(bytes, offset + length, offset + i, &b);
    AppendFormat(out, "%02X", b);
  }
}

void AppendText(std::string* out, const uint8_t* bytes, size_t offset, uint32_t length) {
  out->push_back('"');
  for (uint32_t i = 0; i < length; ++i) {
    uint32_t b = 0;
    ReadU8(bytes, offset + length, offset + i, &b);
    if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
      out->push_back(static_cast<char>(b));
    } else {
      AppendFormat(out, "\\x%02X", b);
    }
  }
  out->push_back('"');
}

void AppendValue(std::string* out, char type, const uint8_t* bytes, size_t offset,
                 uint32_t length) {
  size_t end = offset + length;
  uint32_t word = 0;
  uint32_t low = 0;
  switch (type) {
    case 'U':
    case 'E':
    case 'I':
    case 'T':
      if (length != 4 || !ReadU32(bytes, end, offset, &word)) break;
      if (type == 'I') {
        AppendFormat(out, "%d", static_cast<int32_t>(word));
      } else if (type == 'T') {
        AppendFormat(out, "%u (seconds since 1900; %u since 1970)", word,
                     word - kSecondsFrom1900To1970);
      } else {
        AppendFormat(out, "%u", word);
      }
      return;
    case 'L':
    case 'J':
      if (length != 8 || !ReadU32(bytes, end, offset, &word) ||
          !ReadU32(bytes, end, offset + 4, &low)) {
        break;
      }
      if (type == 'J') {
        AppendFormat(out, "%lld",
                     static_cast<long long>(static_cast<int64_t>((uint64_t{word} << 32) | low)));
      } else {
        AppendFormat(out, "%llu", static_cast<unsigned long long>((uint64_t{word} << 32) | low));
      }
      return;
    case 'A':
      if (length == 6 && ReadU32(bytes, end, offset + 2, &word)) {
        uint32_t family = 0;
        uint32_t familyLow = 0;
        ReadU8(bytes, end, offset, &family);
        ReadU8(bytes, end, offset + 1, &familyLow);
        if (family == 0 && familyLow == 1) {
          AppendFormat(out, "%u.%u.%u.%u", word >> 24, (word >> 16) & 0xFF, (word >> 8) & 0xFF,
                       word & 0xFF);
          return;
        }
      }
      break;
    case 'S':
      AppendText(out, bytes, offset, length);
      return;
    default:
      break;
  }
  out->append("0x");
  AppendHex(out, bytes, offset, length);
}

// Walks the AVPs from offset to end, one line each; grouped ones recurse one level deeper.
void DumpAvps(std::string* out, const uint8_t* bytes, size_t offset, size_t end, uint32_t depth) {
  while (offset < end) {
    out->append(2 * (depth + 1), ' ');
    uint32_t code = 0;
    uint32_t flags = 0;
    uint32_t length = 0;
    if (!ReadU32(bytes, end, offset, &code) || !ReadU8(bytes, end, offset + 4, &flags) ||
        !ReadU24(bytes, end, offset + 5, &length)) {
      AppendFormat(out, "(%zu bytes that are no whole AVP header)\n", end - offset);
      return;
    }
    uint32_t vendor = 0;
    size_t header = kAvpHeaderSize;
    if ((flags & kAvpFlagVendor) != 0) {
      header = kAvpVendorHeaderSize;
      ReadU32(bytes, end, offset + 8, &vendor);
    }
    const AvpInfo* info = FindAvpInfo(code, vendor);
    AppendFormat(out, "%s (%u", info != nullptr ? info->name : "AVP", code);
    if (vendor != 0) AppendFormat(out, ", vendor %u", vendor);
    AppendFormat(out, ")%s%s", (flags & kAvpFlagVendor) != 0 ? " V" : "",
                 (flags & kAvpFlagMandatory) != 0 ? " M" : "");
    if (length < header || length > end - offset) {
      AppendFormat(out, ": AVP Length %u does not fit; the rest is not read\n", length);
      return;
    }
    size_t data = offset + header;
    uint32_t dataLength = length - static_cast<uint32_t>(header);
    if (info != nullptr && info->type == 'G' && depth + 1 < kMaxDumpDepth) {
      out->append("\n");
      DumpAvps(out, bytes, data, data + dataLength, depth + 1);
    } else {
      out->append(": ");
      AppendValue(out, info != nullptr ? info->type : 'O', bytes, data, dataLength);
      out->append("\n");
    }
    size_t padded = (static_cast<size_t>(length) + 3) & ~size_t{3};
    if (padded > end - offset) return;
    offset += padded;
  }
}

}  // namespace

const AvpInfo* FindAvpInfo(uint32_t code, uint32_t vendor) {
  for (const AvpInfo& info : kDictionary) {
    if (info.code == code && info.vendor == vendor) return &info;
  }
  return nullptr;
}

const char* CommandName(uint32_t commandCode) {
  for (const CommandInfo& c : kCommands) {
    if (c.code == commandCode) return c.name;
  }
  return nullptr;
}

std::string DumpMessage(const uint8_t* bytes, size_t size) {
  std::string out;
  uint32_t version = 0;
  uint32_t length = 0;
  uint32_t flags = 0;
  uint32_t command = 0;
  uint32_t application = 0;
  uint32_t hopByHop = 0;
  uint32_t endToEnd = 0;
  if (!ReadU8(bytes, size, 0, &version) || !ReadU24(bytes, size, 1, &length) ||
      !ReadU8(bytes, size, 4, &flags) || !ReadU24(bytes, size, 5, &command) ||
      !ReadU32(bytes, size, 8, &application) || !ReadU32(bytes, size, 12, &hopByHop) ||
      !ReadU32(bytes, size, 16, &endToEnd)) {
    AppendFormat(&out, "(%zu bytes: no whole Diameter header)\n", size);
    return out;
  }
  const char* name = CommandName(command);
  bool request = (flags & kCommandFlagRequest) != 0;
  AppendFormat(&out,
               "%s%s (%u)%s%s%s, application %u, hop-by-hop 0x%08X, end-to-end 0x%08X, "
               "%u bytes\n",
               name != nullptr ? name : "Command", request ? "-Request" : "-Answer", command,
               request ? " R" : "", (flags & kCommandFlagProxiable) != 0 ? " P" : "",
               (flags & 0x20) != 0 ? " E" : "", application, hopByHop, endToEnd, length);
  size_t end = length < size ? length : size;
  if (version != 1) AppendFormat(&out, "  (version %u, not 1)\n", version);
  if (end > kHeaderSize) DumpAvps(&out, bytes, kHeaderSize, end, 0);
  return out;
}

int FindTopLevelAvp(const uint8_t* bytes, size_t end, size_t offset, uint32_t code,
                    size_t* dataOffset, uint32_t* dataLength) {
  while (offset < end) {
    uint32_t avpCode = 0;
    uint32_t flags = 0;
    uint32_t length = 0;
    if (!ReadU32(bytes, end, offset, &avpCode) || !ReadU8(bytes, end, offset + 4, &flags) ||
        !ReadU24(bytes, end, offset + 5, &length)) {
      return 0;
    }
    size_t header = (flags & kAvpFlagVendor) != 0 ? kAvpVendorHeaderSize : kAvpHeaderSize;
    if (length < header || length > end - offset) return 0;
    if (avpCode == code && (flags & kAvpFlagVendor) == 0) {
      *dataOffset = offset + header;
      *dataLength = length - static_cast<uint32_t>(header);
      return 1;
    }
    size_t padded = (static_cast<size_t>(length) + 3) & ~size_t{3};
    if (padded > end - offset) return 0;
    offset += padded;
  }
  return 0;
}
