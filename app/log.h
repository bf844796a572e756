// The log channel: every report goes verbatim to the console's error stream and to the log file;
// TracePacket adds a hex and text dump of each Diameter message.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file.h"
#include "platform/socket.h"

constexpr size_t kLogLineBufferSize = 4096;
constexpr size_t kLogFormatLimit = 1024;           // a composed line is at most this long
constexpr char kUnknownPeerAddress[] = "?.?.?.?";  // shown when the peer's address is not known

extern platform::File LogFile;
extern char LogLineBuffer[kLogLineBufferSize];

// Writes the text unchanged to the console's error stream, then to LogFile with one write. "%"
// is an ordinary character here. Failures are ignored.
void LogWrite(const char* text);
// Composes a line in LogLineBuffer (at most kLogFormatLimit bytes) and writes it with LogWrite.
void LogPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Dumps a message that was sent (direction non-zero) or received over socket.
void TracePacket(int direction, platform::Socket socket, int32_t length, const uint8_t* bytes);
