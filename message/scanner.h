// Reader of the template markup: finds the next element tag and looks up a tag's attributes.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kElementNameLimit = 100;  // bytes of an element name that are kept
constexpr size_t kElementNameSize = kElementNameLimit + 1;
constexpr size_t kAttributeLimit = 8192;  // bytes of an attribute name or value that are kept
constexpr size_t kAttributeSize = kAttributeLimit + 1;

// The next element tag after cursor: returns the position of the element's name inside its tag
// (name receives it, kElementNameSize bytes), or nullptr when the text has no further tag.
const char* NextElement(const char* cursor, char* name);
// Looks up the attribute named wanted (any case) of the tag at cursor; value (kAttributeSize
// bytes) receives its value, or the empty text when it is not found. 1 when found.
int GetAttribute(const char* cursor, const char* wanted, char* value);
// The attribute in position index (from 1) of the tag at cursor; name and value each hold
// kAttributeSize bytes. 1 when found.
int ReadAttribute(const char* cursor, int index, char* name, char* value);
// Where a looked-up attribute's value lies in the tag text, without its quotes; value is nullptr
// when the attribute was not found.
struct FoundAttribute {
  const char* value;
  const char* valueEnd;
};
// The names that FindAttributes looks for, prepared once for any number of tags: at most
// kMaxFoundAttributes names (any further ones are never found), with their lengths and, for
// each name length (the last entry for that length or more), the bit i of every names[i] of it.
constexpr int kMaxFoundAttributes = 16;
constexpr size_t kNameLengthKeys = 32;
struct AttributeNames {
  const char* const* names;
  int count;
  size_t lengths[kMaxFoundAttributes];
  uint32_t byLength[kNameLengthKeys];
};
void PrepareAttributeNames(AttributeNames* prepared, const char* const* names, int count);
// Several lookups of the tag at cursor in one reading of it: found[i] (one for each of the count
// names prepared) tells where the value lies that GetAttribute would give for names[i].
void FindAttributes(const char* cursor, const AttributeNames* wanted, FoundAttribute* found);
// The value of an attribute that FindAttributes found, as GetAttribute gives it: the empty text
// and 0 when it was not found. value holds kAttributeSize bytes.
int ReadFoundAttribute(const FoundAttribute* found, char* value);
// The position just after a quote of that kind starting at p, or nullptr.
const char* MatchDoubleQuote(const char* p);
const char* MatchSingleQuote(const char* p);
