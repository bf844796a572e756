// The log channel: verbatim writes to console and log file, appending to an existing log, and
// the exact layout of the packet trace over a real loopback connection.
#include "app/log.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/file.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

// The socket handle shown in the traces: upper-case hex digits with leading zeros.
constexpr int kTraceFd = 0xAB;
constexpr char kTraceHandle[] = "(000000AB)";

// Puts fd at kTraceFd so that the trace's handle text is known in advance.
void MoveToTraceFd(int fd) {
  ASSERT_EQ(fcntl(kTraceFd, F_GETFD), -1) << "descriptor " << kTraceFd << " is taken";
  ASSERT_EQ(dup2(fd, kTraceFd), kTraceFd);
  close(fd);
}

// A TCP connection over 127.0.0.1; the client end is moved to kTraceFd.
struct LoopbackConnection {
  int listener = -1;
  int server = -1;

  LoopbackConnection() {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener, 1), 0);
    EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    server = accept(listener, nullptr, nullptr);
    MoveToTraceFd(client);
  }
  ~LoopbackConnection() {
    close(kTraceFd);
    close(server);
    close(listener);
  }
};

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\r\n";
  return text;
}

TEST(LogWrite, WritesTheSameBytesVerbatimToConsoleAndLog) {
  LogCapture capture;
  LogWrite("100% sure: %s %d %n %% %");
  LogWrite("\r\n");
  LogWrite("\x01\x7F\x80\xE9\xFF\r\n");
  const std::string expected = "100% sure: %s %d %n %% %\r\n\x01\x7F\x80\xE9\xFF\r\n";
  EXPECT_EQ(capture.Console(), expected);
  EXPECT_EQ(capture.Log(), expected);
}

TEST(LogWrite, PrintComposesInTheLineBufferWithinItsLimit) {
  LogCapture capture;
  LogPrint("%u byte%s\r\n", 5u, "s");
  EXPECT_EQ(capture.Log(), "5 bytes\r\n");
  capture.Clear();
  const std::string longText(2 * kLogFormatLimit, 'x');
  LogPrint("%s", longText.c_str());
  EXPECT_EQ(capture.Log(), std::string(kLogFormatLimit - 1, 'x'));
  EXPECT_EQ(capture.Console(), capture.Log());
}

TEST(LogFile, AnExistingLogIsAppendedToAndSharedWithoutOverwriting) {
  TempDir dir;
  const std::string path = dir.File("mm9charge.LOG");
  WriteWholeFile(path, "earlier run\r\n");
  int console = open(dir.File("console").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  platform::SetConsoleErrorFdForTests(console);

  LogFile = platform::OpenLogFile(path.c_str());
  ASSERT_NE(LogFile, platform::kInvalidFile);
  // Another process holding the same log open for writing: neither overwrites the other.
  platform::File other = platform::OpenLogFile(path.c_str());
  ASSERT_NE(other, platform::kInvalidFile);
  LogWrite("this run, one\r\n");
  ASSERT_EQ(platform::FileWrite(other, "other process\r\n", 15), 1);
  LogWrite("this run, two\r\n");
  platform::FileClose(other);
  platform::FileClose(LogFile);
  LogFile = platform::kInvalidFile;
  platform::SetConsoleErrorFdForTests(-1);
  close(console);

  EXPECT_EQ(ReadWholeFile(path),
            "earlier run\r\nthis run, one\r\nother process\r\nthis run, two\r\n");
  EXPECT_EQ(ReadWholeFile(dir.File("console")), "this run, one\r\nthis run, two\r\n");
}

TEST(TracePacket, LaysOutHeaderAndRowsExactly) {
  LoopbackConnection connection;
  const std::vector<uint8_t> sixteen = {0x00, 0x01, 0x1F, 0x20, 0x25, 0x73, 0x7E, 0x7F,
                                        0x80, 0x9F, 0xA0, 0xFF, 0x41, 0x7A, 0x0D, 0x0A};
  std::vector<uint8_t> seventeen = sixteen;
  seventeen.push_back('%');
  // Pairs at 3 * i, from the ninth on two columns further; the text part at column 60.
  const std::string fullRow = "00 01 1F 20 25 73 7E 7F   80 9F A0 FF 41 7A 0D 0A" +
                              std::string(11, ' ') + "    %s~     Az  ";
  const std::string shortRow = "25" + std::string(58, ' ') + "%";
  const std::string sent = std::string(kTraceHandle) + " 127.0.0.1 -> ";
  const std::string received = std::string(kTraceHandle) + " 127.0.0.1 <- ";

  struct Case {
    const char* name;
    int direction;
    int32_t length;
    const uint8_t* bytes;
    std::string expected;
  } cases[] = {
      {"empty", 1, 0, nullptr, Lines({sent + "0 byte packet"})},
      {"one full row", 0, 16, sixteen.data(),
       Lines({received + "16 byte packet", received + fullRow})},
      {"a second row of one byte", 1, 17, seventeen.data(),
       Lines({sent + "17 byte packet", sent + fullRow, sent + shortRow})},
      {"a negative length gives no rows", 1, -1, nullptr, Lines({sent + "4294967295 byte packet"})},
  };
  LogCapture capture;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    capture.Clear();
    TracePacket(c.direction, kTraceFd, c.length, c.bytes);
    EXPECT_EQ(capture.Log(), c.expected);
    EXPECT_EQ(capture.Console(), c.expected);
  }
}

TEST(TracePacket, ShowsAFixedTextWhenThePeerAddressIsUnknown) {
  in_addr parsed{};
  ASSERT_EQ(inet_pton(AF_INET, kUnknownPeerAddress, &parsed), 0) << "reads as an address";
  MoveToTraceFd(socket(AF_INET, SOCK_STREAM, 0));  // never connected: no peer
  LogCapture capture;
  const uint8_t bytes[] = {'a', 'b', 'c'};
  TracePacket(0, kTraceFd, 3, bytes);
  close(kTraceFd);
  const std::string prefix = std::string(kTraceHandle) + " " + kUnknownPeerAddress + " <- ";
  EXPECT_EQ(capture.Log(),
            Lines({prefix + "3 byte packet", prefix + "61 62 63" + std::string(52, ' ') + "abc"}));
}

}  // namespace
