// Temporary files of a batch: named so that no other run, thread or try picks
// the same name, and armed for removal by a signal before they exist. Kept
// apart from files.cpp, so that convert3do does not link the string code.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "cli/common/files.h"
#include "cli/common/process.h"

namespace convert3do {

namespace {

// A name for a temporary file that no other run, thread or try picks.
std::string temporaryName(const std::string& directory, const std::string& base) {
  static std::atomic<unsigned long> counter{0};
  const unsigned long serial = counter.fetch_add(1);
  const auto clock =
      static_cast<unsigned long>(std::chrono::steady_clock::now().time_since_epoch().count());
  char suffix[40];
  (void)std::snprintf(suffix, sizeof suffix, ".%06lx%lx.tmp",
                      (clock ^ (serial * 2654435761UL)) & 0xFFFFFFUL, serial);
  return (directory.empty() ? std::string() : directory + "/") + "." + base + suffix;
}

}  // namespace

OpenedFile createTemporary(const std::string& directory, const std::string& base,
                           unsigned permissions, std::string* name, int slot) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = temporaryName(directory, base);
    if (slot >= 0 && !armTemporary(slot, name->c_str())) {
      return OpenedFile{-1, EINTR, {}};
    }
    const int fd = openExclusive(name->c_str(), permissions);
    if (fd >= 0) {
      if (slot >= 0) {
        temporaryCreated(slot);
      }
      return OpenedFile{fd, 0, identifyDescriptor(fd)};
    }
    const int error = errno;
    if (slot >= 0) {
      disarmTemporary(slot);
    }
    if (error != EEXIST) {
      return OpenedFile{-1, error, {}};
    }
  }
  return OpenedFile{-1, EEXIST, {}};
}

}  // namespace convert3do
