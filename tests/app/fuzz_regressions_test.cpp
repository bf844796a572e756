// Settings-file inputs that fuzzing found mishandled, kept as regressions.
#include <gtest/gtest.h>

#include <string>

#include "platform/profile.h"
#include "support/temp_dir.h"

namespace {

std::string Read(const std::string& path, const char* section, const char* key) {
  char out[150];
  platform::ProfileReadString(section, key, "(missing)", out, sizeof out, path.c_str());
  return out;
}

// A last line that ends in a lone "\r" reads without it; a line added after it must complete
// that line end rather than leave the "\r" inside the value.
TEST(ProfileFuzzRegressions, LineAddedAfterALoneCarriageReturnKeepsTheValueAbove) {
  struct Case {
    const char* content;
    const char* section;  // where the new key goes
    const char* written;  // the whole file afterwards
  } cases[] = {
      {"[a]\r\nk=1\r", "a", "[a]\r\nk=1\r\nj=v\r\n"},         // a key of the same section
      {"[a]\r\nk=1\r", "b", "[a]\r\nk=1\r\n[b]\r\nj=v\r\n"},  // a new section
      {"[a]\nk=1\r", "a", "[a]\nk=1\r\nj=v\n"},
      {"[a]\r\nk=1", "a", "[a]\r\nk=1\r\nj=v\r\n"},  // no line end at all: a whole one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    TempDir dir;
    std::string path = dir.File("s.INI");
    WriteWholeFile(path, c.content);
    ASSERT_EQ(Read(path, "a", "k"), "1");
    ASSERT_TRUE(platform::ProfileWriteString(c.section, "j", "v", path.c_str()));
    EXPECT_EQ(Read(path, "a", "k"), "1");
    EXPECT_EQ(Read(path, c.section, "j"), "v");
    EXPECT_EQ(ReadWholeFile(path), c.written);
  }
}

}  // namespace
