// File names as 3do handles them: joined, split and normalised as
// std::filesystem would, with plain strings for the plain POSIX names a walk
// of folders makes (std::filesystem costs most of planning a large tree).
#ifndef CONVERT3DO_CLI_3DO_NAMES_H
#define CONVERT3DO_CLI_3DO_NAMES_H

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace convert3do {

// A name as UTF-8 text, and back.
std::string fromPath(const std::filesystem::path& path);
std::filesystem::path toPath(const std::string& name);

// Whether std::filesystem would leave a POSIX name as it is: not empty, no
// "." or ".." component, no doubled or trailing separator. Never on Windows.
bool plainName(const std::string& name);

// folder / name; just name when folder is empty.
std::string joinName(const std::string& folder, const std::string& name);

// The name lexically normalised.
std::string normalName(const std::string& name);

// The name's folder (parent path) and its last component (file name).
void splitName(const std::string& name, std::string* folder, std::string* base);

// Names kept for the length of a run, in blocks that never move: each costs
// its bytes and a NUL, so that a million names cost little more than their
// text. Not for use by two threads at once.
class NameArena {
 public:
  // A copy of text[0, length), NUL-terminated, valid as long as the arena.
  const char* keep(const char* text, std::size_t length);
  const char* keep(const std::string& text) { return keep(text.data(), text.size()); }

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_ = 0;  // in the last block
  std::size_t room_ = 0;
};

// Names given to a run, kept in an arena.
class NameList {
 public:
  void add(const char* name, std::size_t length) { names_.push_back(arena_.keep(name, length)); }
  void add(const std::string& name) { add(name.data(), name.size()); }
  std::size_t size() const { return names_.size(); }
  bool empty() const { return names_.empty(); }
  const char* operator[](std::size_t i) const { return names_[i]; }

 private:
  NameArena arena_;
  std::vector<const char*> names_;
};

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_3DO_NAMES_H
