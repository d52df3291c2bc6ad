#include "cli/common/temporary.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace convert3do {

namespace {

#if defined(O_TMPFILE) && defined(AT_EMPTY_PATH)
#define CONVERT3DO_UNNAMED_FILES 1

// How a file made with O_TMPFILE gets a name: straight from its descriptor
// (which needs a capability on older kernels), or through /proc. Found on the
// first such file of the run, which is given its temporary name that way.
enum LinkWay : int { kUntried, kFromDescriptor, kThroughProc, kNoWay };
std::atomic<int> linkWay{kUntried};

int linkUnnamed(int fd, int way, const Folder& folder, const char* name) {
  if (way == kFromDescriptor) {
    return linkat(fd, "", folder.fd.get(), name, AT_EMPTY_PATH);
  }
  char path[40];
  (void)std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, path, folder.fd.get(), name, AT_SYMLINK_FOLLOW) != 0) {
    return -1;
  }
  // The link went by a name: it must have given the name to this file and no
  // other, else the name made is taken back.
  if (!sameFile(identifyAt(folder, name, false), identifyDescriptor(fd))) {
    (void)unlinkat(folder.fd.get(), name, 0);
    errno = ESTALE;
    return -1;
  }
  return 0;
}
#endif

// Gives *name one temporary name for base after another until make(name)
// succeeds, or fails otherwise than with EEXIST; returns 0 or errno.
template <typename Make>
int freshName(const std::string& base, std::size_t longest, std::string* name, Make make) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = temporaryName(base, longest);
    if (make(name->c_str())) {
      return 0;
    }
    if (errno != EEXIST) {
      return errno;
    }
  }
  return EEXIST;
}

}  // namespace

std::string temporaryName(const std::string& base, std::size_t longest) {
  static std::atomic<unsigned long> counter{0};
  const unsigned long serial = counter.fetch_add(1);
  const auto clock =
      static_cast<unsigned long>(std::chrono::steady_clock::now().time_since_epoch().count());
  char suffix[40];
  (void)std::snprintf(suffix, sizeof suffix, ".%06lx%lx.tmp",
                      (clock ^ (serial * 2654435761UL)) & 0xFFFFFFUL, serial);
  const std::size_t room =
      longest > std::string(suffix).size() + 2 ? longest - std::string(suffix).size() - 1 : 1;
  std::size_t keep = std::min(base.size(), room);
  while (keep > 0 && keep < base.size() &&
         (static_cast<unsigned char>(base[keep]) & 0xC0u) == 0x80u) {
    --keep;  // not inside a UTF-8 sequence
  }
  return "." + base.substr(0, keep) + suffix;
}

void TemporaryFiles::stop() {
  const std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  for (const std::unique_ptr<Share>& share : shares_) {
    const std::lock_guard<std::mutex> shareLock(share->mutex_);
    for (TemporaryFile* file : share->live_) {
      (void)removeAt(*file->folder_, file->name_.c_str());
      file->live_ = false;
    }
    share->live_.clear();
    share->removeHeld();
  }
}

TemporaryFiles::Share& TemporaryFiles::newShare() {
  const std::lock_guard<std::mutex> lock(mutex_);
  shares_.push_back(std::unique_ptr<Share>(new Share));
  shares_.back()->owner_ = this;
  return *shares_.back();
}

int TemporaryFile::create(const Folder& folder, const std::string& base, unsigned permissions) {
  discard();
  const std::lock_guard<std::mutex> lock(share_.mutex_);
  if (share_.owner_->stopped()) {
    return EINTR;
  }
  folder_ = &folder;
  const int error = freshName(base, longestName(folder), &name_, [&](const char* name) {
#ifdef _WIN32
    const int made = openExclusive(
        (folder.path.empty() ? std::string(name) : folder.path + "/" + name).c_str(), permissions);
#else
    const int made = openExclusiveAt(folder.fd.get(), name, permissions);
#endif
    fd_.reset(made < 0 ? -1 : made);
    return made >= 0;
  });
  if (error == 0) {
    live_ = true;
    share_.live_.push_back(this);
  }
  return error;
}

int TemporaryFile::createScratch(const Folder& folder, const std::string& base) {
  const int error = create(folder, base, 0600);
  if (error == 0) {
    const std::lock_guard<std::mutex> lock(share_.mutex_);
    if (live_ && removeAt(folder, name_.c_str())) {
      forget();
    }
  }
  return error;
}

int TemporaryFile::createUnnamed(const Folder& folder, const std::string& base,
                                 unsigned permissions) {
#ifdef CONVERT3DO_UNNAMED_FILES
  if (linkWay.load() != kNoWay && !folder.makesNoUnnamed) {
    discard();
    const std::lock_guard<std::mutex> lock(share_.mutex_);
    if (share_.owner_->stopped()) {
      return EINTR;
    }
    const int made = openat(folder.fd.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, permissions);
    if (made < 0) {
      folder.makesNoUnnamed = true;  // and create() says why, if it fails too
    } else {
      fd_.reset(made);
      folder_ = &folder;
      name_.clear();
      base_ = base;
      if (linkWay.load() != kUntried) {
        unnamed_ = true;
        return 0;
      }
      name_ = temporaryName(base, longestName(folder));
      for (const int way : {kFromDescriptor, kThroughProc}) {
        if (linkUnnamed(made, way, folder, name_.c_str()) == 0) {
          linkWay = way;
          live_ = true;
          share_.live_.push_back(this);
          return 0;
        }
      }
      linkWay = kNoWay;
      fd_.reset();
    }
  }
#endif
  return create(folder, base, permissions);
}

void TemporaryFile::forget() {
  live_ = false;
  share_.live_.erase(std::remove(share_.live_.begin(), share_.live_.end(), this),
                     share_.live_.end());
}

int TemporaryFile::commit(const std::string& target, bool replace, int (*committed)(void*),
                          void* context) {
  const std::lock_guard<std::mutex> lock(share_.mutex_);
  if (!live_ && !unnamed_) {
    return EINTR;  // removed by a stop
  }
  if (share_.owner_->stopped()) {
    return EINTR;
  }
#ifdef CONVERT3DO_UNNAMED_FILES
  if (unnamed_ && replace) {
    // A link replaces nothing: the file gets its temporary name now, and is
    // renamed as a named one is, so a kill leaves a name only in between.
    const int error = nameUnnamed();
    if (error != 0) {
      return error;
    }
  }
  if (unnamed_) {
    if (linkUnnamed(fd_.get(), linkWay.load(), *folder_, target.c_str()) != 0) {
      return errno;
    }
    unnamed_ = false;
    if (!closeFile(fd_.release())) {
      const int error = errno;
      (void)removeAt(*folder_, target.c_str());  // the name this call made
      return error;
    }
    return settle(target, committed, context);
  }
#endif
  // Closed first: a late write error shows here, and Windows renames no open
  // file.
  if (!closeFile(fd_.release())) {
    return errno;
  }
  if (!renameAt(*folder_, name_.c_str(), target.c_str(), replace)) {
    return errno;
  }
  forget();
  return settle(target, committed, context);
}

int TemporaryFile::settle(const std::string& target, int (*committed)(void*), void* context) {
  const int error = committed != nullptr ? committed(context) : 0;
  if (error == kHold) {
    share_.heldFolder_ = folder_;
    share_.held_.push_back(target);
    return 0;
  }
  if (error != 0) {
    (void)removeAt(*folder_, target.c_str());
  }
  return error;
}

void TemporaryFiles::Share::removeHeld() {
  for (const std::string& name : held_) {
    (void)removeAt(*heldFolder_, name.c_str());
  }
  held_.clear();
}

void TemporaryFiles::Share::releaseHeld(bool keep, void (*released)(void*), void* context) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (held_.empty()) {
    return;  // removed by a stop
  }
  if (!keep) {
    removeHeld();
  }
  held_.clear();
  released(context);
}

int TemporaryFile::nameUnnamed() {
#ifdef CONVERT3DO_UNNAMED_FILES
  const int error = freshName(base_, longestName(*folder_), &name_, [this](const char* name) {
    return linkUnnamed(fd_.get(), linkWay.load(), *folder_, name) == 0;
  });
  if (error == 0) {
    unnamed_ = false;
    live_ = true;
    share_.live_.push_back(this);
  }
  return error;
#else
  return EINVAL;
#endif
}

void TemporaryFile::discard() {
  unnamed_ = false;
  {
    const std::lock_guard<std::mutex> lock(share_.mutex_);
    if (live_) {
      (void)removeAt(*folder_, name_.c_str());
      forget();
    }
  }
  fd_.reset();
}

int probeCaseFolding(const Folder& folder, bool* folds) {
#ifdef _WIN32
  (void)folder;
  *folds = true;  // as Windows compares names, but in folders set otherwise
  return 0;
#else
  std::string lower;
  std::string upper;
  const int error = freshName("case-probe", longestName(folder), &lower, [&](const char* name) {
    upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) {
      return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    if (identifyAt(folder, upper.c_str(), false).known) {
      errno = EEXIST;  // there already: it would tell nothing
      return false;
    }
    const int made = openExclusiveAt(folder.fd.get(), name, 0600);
    if (made < 0) {
      return false;
    }
    (void)closeFile(made);
    return true;
  });
  if (error != 0) {
    return error;
  }
  *folds = identifyAt(folder, upper.c_str(), false).known;
  (void)removeAt(folder, lower.c_str());
  return 0;
#endif
}

}  // namespace convert3do
