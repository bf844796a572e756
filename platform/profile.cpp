// INI settings files: reads and in-place edits that keep every untouched byte of the file.
//
// The file is read whole and cut into lines; a line ends at "\n" (a "\r" before it belongs to
// the line end). Only the lines an edit concerns change: every other byte, line ends and odd
// bytes included, is written back as it was. Edits go to a new file beside the old one that is
// flushed to disk and then renamed over it, so readers see either the old or the new file.
//
// Lines: "[name]" opens a section (leading blanks allowed; the name runs to "]" or the line's
// end, blanks around it removed); a line whose first non-blank character is ";" is a comment;
// any other line with "=" is a key line, the key being the text before the first "=" and the
// value the text after it, blanks (space and tab) around both removed. Lines before the first
// section belong to none. When a section or key appears more than once, reads take the first
// occurrence, a write changes the first one, and a delete removes them all, so that the deleted
// key or section is really gone for the next read.
#include "platform/profile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/text.h"

namespace platform {
namespace {

enum LineKind { kOtherLine, kBlankLine, kCommentLine, kSectionLine, kKeyLine };

// One line of the file as offsets into its text.
struct ProfileLine {
  size_t begin;  // first byte of the line
  size_t end;    // end of the content: before the "\r\n" or "\n" (or the file's end)
  size_t next;   // first byte after the line end
  LineKind kind;
  size_t nameBegin;  // section or key name, blanks removed
  size_t nameEnd;
  size_t equals;      // key lines: offset of the first "="
  size_t valueBegin;  // key lines: value, blanks removed
  size_t valueEnd;
  int64_t section;  // index of the line that opened the section this line is in, -1 for none
};

enum LoadResult { kLoaded, kMissing, kUnreadable };

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

LoadResult LoadFile(const char* path, std::string* text) {
  text->clear();
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? kMissing : kUnreadable;
  char chunk[8192];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return kUnreadable;
    }
    if (n == 0) break;
    text->append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  return kLoaded;
}

void TrimBlanks(const std::string& text, size_t* begin, size_t* end) {
  while (*begin < *end && IsBlank(text[*begin])) ++*begin;
  while (*end > *begin && IsBlank(text[*end - 1])) --*end;
}

std::vector<ProfileLine> SplitLines(const std::string& text) {
  std::vector<ProfileLine> lines;
  int64_t section = -1;
  size_t pos = 0;
  while (pos < text.size()) {
    ProfileLine line{};
    line.begin = pos;
    size_t newline = text.find('\n', pos);
    line.next = newline == std::string::npos ? text.size() : newline + 1;
    line.end = newline == std::string::npos ? text.size() : newline;
    if (line.end > line.begin && text[line.end - 1] == '\r') --line.end;
    pos = line.next;

    size_t first = line.begin;
    while (first < line.end && IsBlank(text[first])) ++first;
    if (first == line.end) {
      line.kind = kBlankLine;
    } else if (text[first] == '[') {
      line.kind = kSectionLine;
      line.nameBegin = first + 1;
      size_t close = text.find(']', line.nameBegin);
      line.nameEnd = close == std::string::npos || close > line.end ? line.end : close;
      TrimBlanks(text, &line.nameBegin, &line.nameEnd);
      section = static_cast<int64_t>(lines.size());
    } else if (text[first] == ';') {
      line.kind = kCommentLine;
    } else {
      size_t equals = text.find('=', first);
      if (equals != std::string::npos && equals < line.end) {
        line.kind = kKeyLine;
        line.equals = equals;
        line.nameBegin = first;
        line.nameEnd = equals;
        TrimBlanks(text, &line.nameBegin, &line.nameEnd);
        line.valueBegin = equals + 1;
        line.valueEnd = line.end;
        TrimBlanks(text, &line.valueBegin, &line.valueEnd);
      } else {
        line.kind = kOtherLine;
      }
    }
    line.section = line.kind == kSectionLine ? -1 : section;
    lines.push_back(line);
  }
  return lines;
}

// The name of a section or key line equals name, ignoring the case of A to Z.
bool NameIs(const std::string& text, const ProfileLine& line, const char* name) {
  size_t length = strlen(name);
  if (line.nameEnd - line.nameBegin != length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (AsciiLower(text[line.nameBegin + i]) != AsciiLower(name[i])) return false;
  }
  return true;
}

bool InSection(const std::string& text, const std::vector<ProfileLine>& lines,
               const ProfileLine& line, const char* section) {
  return line.section >= 0 && NameIs(text, lines[static_cast<size_t>(line.section)], section);
}

// Index of the first key line of key in section, -1 when there is none.
int64_t FindKey(const std::string& text, const std::vector<ProfileLine>& lines, const char* section,
                const char* key) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind == kKeyLine && NameIs(text, lines[i], key) &&
        InSection(text, lines, lines[i], section)) {
      return static_cast<int64_t>(i);
    }
  }
  return -1;
}

// The line end that new lines get: the style of the file's first line end, "\r\n" for a file
// that has none yet.
std::string LineEndOf(const std::string& text, const std::vector<ProfileLine>& lines) {
  for (const ProfileLine& line : lines) {
    if (line.next > line.end) {
      return text.compare(line.end, line.next - line.end, "\r\n") == 0 ? "\r\n" : "\n";
    }
  }
  return "\r\n";
}

// What must come before a line added after the file's last line: nothing when that line has
// its line end, the rest of a line end when it ends in a lone "\r" (which reads as its line
// end), else a whole line end. A lone "\r" must not stay part of the line's value once a line
// follows it.
std::string EndOfLastLine(const std::string& text, const std::string& lineEnd) {
  if (text.empty() || text.back() == '\n') return "";
  if (text.back() == '\r') return "\n";
  return lineEnd;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Replaces the file at path by data: a new file in the same folder, flushed to disk, renamed
// over the old one. A symbolic link is followed, so the file it names is the one replaced.
int ReplaceFile(const char* path, const std::string& data) {
  std::string target = path;
  struct stat st {};
  if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
    char* resolved = realpath(path, nullptr);
    if (resolved == nullptr) return 0;
    target = resolved;
    free(resolved);
  }
  bool existed = stat(target.c_str(), &st) == 0;

  std::vector<char> name(target.begin(), target.end());
  static const char kSuffix[] = ".XXXXXX";
  name.insert(name.end(), kSuffix, kSuffix + sizeof kSuffix);
  int fd = mkstemp(name.data());
  if (fd < 0) return 0;
  bool ok = fchmod(fd, existed ? (st.st_mode & 07777) : 0644) == 0;
  ok = ok && WriteAll(fd, data) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(name.data(), target.c_str()) == 0;
  if (!ok) {
    unlink(name.data());
    return 0;
  }
  // Make the rename itself durable.
  size_t slash = target.rfind('/');
  std::string folder = slash == std::string::npos ? "."
                       : slash == 0               ? "/"
                                                  : target.substr(0, slash);
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return 1;
}

uint32_t CopyCut(const char* from, size_t length, char* out, uint32_t size) {
  size_t n = length < size - 1 ? length : size - 1;
  const void* nul = memchr(from, '\0', n);
  if (nul != nullptr) n = static_cast<size_t>(static_cast<const char*>(nul) - from);
  memcpy(out, from, n);
  out[n] = '\0';
  return static_cast<uint32_t>(n);
}

}  // namespace

uint32_t ProfileReadString(const char* section, const char* key, const char* def, char* out,
                           uint32_t size, const char* path) {
  if (out == nullptr || size == 0) return 0;
  if (def == nullptr) def = "";
  if (section == nullptr || key == nullptr || path == nullptr) {
    return CopyCut(def, strlen(def), out, size);
  }
  std::string text;
  if (LoadFile(path, &text) != kLoaded) return CopyCut(def, strlen(def), out, size);
  std::vector<ProfileLine> lines = SplitLines(text);
  int64_t found = FindKey(text, lines, section, key);
  if (found < 0) return CopyCut(def, strlen(def), out, size);
  const ProfileLine& line = lines[static_cast<size_t>(found)];
  return CopyCut(text.data() + line.valueBegin, line.valueEnd - line.valueBegin, out, size);
}

int ProfileWriteString(const char* section, const char* key, const char* value, const char* path) {
  if (section == nullptr || path == nullptr) return 0;
  std::string text;
  LoadResult loaded = LoadFile(path, &text);
  // A file that exists but cannot be read must not be replaced by one holding only this write.
  if (loaded == kUnreadable) return 0;
  std::vector<ProfileLine> lines = SplitLines(text);
  std::string result;

  if (key == nullptr || value == nullptr) {
    // Deleting: drop the lines concerned, keep every other byte.
    std::vector<bool> drop(lines.size(), false);
    bool any = false;
    for (size_t i = 0; i < lines.size(); ++i) {
      const ProfileLine& line = lines[i];
      if (key == nullptr) {
        if (line.kind != kSectionLine || !NameIs(text, line, section)) continue;
        // The section runs from its header to its last line that is neither blank nor a
        // comment; blank lines and comments after that stay for what follows.
        size_t last = i;
        for (size_t j = i + 1; j < lines.size() && lines[j].kind != kSectionLine; ++j) {
          if (lines[j].kind == kKeyLine || lines[j].kind == kOtherLine) last = j;
        }
        for (size_t j = i; j <= last; ++j) drop[j] = true;
        any = true;
      } else if (line.kind == kKeyLine && NameIs(text, line, key) &&
                 InSection(text, lines, line, section)) {
        drop[i] = true;
        any = true;
      }
    }
    if (!any) return 1;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (!drop[i]) result.append(text, lines[i].begin, lines[i].next - lines[i].begin);
    }
    return ReplaceFile(path, result);
  }

  // A value is one line: a line end in it would add lines to the file, so it is cut there.
  std::string newValue(value, strcspn(value, "\r\n"));
  std::string lineEnd = LineEndOf(text, lines);
  int64_t found = FindKey(text, lines, section, key);
  if (found >= 0) {
    // Keep the line as far as its "=" and its own line end; replace what lies between.
    const ProfileLine& line = lines[static_cast<size_t>(found)];
    result.assign(text, 0, line.equals + 1);
    result += newValue;
    result.append(text, line.end, std::string::npos);
  } else {
    int64_t header = -1;
    int64_t after = -1;  // the new line goes after this line
    for (size_t i = 0; i < lines.size(); ++i) {
      if (header < 0) {
        if (lines[i].kind == kSectionLine && NameIs(text, lines[i], section)) {
          header = static_cast<int64_t>(i);
          after = header;
        }
      } else if (lines[i].kind == kSectionLine) {
        break;
      } else if (lines[i].kind == kKeyLine) {
        after = static_cast<int64_t>(i);
      }
    }
    std::string added;
    size_t at = text.size();
    if (after >= 0) {
      const ProfileLine& line = lines[static_cast<size_t>(after)];
      at = line.next;
      if (line.next == text.size()) added += EndOfLastLine(text, lineEnd);
    } else {
      added += EndOfLastLine(text, lineEnd);
      added += "[";
      added += section;
      added += "]";
      added += lineEnd;
    }
    added += key;
    added += "=";
    added += newValue;
    added += lineEnd;
    result.assign(text, 0, at);
    result += added;
    result.append(text, at, std::string::npos);
  }
  if (loaded == kLoaded && result == text) return 1;
  return ReplaceFile(path, result);
}

}  // namespace platform
