// The log channel and the packet trace.
#include "app/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/console.h"

platform::File LogFile = platform::kInvalidFile;
char LogLineBuffer[kLogLineBufferSize];

namespace {

constexpr int kTraceRowBytes = 16;
constexpr size_t kTraceRowWidth = 78;
constexpr size_t kTraceTextColumn = 60;
constexpr size_t kTracePrefixSize = 64;

}  // namespace

void LogWrite(const char* text) {
  platform::ConsoleWrite(text);
  platform::FileWrite(LogFile, text, strlen(text));
}

void LogPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(LogLineBuffer, kLogFormatLimit, format, args);
  va_end(args);
  LogWrite(LogLineBuffer);
}

void TracePacket(int direction, platform::Socket socket, int32_t length, const uint8_t* bytes) {
  char address[platform::kDottedSize];
  if (!platform::SocketPeerAddress(socket, address, sizeof address)) {
    snprintf(address, sizeof address, "%s", kUnknownPeerAddress);
  }
  char prefix[kTracePrefixSize];
  snprintf(prefix, sizeof prefix, "(%08X) %s %s", static_cast<uint32_t>(socket), address,
           direction != 0 ? "->" : "<-");
  char size[32];
  snprintf(size, sizeof size, "%u byte packet", static_cast<uint32_t>(length));
  snprintf(LogLineBuffer, kLogFormatLimit, "%s %s\r\n", prefix, size);
  LogWrite(LogLineBuffer);

  static constexpr char kHex[] = "0123456789ABCDEF";
  for (int32_t offset = 0; offset < length; offset += kTraceRowBytes) {
    char row[kTraceRowWidth + 1];
    memset(row, ' ', kTraceRowWidth);
    int32_t run = length - offset < kTraceRowBytes ? length - offset : kTraceRowBytes;
    for (int32_t i = 0; i < run; ++i) {
      uint8_t b = bytes[offset + i];
      size_t column = i < 8 ? 3 * i : 3 * i + 2;
      row[column] = kHex[b >> 4];
      row[column + 1] = kHex[b & 0x0F];
      row[kTraceTextColumn + i] = b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : ' ';
    }
    row[kTraceTextColumn + run] = '\0';
    snprintf(LogLineBuffer, kLogFormatLimit, "%s %s\r\n", prefix, row);
    LogWrite(LogLineBuffer);
  }
}
