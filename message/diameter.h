// Diameter wire constants: header layout, flag bits, and the command and AVP codes the system uses.
#pragma once

#include <cstdint>

constexpr uint32_t kHeaderSize = 20;
constexpr uint32_t kAvpHeaderSize = 8;
constexpr uint32_t kAvpVendorHeaderSize = 12;
constexpr uint32_t kLength24Mask = 0x00FFFFFFu;

constexpr uint8_t kCommandFlagRequest = 0x80;    // R
constexpr uint8_t kCommandFlagProxiable = 0x40;  // P
constexpr uint8_t kAvpFlagVendor = 0x80;         // V
constexpr uint8_t kAvpFlagMandatory = 0x40;      // M

constexpr uint32_t kCommandCapabilitiesExchange = 257;
constexpr uint32_t kCommandCreditControl = 272;
constexpr uint32_t kCommandDeviceWatchdog = 280;
constexpr uint32_t kCommandDisconnectPeer = 282;
constexpr uint32_t kApplicationCreditControl = 4;

constexpr uint32_t kAvpHostIpAddress = 257;
constexpr uint32_t kAvpSessionId = 263;
constexpr uint32_t kAvpOriginHost = 264;
constexpr uint32_t kAvpSupportedVendorId = 265;
constexpr uint32_t kAvpVendorId = 266;
constexpr uint32_t kAvpResultCode = 268;
constexpr uint32_t kAvpDisconnectCause = 273;
constexpr uint32_t kAvpOriginRealm = 296;
constexpr uint32_t kAvpMultipleServicesCreditControl = 456;

constexpr uint32_t kResultSuccess = 2001;
constexpr uint32_t kVendor3GPP = 10415;
constexpr uint32_t kVendorScap = 193;
