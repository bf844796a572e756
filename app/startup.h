// Program entry and start-up: the socket layer, the optional secure-transport library, the
// settings and log file names beside the executable, the log file.
#pragma once

#include <cstddef>

#include "platform/library.h"

constexpr size_t kPathSize = 260;
constexpr char kSecureTransportLibrary[] = "ZARNIK.DLL";
constexpr int kSecureTransportEntryCount = 11;

extern char SettingsFilePath[kPathSize];
extern char LogFilePath[kPathSize];

// The path of a file beside executable with its extension replaced by extension (".INI"): the
// cut is made at the last "." of the file name; a name without one gets extension appended.
// 1 when the whole path fits in out; 0 when it had to be cut (out then names some other file).
int DerivePath(const char* executable, const char* extension, char* out, size_t size);

// Loads the secure-transport library once; the handle when it loaded with all eleven entry
// points, nullptr otherwise. Later calls return the first call's result.
platform::Library BindSecureTransport();

// Runs the whole program once and gives the process's exit status.
int ProgramMain();
