// INI settings files with private-profile semantics: "[section]" lines, "key=value" lines,
// section and key names matched without regard to case.
#pragma once

#include <cstdint>

namespace platform {

// Reads the value of key in section into out (size bytes, cut to size - 1 characters); when the
// file, the section or the key is missing, out receives def (cut the same way). The value is the
// text after the first "=", with the blanks around it removed. Returns the number of characters
// placed in out.
uint32_t ProfileReadString(const char* section, const char* key, const char* def, char* out,
                           uint32_t size, const char* path);

// Writes key=value in section, adding or replacing the key's line and creating the file and the
// section when needed. value nullptr deletes the key's line; key nullptr deletes the whole
// section. Every other line of the file stays as it was. The new file is written beside the old
// one and renamed into place, so a write never leaves a half-written file. 1 on success.
int ProfileWriteString(const char* section, const char* key, const char* value, const char* path);

}  // namespace platform
