// What the library says in words: the texts every front end shows (the two
// programs, the page, the Python package), made here once. No C library:
// numbers are written by hand, so that the core still builds with nothing
// under it.
#include <cstddef>
#include <cstdint>

#include "convert/convert3do.h"
#include "format/chunk.h"

namespace {

// Text written into a caller's buffer as snprintf writes it: cut to fit, NUL
// always written when there is room for one, and the whole length counted.
class Text {
 public:
  Text(char* buffer, std::size_t size) : buffer_(buffer), size_(buffer == nullptr ? 0 : size) {}

  Text& add(char c) {
    if (length_ + 1 < size_) {
      buffer_[length_] = c;
    }
    ++length_;
    return *this;
  }
  Text& add(const char* text) {
    while (*text != '\0') {
      add(*text++);
    }
    return *this;
  }
  Text& number(std::int64_t value) {
    char digits[24];
    int count = 0;
    // The magnitude as unsigned, so that the least int64 is written too.
    std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    do {
      digits[count++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
      add('-');
    }
    while (count > 0) {
      add(digits[--count]);
    }
    return *this;
  }
  // A JSON string of printable ASCII.
  Text& quoted(const char* text) {
    add('"');
    for (; *text != '\0'; ++text) {
      if (*text == '"' || *text == '\\') {
        add('\\');
      }
      add(*text);
    }
    return add('"');
  }

  // Ends the text; its whole length.
  std::size_t done() {
    if (size_ > 0) {
      buffer_[length_ < size_ ? length_ : size_ - 1] = '\0';
    }
    return length_;
  }

 private:
  char* buffer_;
  std::size_t size_;
  std::size_t length_ = 0;
};

// A JSON member: its key, after a comma unless it is the first.
Text& key(Text& t, const char* name, bool first = false) {
  if (!first) {
    t.add(',');
  }
  return t.quoted(name).add(':');
}

void member(Text& t, const char* name, std::int64_t value) {
  key(t, name).number(value);
}

void orNull(Text& t, const char* name, bool present, std::int64_t value) {
  if (present) {
    member(t, name, value);
  } else {
    key(t, name).add("null");
  }
}

void truth(Text& t, const char* name, bool value) {
  key(t, name).add(value ? "true" : "false");
}

void tagText(Text& t, std::uint32_t tag) {
  bool printable = true;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const std::uint32_t c = (tag >> shift) & 0xFFu;
    printable = printable && c >= 0x20 && c <= 0x7E;
  }
  if (printable) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      t.add(static_cast<char>((tag >> shift) & 0xFFu));
    }
    return;
  }
  t.add("0x");
  for (int shift = 28; shift >= 0; shift -= 4) {
    t.add("0123456789ABCDEF"[(tag >> shift) & 0xFu]);
  }
}

void damageText(Text& t, convert3do_status outcome, std::int64_t at, std::int64_t chunk,
                std::int32_t payloadLength, std::int64_t areaEnd) {
  switch (outcome) {
    case CONVERT3DO_CUT_HEADER:
      t.add("cut at byte ").number(at).add(", inside the 12-byte header");
      break;
    case CONVERT3DO_CUT_CHUNK:
      t.add("cut at byte ").number(at).add(", inside the chunk at byte ").number(chunk);
      break;
    case CONVERT3DO_CHUNK_TOO_LARGE:
      t.add("the chunk at byte ")
          .number(chunk)
          .add(" (payload length ")
          .number(payloadLength)
          .add(") would take the chunk area to ")
          .number(areaEnd)
          .add(" bytes, more than a 3do file can hold (2147483647)");
      break;
    case CONVERT3DO_READ_FAILED:
      t.add("cannot read at byte ").number(at);
      break;
    default:
      break;
  }
}

const char* const kWalkEnds[] = {"bound",   "unrecognised_tag", "end_of_input",
                                 "damaged", "not_3do",          "stopped"};

// Where and why the walk ended, as `3do info` says it.
void walkEndText(Text& t, const convert3do_info& i) {
  switch (i.walk_end) {
    case CONVERT3DO_END_BOUND:
      t.add("the length bound (").number(i.length_field).add(")");
      if (i.overrun > 0) {
        t.add(", which the last chunk runs ").number(i.overrun).add(" bytes past");
      }
      break;
    case CONVERT3DO_END_UNRECOGNISED:
      t.add("an unrecognised tag, ");
      tagText(t, i.end_tag);
      t.add(", at byte ").number(i.end_offset);
      break;
    case CONVERT3DO_END_OF_INPUT:
      t.add("the end of the input, at a chunk boundary (byte ")
          .number(12 + i.chunk_bytes)
          .add("), before the bound");
      break;
    case CONVERT3DO_END_DAMAGED:
      t.add("damage: ");
      damageText(t, i.outcome, i.damage_offset, i.damage_chunk, i.damage_payload_length,
                 i.damage_area_end);
      break;
    case CONVERT3DO_END_STOPPED:
      t.add("stopped by its caller, at byte ").number(12 + i.chunk_bytes);
      break;
    default:
      t.add("not a 3do file (it does not start with the magic 3DO4)");
      break;
  }
}

// The members of `3do info --json` after "chunks".
void infoMembers(Text& t, const convert3do_info& i, bool first) {
  const bool known = i.size >= 0;
  key(t, "size", first);
  if (known) {
    t.number(i.size);
  } else {
    t.add("null");
  }
  truth(t, "is_3do", i.is_3do != 0);
  orNull(t, "header_word", i.header_complete != 0, i.header_word);
  orNull(t, "length_field", i.header_complete != 0, i.length_field);
  const unsigned end = static_cast<unsigned>(i.walk_end);
  key(t, "walk_end").quoted(kWalkEnds[end < 6 ? end : 4]);
  char words[256];
  Text walk(words, sizeof words);
  walkEndText(walk, i);
  walk.done();
  key(t, "walk_end_text").quoted(words);
  const bool atTag = i.walk_end == CONVERT3DO_END_UNRECOGNISED;
  orNull(t, "end_offset", atTag, i.end_offset);
  key(t, "end_tag");
  if (atTag) {
    char tag[12];
    Text tagged(tag, sizeof tag);
    tagText(tagged, i.end_tag);
    tagged.done();
    t.quoted(tag);
  } else {
    t.add("null");
  }
  orNull(t, "overrun", i.walk_end == CONVERT3DO_END_BOUND, i.overrun);
  const bool damaged = i.walk_end == CONVERT3DO_END_DAMAGED;
  orNull(t, "damage_offset", damaged, i.damage_offset);
  orNull(t, "damage_chunk_offset", damaged, i.damage_chunk);
  key(t, "damage");
  if (damaged) {
    t.add('"');
    damageText(t, i.outcome, i.damage_offset, i.damage_chunk, i.damage_payload_length,
               i.damage_area_end);
    t.add('"');
  } else {
    t.add("null");
  }
  member(t, "output_size", i.output_size);
  orNull(t, "output_length_field", i.output_size > 0, i.chunk_bytes);
  member(t, "words_changed", i.words_changed);
  orNull(t, "bytes_dropped", known, i.bytes_dropped);
  truth(t, "already_converted", i.already_converted != 0);
  const bool notA3do = i.walk_end == CONVERT3DO_END_NOT_3DO;
  key(t, "convert3do")
      .quoted(notA3do   ? "empty_output"
              : damaged ? "keeps_complete_chunks"
                        : "converts");
  key(t, "3do_convert")
      .quoted(notA3do   ? "refuses"
              : damaged ? "writes_nothing_without_salvage"
                        : "converts");
  member(t, "exit_status", convert3do_exit_status(i.outcome));
}

void chunkJson(Text& t, const convert3do_chunk& c) {
  t.add('{');
  key(t, "offset", true).number(c.offset);
  key(t, "tag").add('"');
  char tag[12];
  Text tagged(tag, sizeof tag);
  tagText(tagged, c.tag);
  tagged.done();
  for (const char* at = tag; *at != '\0'; ++at) {
    if (*at == '"' || *at == '\\') {
      t.add('\\');
    }
    t.add(*at);
  }
  t.add('"');
  member(t, "chunk_word", c.chunk_word);
  member(t, "payload_length", c.payload_length);
  member(t, "size", c.size);
  if (c.tag == static_cast<std::uint32_t>(convert3do::ChunkTag::Xyzs)) {
    member(t, "entries", c.entries);
    member(t, "entries_to_change", c.entries_to_change);
  }
  t.add('}');
}

}  // namespace

extern "C" {

size_t convert3do_tag_text(uint32_t tag, char* buffer, size_t size) {
  Text t(buffer, size);
  tagText(t, tag);
  return t.done();
}

size_t convert3do_damage_text(const convert3do_info* info, char* buffer, size_t size) {
  Text t(buffer, size);
  if (info != nullptr && info->walk_end == CONVERT3DO_END_DAMAGED) {
    damageText(t, info->outcome, info->damage_offset, info->damage_chunk,
               info->damage_payload_length, info->damage_area_end);
  }
  return t.done();
}

size_t convert3do_walk_end_text(const convert3do_info* info, char* buffer, size_t size) {
  Text t(buffer, size);
  if (info != nullptr) {
    walkEndText(t, *info);
  }
  return t.done();
}

size_t convert3do_result_damage_text(const convert3do_result* result, char* buffer, size_t size) {
  Text t(buffer, size);
  if (result != nullptr) {
    damageText(t, result->outcome, result->damage_offset, result->damage_chunk,
               result->damage_payload_length, result->damage_area_end);
  }
  return t.done();
}

size_t convert3do_chunk_json(const convert3do_chunk* chunk, char* buffer, size_t size) {
  Text t(buffer, size);
  if (chunk != nullptr) {
    chunkJson(t, *chunk);
  }
  return t.done();
}

size_t convert3do_info_json_members(const convert3do_info* info, char* buffer, size_t size) {
  Text t(buffer, size);
  if (info != nullptr) {
    infoMembers(t, *info, true);
  }
  return t.done();
}

size_t convert3do_info_json(const convert3do_info* info, const convert3do_chunk* chunks,
                            size_t count, char* buffer, size_t size) {
  Text t(buffer, size);
  if (info != nullptr) {
    t.add('{');
    key(t, "chunks", true).add('[');
    for (size_t i = 0; chunks != nullptr && i < count; ++i) {
      if (i > 0) {
        t.add(',');
      }
      chunkJson(t, chunks[i]);
    }
    t.add(']');
    infoMembers(t, *info, false);
    t.add('}');
  }
  return t.done();
}

}  // extern "C"
