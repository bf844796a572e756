// Tests of the template file cache with real files beside a stand-in executable path.
#include "message/template_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "message/memory.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "support/temp_dir.h"

namespace {

uint32_t now = 0;
uint32_t Now() {
  return now;
}

class TemplateCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetCalendarSecondsForTests(&Now);
    platform::OverrideExecutablePath(dir.File("mm9charge").c_str());
  }
  void TearDown() override {
    platform::SetCalendarSecondsForTests(nullptr);
    platform::OverrideExecutablePath(nullptr);
  }

  // Writes the credit-control template and gives it a last-write time in nanoseconds.
  void WriteTemplate(const std::string& content, int64_t writeTimeNs,
                     const char* name = kCreditControlTemplateName) {
    std::string path = dir.File(name);
    WriteWholeFile(path, content);
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = writeTimeNs / 1000000000;
    times[0].tv_nsec = times[1].tv_nsec = writeTimeNs % 1000000000;
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  TempDir dir;
};

constexpr int64_t kSecond = 1000000000;

TEST_F(TemplateCacheTest, LooksAtTheFileOnlyAfterFifteenSeconds) {
  WriteTemplate("<one/>", 100 * kSecond);
  WriteTemplate("<cer/>", 100 * kSecond, kCapabilitiesTemplateName);
  now = 1000;
  const char* first = GetCreditControlTemplate();
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first, "<one/>");
  EXPECT_STREQ(GetCapabilitiesTemplate(), "<cer/>");

  WriteTemplate("<two/>", 200 * kSecond);
  now = 1015;
  EXPECT_EQ(GetCreditControlTemplate(), first);
  EXPECT_STREQ(first, "<one/>");
  now = 1016;
  EXPECT_STREQ(GetCreditControlTemplate(), "<two/>");
  EXPECT_EQ(TemplateCache.creditControl.lastCheck, 1016u);
  EXPECT_STREQ(GetCapabilitiesTemplate(), "<cer/>");
}

TEST_F(TemplateCacheTest, UnchangedWriteTimeKeepsTheSameStorage) {
  WriteTemplate("<one/>", 100 * kSecond);
  now = 1000;
  const char* first = GetCreditControlTemplate();
  ASSERT_NE(first, nullptr);
  // New bytes under the old write time: only the write time tells the cache of a change.
  WriteTemplate("<two/>", 100 * kSecond);
  now = 1100;
  EXPECT_EQ(GetCreditControlTemplate(), first);
  EXPECT_STREQ(first, "<one/>");
}

TEST_F(TemplateCacheTest, AnyChangeOfTheWriteTimeReloads) {
  WriteTemplate("<one/>", 100 * kSecond);
  now = 1000;
  ASSERT_STREQ(GetCreditControlTemplate(), "<one/>");
  WriteTemplate("<two/>", 100 * kSecond + 1);  // one nanosecond later
  now = 1100;
  EXPECT_STREQ(GetCreditControlTemplate(), "<two/>");
  WriteTemplate("<three/>", 50 * kSecond);  // earlier than before
  now = 1200;
  EXPECT_STREQ(GetCreditControlTemplate(), "<three/>");
  // A file that disappears goes on being served from memory.
  ASSERT_EQ(unlink(dir.File(kCreditControlTemplateName).c_str()), 0);
  now = 1300;
  EXPECT_STREQ(GetCreditControlTemplate(), "<three/>");
}

TEST_F(TemplateCacheTest, ClockSetBackLooksAgain) {
  WriteTemplate("<one/>", 100 * kSecond);
  now = 2000;
  ASSERT_STREQ(GetCreditControlTemplate(), "<one/>");
  WriteTemplate("<two/>", 200 * kSecond);
  now = 1990;
  EXPECT_STREQ(GetCreditControlTemplate(), "<two/>");
  WriteTemplate("<three/>", 300 * kSecond);
  now = 1995;  // within the window of the check at 1990
  EXPECT_STREQ(GetCreditControlTemplate(), "<two/>");
}

TEST_F(TemplateCacheTest, MissingFileIsLookedForOnEveryCall) {
  now = 1000;
  EXPECT_EQ(GetCreditControlTemplate(), nullptr);
  EXPECT_EQ(GetCreditControlTemplate(), nullptr);
  WriteTemplate("<late/>", 100 * kSecond);
  now = 1001;
  EXPECT_STREQ(GetCreditControlTemplate(), "<late/>");
}

TEST_F(TemplateCacheTest, EmptyFileGivesEmptyText) {
  WriteTemplate("", 100 * kSecond);
  now = 1000;
  const char* text = GetCreditControlTemplate();
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "");
}

TEST_F(TemplateCacheTest, TextIsFollowedBySlackOfZeroBytes) {
  std::string content = "<avp/>";
  WriteTemplate(content, 100 * kSecond);
  now = 1000;
  const char* text = GetCreditControlTemplate();
  ASSERT_NE(text, nullptr);
  for (uint32_t i = 0; i < kTemplateSlack; ++i) ASSERT_EQ(text[content.size() + i], '\0') << i;
}

TEST_F(TemplateCacheTest, NoStorageEmptiesTheEntryUntilTheNextCall) {
  WriteTemplate("<one/>", 100 * kSecond);
  now = 1000;
  ASSERT_STREQ(GetCreditControlTemplate(), "<one/>");
  WriteTemplate("<two/>", 200 * kSecond);
  now = 1100;
  MemFailNthAllocation(1);
  EXPECT_EQ(GetCreditControlTemplate(), nullptr);
  MemFailNthAllocation(0);
  now = 1101;  // within the window, but with no text the file is read again
  EXPECT_STREQ(GetCreditControlTemplate(), "<two/>");
}

TEST_F(TemplateCacheTest, FileTooLargeForA32BitCountIsNotRead) {
  WriteTemplate("<one/>", 100 * kSecond);
  now = 1000;
  const char* first = GetCreditControlTemplate();
  ASSERT_STREQ(first, "<one/>");
  // A sparse file just over 4 GiB: its size taken as 32 bits would be 5 bytes.
  std::string path = dir.File(kCreditControlTemplateName);
  if (truncate(path.c_str(), (int64_t{1} << 32) + 5) != 0) GTEST_SKIP() << "no sparse files here";
  now = 1100;
  EXPECT_EQ(GetCreditControlTemplate(), first);
  EXPECT_STREQ(first, "<one/>");
}

TEST(TemplatePath, ExecutablePathWithoutSeparatorUsesTheCurrentDirectory) {
  TempDir dir;
  WriteWholeFile(dir.File(kCapabilitiesTemplateName), "<here/>");
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  platform::OverrideExecutablePath("mm9charge");
  EXPECT_STREQ(GetCapabilitiesTemplate(), "<here/>");
  platform::OverrideExecutablePath(nullptr);
  ASSERT_EQ(chdir("/"), 0);
}

}  // namespace
