// The rule a conversion applies to XYZS entries: the first word of every
// entry becomes 1, and nothing else in it changes. Every conversion (in
// place, copying, surveyed) and every survey's count of the entries a
// conversion changes use these, so the rule is written here only.
#ifndef CONVERT3DO_FORMAT_ENTRY_H
#define CONVERT3DO_FORMAT_ENTRY_H

#include <cstdint>
#include <cstring>

#include "format/chunk.h"
#include "format/word32.h"

namespace convert3do {

// What the first word of every converted entry holds.
constexpr Word32 kConvertedEntryWord = 1;

// Whether converting the entry at bytes changes it.
constexpr bool entryChanges(const unsigned char* entry) {
  return decodeWord(entry) != kConvertedEntryWord;
}

// Converts the entry at bytes where it lies.
constexpr void convertEntry(unsigned char* entry) {
  encodeWord(kConvertedEntryWord, entry);
}

// Converts count entries from first on where they lie (none when count is 0
// or less).
inline void convertEntries(unsigned char* first, std::int64_t count) {
  for (std::int64_t i = 0; i < count; ++i) {
    convertEntry(first + i * kEntryBytes);
  }
}

// Copies count entries from from to to, each converted, in one pass.
inline void copyConvertedEntries(const unsigned char* from, unsigned char* to, std::int64_t count) {
  for (std::int64_t i = 0; i < count; ++i) {
    std::memcpy(to + i * kEntryBytes, from + i * kEntryBytes, kEntryBytes);
    convertEntry(to + i * kEntryBytes);
  }
}

// How many of count entries from first on a conversion changes.
inline std::int64_t entriesToChange(const unsigned char* first, std::int64_t count) {
  std::int64_t changes = 0;
  for (std::int64_t i = 0; i < count; ++i) {
    changes += entryChanges(first + i * kEntryBytes) ? 1 : 0;
  }
  return changes;
}

// Converts count entries from first on where they lie; how many it changed.
inline std::int64_t convertEntriesCounted(unsigned char* first, std::int64_t count) {
  std::int64_t changes = 0;
  for (std::int64_t i = 0; i < count; ++i) {
    changes += entryChanges(first + i * kEntryBytes) ? 1 : 0;
    convertEntry(first + i * kEntryBytes);
  }
  return changes;
}

}  // namespace convert3do

#endif  // CONVERT3DO_FORMAT_ENTRY_H
