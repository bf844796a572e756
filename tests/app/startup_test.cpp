// Program start-up: the settings and log names derived from the executable's path, the fatal
// end when the log cannot be opened, and binding the secure-transport library once.
#include "app/startup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>

#include "support/process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

TEST(DerivePath, CutsOnlyWithinTheFileName) {
  const std::string folder(200, 'd');
  const std::string longExtension(100, 'x');
  const std::string atLimit = "/" + std::string(244, 'a') + "/mm9charge";  // 255 characters
  struct Case {
    std::string executable;
    const char* extension;
    std::string expected;
    int fits;
  } cases[] = {
      {"/opt/mm9/mm9charge", ".INI", "/opt/mm9/mm9charge.INI", 1},
      {"/opt/mm9/mm9charge.exe", ".LOG", "/opt/mm9/mm9charge.LOG", 1},
      {"/home/op/.local/bin/mm9charge", ".INI", "/home/op/.local/bin/mm9charge.INI", 1},
      {"/opt/v1.2/mm9.charge.bin", ".LOG", "/opt/v1.2/mm9.charge.LOG", 1},
      {"/opt/v1.2/mm9charge.", ".INI", "/opt/v1.2/mm9charge.INI", 1},
      {"mm9charge", ".LOG", "mm9charge.LOG", 1},
      {"mm9charge.bin", ".INI", "mm9charge.INI", 1},
      // The result has room for kPathSize - 1 characters: 255 + 4 fits, 256 + 4 does not.
      {atLimit, ".INI", atLimit + ".INI", 1},
      {atLimit + "x", ".LOG", (atLimit + "x.LOG").substr(0, kPathSize - 1), 0},
      // A path longer than the room whose result fits is fine.
      {"/" + folder + "/mm9charge." + longExtension, ".INI", "/" + folder + "/mm9charge.INI", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.executable);
    char out[kPathSize];
    EXPECT_EQ(DerivePath(c.executable.c_str(), c.extension, out, sizeof out), c.fits);
    EXPECT_EQ(std::string(out), c.expected);
  }
}

// The names and kinds of everything in a folder tree.
std::map<std::string, fs::file_type> Listing(const std::string& root) {
  std::map<std::string, fs::file_type> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    entries[fs::relative(entry.path(), root).string()] = entry.symlink_status().type();
  }
  return entries;
}

std::string CopyProgram(const std::string& folder) {
  fs::create_directories(folder);
  const std::string program = folder + "/mm9charge";
  fs::copy_file(MM9CHARGE_EXE, program);
  return program;
}

TEST(ProgramEntry, EndsAtOnceWhenTheLogCannotBeOpened) {
  TempDir dir;
  // The longest name with room for its ".LOG" is 255 characters; this one has 256.
  const std::string longFolder =
      dir.path + "/" + std::string(256 - dir.path.size() - 1 - sizeof "/mm9charge" + 1, 'f');
  struct Case {
    const char* name;
    std::string folder;
    bool logIsFolder;
  } cases[] = {
      {"a folder in the log's place", dir.File("folder-log"), true},
      {"a log path with no room", longFolder, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string program = CopyProgram(c.folder);
    const std::string logPath = program + ".LOG";
    if (c.logIsFolder) fs::create_directory(logPath);
    // Opening a FIFO for reading waits for a writer: reading the settings would hang the run.
    ASSERT_EQ(mkfifo((program + ".INI").c_str(), 0644), 0);
    const auto before = Listing(dir.path);

    ProcessRun run;
    run.executable = program;
    run.arguments = {"--help", "-c", "other.INI"};  // arguments change nothing
    run.input = "127.0.0.1\r\n3868\r\n";
    ProcessResult result = RunProcess(run);

    ASSERT_TRUE(result.started);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_EQ(result.err, "Unable to create log file:  " + logPath + "\a\r\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.inputRead, 0u);
    EXPECT_EQ(Listing(dir.path), before);
  }
}

TEST(ProgramEntry, KeepsTheLogOfEarlierRunsBesideItselfInADottedFolder) {
  TempDir dir;
  const std::string program = CopyProgram(dir.File("v1.2"));
  WriteWholeFile(program + ".LOG", "earlier run\r\n");
  ProcessRun run;
  run.executable = program;
  ProcessResult result = RunProcess(run);
  ASSERT_TRUE(result.started);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(ReadWholeFile(program + ".LOG").rfind("earlier run\r\n", 0), 0u);
  for (const auto& [name, type] : Listing(dir.path)) {
    EXPECT_EQ(name.rfind("v1.2", 0), 0u) << name << " was created outside the program's folder";
  }
}

// Runs the probe (or the program) with ZARNIK.DLL looked for in folder; gives the stub's record.
std::string RunWithLibraryFolder(const std::string& executable, const std::string& folder,
                                 const TempDir& dir, std::string* out) {
  ProcessRun run;
  run.executable = executable;
  run.environment = {{"LD_LIBRARY_PATH", folder}, {"ZARNIK_STUB_RECORD", dir.File("record")}};
  ProcessResult result = RunProcess(run);
  EXPECT_TRUE(result.started);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.signal, 0) << result.err;
  if (out != nullptr) *out = result.out;
  return ReadWholeFile(dir.File("record"));
}

TEST(BindSecureTransport, BindsOnceAndCountsOnlyAWholeLibrary) {
  TempDir empty;
  struct Case {
    const char* name;
    std::string folder;
    const char* probeSays;
    const char* record;  // the library is loaded once and sslInitLib is not called by binding
  } cases[] = {
      {"all eleven entry points", ZARNIK_FULL_DIR, "bound same resident\n", "load\n"},
      {"one entry point missing", ZARNIK_PARTIAL_DIR, "none same unloaded\n", "load\n"},
      {"no library at all", empty.path, "none same unloaded\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string out;
    EXPECT_EQ(RunWithLibraryFolder(SECURE_TRANSPORT_PROBE, c.folder, dir, &out), c.record);
    EXPECT_EQ(out, c.probeSays);
  }
}

TEST(ProgramEntry, InitialisesAWholeSecureTransportLibraryOnce) {
  struct Case {
    const char* name;
    const char* folder;
    const char* record;
  } cases[] = {
      {"all eleven entry points", ZARNIK_FULL_DIR, "load\ninit\n"},
      {"one entry point missing", ZARNIK_PARTIAL_DIR, "load\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string program = CopyProgram(dir.File("bin"));
    EXPECT_EQ(RunWithLibraryFolder(program, c.folder, dir, nullptr), c.record);
  }
}

}  // namespace
