#include "cli/3do/names.h"

#include <algorithm>
#include <cstring>

namespace convert3do {

namespace fs = std::filesystem;

std::string fromPath(const fs::path& path) {
#ifdef _WIN32
  return path.u8string();
#else
  return path.string();
#endif
}

fs::path toPath(const std::string& name) {
#ifdef _WIN32
  return fs::u8path(name);
#else
  return fs::path(name);
#endif
}

bool plainName(const std::string& name) {
#ifdef _WIN32
  (void)name;
  return false;
#else
  if (name.empty() || name.back() == '/') {
    return false;
  }
  // One pass over the components: none empty but a leading one ("/a"), none
  // "." or "..".
  std::size_t start = 0;
  for (std::size_t at = 0; at <= name.size(); ++at) {
    if (at < name.size() && name[at] != '/') {
      continue;
    }
    const std::size_t length = at - start;
    if ((length == 0 && at > 0) || (length == 1 && name[start] == '.') ||
        (length == 2 && name[start] == '.' && name[start + 1] == '.')) {
      return false;
    }
    start = at + 1;
  }
  return true;
#endif
}

std::string joinName(const std::string& folder, const std::string& name) {
  if (folder.empty()) {
    return name;
  }
  if (plainName(folder) && plainName(name) && name[0] != '/') {
    return folder + '/' + name;
  }
  return fromPath(toPath(folder) / toPath(name));
}

std::string normalName(const std::string& name) {
  return plainName(name) ? name : fromPath(toPath(name).lexically_normal());
}

void splitName(const std::string& name, std::string* folder, std::string* base) {
  const std::size_t slash = name.rfind('/');
  if (plainName(name) && slash != 0) {
    *folder = slash == std::string::npos ? "" : name.substr(0, slash);
    *base = name.substr(slash + 1);
    return;
  }
  const fs::path path = toPath(name);
  *folder = fromPath(path.parent_path());
  *base = fromPath(path.filename());
}

const char* NameArena::keep(const char* text, std::size_t length) {
  constexpr std::size_t kBlock = std::size_t{64} * 1024;
  if (length + 1 > room_ - used_) {
    // A long name gets a block of its own; the block being filled stays.
    const std::size_t size = std::max(kBlock, length + 1);
    if (size > kBlock && !blocks_.empty()) {
      const auto own = blocks_.insert(blocks_.end() - 1, std::unique_ptr<char[]>(new char[size]));
      std::memcpy(own->get(), text, length);
      own->get()[length] = '\0';
      return own->get();
    }
    blocks_.push_back(std::unique_ptr<char[]>(new char[size]));
    used_ = 0;
    room_ = size;
  }
  char* const at = blocks_.back().get() + used_;
  std::memcpy(at, text, length);
  at[length] = '\0';
  used_ += length + 1;
  return at;
}

}  // namespace convert3do
