// INI settings files: reads with defaults and cuts, and edits that keep the rest of the file.
#include "platform/profile.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

std::string Read(const std::string& path, const char* section, const char* key,
                 const char* def = "(default)", uint32_t size = 150) {
  std::vector<char> out(size + 1, '#');
  uint32_t n = platform::ProfileReadString(section, key, def, out.data(), size, path.c_str());
  std::string value(out.data());
  EXPECT_EQ(n, value.size());
  return value;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

TEST(ProfileRead, FindsValuesTheWayIniReadersDo) {
  TempDir dir;
  std::string path = dir.File("a.INI");
  WriteWholeFile(path,
                 "orphan=before any section\r\n"
                 "[Main]\r\n"
                 "  Spaced Key \t=\t  spaced value  \r\n"
                 "Empty=\n"
                 "Equals=a=b=c\n"
                 ";Commented=no\n"
                 "Dup=first\r\n"
                 "Dup=second\r\n"
                 "[ other ]\n"
                 "Only=in other\n"
                 "[MAIN]\n"
                 "Dup=third\n"
                 "Later=in the second Main\n"
                 "Last=no line end");
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  } cases[] = {
      {"Main", "Spaced Key", "spaced value"},
      {"main", "SPACED KEY", "spaced value"},
      {"Main", "Empty", ""},  // present but empty is not the default
      {"Main", "Equals", "a=b=c"},
      {"Main", "Dup", "first"},
      {"Main", "Later", "in the second Main"},
      {"Main", "Last", "no line end"},
      {"Main", ";Commented", "(default)"},
      {"Main", "Commented", "(default)"},
      {"Main", "orphan", "(default)"},
      {"Main", "Only", "(default)"},
      {"Other", "only", "in other"},
      {"Missing", "Dup", "(default)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Read(path, c.section, c.key), c.expected) << c.section << "/" << c.key;
  }
  EXPECT_EQ(Read(dir.File("none.INI"), "Main", "Dup"), "(default)");
}

TEST(ProfileRead, CutsValuesAndDefaultsToSizeMinusOne) {
  TempDir dir;
  std::string path = dir.File("a.INI");
  std::string huge(200000, 'v');
  WriteWholeFile(path, "[S]\nShort=abcdef\nHuge=" + huge + "\n");
  EXPECT_EQ(Read(path, "S", "Short", "", 4), "abc");
  EXPECT_EQ(Read(path, "S", "Short", "", 7), "abcdef");
  EXPECT_EQ(Read(path, "S", "Missing", "0123456789", 5), "0123");
  EXPECT_EQ(Read(path, "S", "Huge", "", 150), std::string(149, 'v'));
  EXPECT_EQ(Read(path, "S", "Short", "", 1), "");
}

// A file a person edited: comments, blank lines, both line ends, odd bytes, repeated sections
// and keys, no line end at the end.
const std::string kEdited = std::string(
                                "; settings\r\n"
                                "\r\n"
                                "[Main]\r\n"
                                "Keep=1\n"
                                "Key = old \r\n"
                                "Bin=\x01\xff\x80") +
                            std::string(1, '\0') +
                            "z\r\n"
                            "; after the keys\r\n"
                            "\r\n"
                            "[Legacy]\n"
                            "Old=1\n"
                            "; notes that follow\n"
                            "\n"
                            "[main]\r\n"
                            "Key=shadowed\r\n"
                            "[Legacy]\r\n"
                            "Old=2\r\n"
                            "[Tail]\r\n"
                            "T=1";

TEST(ProfileWrite, ChangesOnlyTheLinesItConcerns) {
  struct Case {
    const char* name;
    const char* section;
    const char* key;
    const char* value;
    std::string from;
    std::string to;
  } cases[] = {
      {"replace keeps the line's own start and end", "MAIN", "key", "new", "Key = old \r\n",
       "Key =new\r\n"},
      {"add goes after the section's last key", "Main", "Added", "a", "z\r\n;",
       "z\r\nAdded=a\r\n;"},
      {"add to a last line without line end", "Tail", "U", "2", "T=1", "T=1\r\nU=2\r\n"},
      {"new section at the end", "Fresh", "F", "x", "T=1", "T=1\r\n[Fresh]\r\nF=x\r\n"},
      {"a line end in a value is cut", "Tail", "T", "a\r\n[Injected]", "T=1", "T=a"},
      {"delete a key removes every copy", "Main", "Key", nullptr, "Key = old \r\n", ""},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::string path = dir.File("a.INI");
    WriteWholeFile(path, kEdited);
    ASSERT_EQ(platform::ProfileWriteString(c.section, c.key, c.value, path.c_str()), 1) << c.name;
    std::string expected = kEdited;
    size_t at = expected.find(c.from);
    ASSERT_NE(at, std::string::npos) << c.name;
    expected.replace(at, c.from.size(), c.to);
    if (c.value == nullptr) expected.replace(expected.find("Key=shadowed\r\n"), 14, "");
    EXPECT_EQ(ReadWholeFile(path), expected) << c.name;
    EXPECT_EQ(FolderEntries(dir.path), std::vector<std::string>{"a.INI"}) << c.name;
  }
}

TEST(ProfileWrite, ReadsBackWhatWasWritten) {
  TempDir dir;
  std::string path = dir.File("a.INI");
  WriteWholeFile(path, kEdited);
  ASSERT_EQ(platform::ProfileWriteString("Main", "Key", "new", path.c_str()), 1);
  ASSERT_EQ(platform::ProfileWriteString("Tail", "U", "u", path.c_str()), 1);
  EXPECT_EQ(Read(path, "Main", "Key"), "new");
  EXPECT_EQ(Read(path, "Tail", "U"), "u");
  EXPECT_EQ(Read(path, "Tail", "T"), "1");
  ASSERT_EQ(platform::ProfileWriteString("Main", "Key", nullptr, path.c_str()), 1);
  EXPECT_EQ(Read(path, "Main", "Key"), "(default)");  // the shadowed copy went too
}

TEST(ProfileWrite, DeletingASectionRemovesEveryCopyAndKeepsTheNotesAfterIt) {
  TempDir dir;
  std::string path = dir.File("a.INI");
  WriteWholeFile(path, kEdited);
  ASSERT_EQ(platform::ProfileWriteString("LEGACY", nullptr, nullptr, path.c_str()), 1);
  std::string expected = kEdited;
  expected.replace(expected.find("[Legacy]\nOld=1\n"), 15, "");
  expected.replace(expected.find("[Legacy]\r\nOld=2\r\n"), 17, "");
  EXPECT_EQ(ReadWholeFile(path), expected);
  EXPECT_EQ(Read(path, "Legacy", "Old"), "(default)");
}

TEST(ProfileWrite, NewFilesUseCrLfAndLfFilesStayLf) {
  TempDir dir;
  std::string fresh = dir.File("fresh.INI");
  ASSERT_EQ(platform::ProfileWriteString("S", "K", "v", fresh.c_str()), 1);
  ASSERT_EQ(platform::ProfileWriteString("S", "L", "w", fresh.c_str()), 1);
  EXPECT_EQ(ReadWholeFile(fresh), "[S]\r\nK=v\r\nL=w\r\n");

  std::string lf = dir.File("lf.INI");
  WriteWholeFile(lf, "[S]\nK=v\n");
  ASSERT_EQ(platform::ProfileWriteString("S", "L", "w", lf.c_str()), 1);
  ASSERT_EQ(platform::ProfileWriteString("T", "M", "x", lf.c_str()), 1);
  EXPECT_EQ(ReadWholeFile(lf), "[S]\nK=v\nL=w\n[T]\nM=x\n");
}

TEST(ProfileWrite, DeletingFromAMissingFileCreatesNothing) {
  TempDir dir;
  std::string path = dir.File("none.INI");
  EXPECT_EQ(platform::ProfileWriteString("S", "K", nullptr, path.c_str()), 1);
  EXPECT_EQ(platform::ProfileWriteString("S", nullptr, nullptr, path.c_str()), 1);
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(platform::ProfileWriteString("S", "K", "v", dir.File("no/such/folder.INI").c_str()), 0);
}

}  // namespace
