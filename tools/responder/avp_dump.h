// Readable dumps of Diameter messages for the local responder: header, then every AVP by name,
// grouped AVPs with their members indented below them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct AvpInfo {
  uint32_t code;
  uint32_t vendor;
  const char* name;
  char type;  // 'G' grouped, 'U' unsigned32, 'I' integer32, 'L' unsigned64, 'J' integer64,
              // 'S' UTF8String, 'O' OctetString, 'A' Address, 'T' Time, 'E' enumerated
};

// The AVP of this code and vendor, or nullptr when the dictionary does not know it.
const AvpInfo* FindAvpInfo(uint32_t code, uint32_t vendor);
// The name of a command code ("Credit-Control" for 272), or nullptr.
const char* CommandName(uint32_t commandCode);

// The whole message as text, one line per AVP, each line ending in "\n". Every read stays
// within size and within the Message Length; what does not fit is shown as such.
std::string DumpMessage(const uint8_t* bytes, size_t size);

// The top-level AVP with code (vendor 0) in the AVPs from offset to end: its data offset and
// length. 1 when found.
int FindTopLevelAvp(const uint8_t* bytes, size_t end, size_t offset, uint32_t code,
                    size_t* dataOffset, uint32_t* dataLength);
