// A run whose peer connection thread cannot be started: the program says so, sends no charge,
// writes no verdict and still ends in order with status 0.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "app/startup.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/thread.h"
#include "run_folder.h"
#include "support/temp_dir.h"
#include "support/test_peer.h"

namespace {

TEST(RunThreadStart, PeerThreadThatCannotStartEndsTheRunWithoutAVerdict) {
  TempDir dir;
  for (const char* name : {"diameter-capabilities-exchange.xml", "diameter-credit-control.xml"}) {
    std::filesystem::copy_file(std::string(MM9_SOURCE_DIR "/templates/") + name, dir.File(name));
  }
  TestPeer peer;
  peer.Start();  // counts connections; none may come
  WriteWholeFile(dir.File("mm9charge.INI"), RunIni(peer.Port()));
  WriteWholeFile(dir.File("stdin"), std::string(19, '\n'));
  int in = open(dir.File("stdin").c_str(), O_RDONLY);
  ASSERT_EQ(dup2(in, STDIN_FILENO), STDIN_FILENO);
  close(in);
  int console = open(dir.File("console").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND, 0644);
  platform::SetConsoleErrorFdForTests(console);
  platform::OverrideExecutablePath(dir.File("mm9charge").c_str());
  platform::SetThreadStartFailureForTests(1);

  const int status = ProgramMain();

  platform::SetThreadStartFailureForTests(0);
  platform::OverrideExecutablePath(nullptr);
  platform::SetConsoleErrorFdForTests(-1);
  close(console);
  peer.Finish(200);

  EXPECT_EQ(status, 0);
  EXPECT_EQ(peer.Connections(), 0);
  const std::string log = ReadWholeFile(dir.File("mm9charge.LOG"));
  EXPECT_EQ(log.rfind(kBannerStart, 0), 0u) << log;
  const std::string line = "Unable to start the Diameter peer thread, no charge sent\r\n";
  ASSERT_GE(log.size(), line.size());
  EXPECT_EQ(log.substr(log.size() - line.size()), line) << log;  // the last text of the run
  EXPECT_EQ(log.find("WaitForDiameterReady"), std::string::npos);
  EXPECT_EQ(log.find("Diameter charge"), std::string::npos);
  const std::string shown = ReadWholeFile(dir.File("console"));
  EXPECT_EQ(shown.substr(shown.size() - log.size()), log);
}

}  // namespace
