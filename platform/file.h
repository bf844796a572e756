// Files: the executable's own path, the shared append-only log file, and whole-file reads with
// last-write times.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

using File = int;
constexpr File kInvalidFile = -1;

// The executable's full path as the system reports it, cut to size - 1 characters. 1 on success.
int ExecutablePath(char* out, size_t size);
// Tests make the system believe it runs from another path (templates, settings and log then
// live beside that path). nullptr restores the real one.
void OverrideExecutablePath(const char* path);

// Opens the log for reading and writing, shared, created when missing and never truncated, with
// every write appended at its end. kInvalidFile on failure.
File OpenLogFile(const char* path);
// Writes all bytes with one write call; 1 when all of them went out.
int FileWrite(File f, const void* data, size_t count);
void FileClose(File f);

// Last-write time (nanoseconds since 1970, full precision) and size of a file; 1 when found.
int FileInfo(const char* path, uint64_t* writeTime, uint64_t* size);
// Opens an existing file for reading (others may go on reading and writing it).
File OpenForReading(const char* path);
// One read of up to count bytes; the number of bytes read, 0 on failure or at the end.
uint32_t FileRead(File f, void* data, uint32_t count);

}  // namespace platform
