// Child processes for tests: posix_spawn with memory files as standard streams.
#include "process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace {

std::string ReadAll(int fd) {
  std::string text;
  char chunk[4096];
  off_t at = 0;
  for (;;) {
    ssize_t n = pread(fd, chunk, sizeof chunk, at);
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
    at += n;
  }
  return text;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return lseek(fd, 0, SEEK_SET) == 0;
}

}  // namespace

ProcessResult RunProcess(const ProcessRun& run) {
  ProcessResult result;
  int in = memfd_create("stdin", MFD_CLOEXEC);
  int out = memfd_create("stdout", MFD_CLOEXEC);
  int err = memfd_create("stderr", MFD_CLOEXEC);

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : run.environment) {
      replaced = replaced || entry.compare(0, name.size() + 1, name + "=") == 0;
    }
    if (!replaced) env.push_back(entry);
  }
  for (const auto& [name, value] : run.environment) env.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);

  std::vector<std::string> args{run.executable};
  args.insert(args.end(), run.arguments.begin(), run.arguments.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  if (in >= 0 && out >= 0 && err >= 0 && WriteAll(in, run.input)) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);  // its own group: killable whole
    posix_spawnattr_setpgroup(&attributes, 0);
    if (posix_spawn(&pid, run.executable.c_str(), &actions, &attributes, argv.data(),
                    envp.data()) != 0) {
      pid = -1;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }

  if (pid > 0) {
    result.started = true;
    auto start = std::chrono::steady_clock::now();
    auto limit = start + std::chrono::milliseconds(run.timeLimitMs);
    int status = 0;
    for (;;) {
      pid_t done = waitpid(pid, &status, WNOHANG);
      if (done == pid) break;
      if (done < 0 && errno != EINTR) break;
      if (!result.timedOut && std::chrono::steady_clock::now() >= limit) {
        result.timedOut = true;
        kill(-pid, SIGKILL);
      }
      timespec pause{0, 2000000};
      nanosleep(&pause, nullptr);
    }
    result.elapsedMs = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::steady_clock::now() - start)
                                                 .count());
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    off_t taken = lseek(in, 0, SEEK_CUR);  // the child shared this file position
    result.inputRead = taken > 0 ? static_cast<size_t>(taken) : 0;
    result.out = ReadAll(out);
    result.err = ReadAll(err);
  }
  for (int fd : {in, out, err}) {
    if (fd >= 0) close(fd);
  }
  return result;
}
