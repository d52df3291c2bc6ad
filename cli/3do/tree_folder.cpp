#include "cli/3do/tree_folder.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "cli/3do/names.h"

namespace convert3do {

namespace {

// Appends a folder's or file's name to a path, as joinName does.
void appendName(std::string& path, const char* name) {
#ifdef _WIN32
  path = joinName(path, name);
#else
  if (!path.empty() && path.back() != '/') {
    path += '/';
  }
  path += name;
#endif
}

// The places from the walk's start (excluded) down to place, deepest first.
void chainOf(const TreeFolder& place, std::vector<const TreeFolder*>* chain) {
  for (const TreeFolder* p = &place; p->parent != nullptr; p = p->parent) {
    chain->push_back(p);
  }
}

std::string pathBelow(const TreeFolder& place, const char* start, const char* leaf) {
  std::vector<const TreeFolder*> chain;
  chainOf(place, &chain);
  std::size_t length = std::strlen(start) + std::strlen(leaf) + 1;
  for (const TreeFolder* p : chain) {
    length += std::strlen(p->name) + 1;
  }
  std::string path;
  path.reserve(length);
  path = start;
  for (auto p = chain.rbegin(); p != chain.rend(); ++p) {
    appendName(path, (*p)->name);
  }
  if (*leaf != '\0') {
    appendName(path, leaf);
  }
  return path;
}

const TreeFolder& startOf(const TreeFolder& place) {
  const TreeFolder* p = &place;
  while (p->parent != nullptr) {
    p = p->parent;
  }
  return *p;
}

}  // namespace

std::string shownPath(const TreeFolder& place, const char* leaf) {
  return pathBelow(place, startOf(place).name, leaf);
}

std::string outputPath(const TreeFolder& place, const std::string& dir, const char* leaf) {
  return pathBelow(place, dir.c_str(), leaf);
}

namespace {

// Whether the opened folder is the one recorded for place on side: 0 or
// ESTALE.
int check(const Folder& folder, const TreeFolder& place, Side side) {
  const FileIdentity found = identifyFolder(folder);
  const FileKey& recorded = side == Side::Input ? place.input : place.output;
  return found.known && sameKey(keyOf(found), recorded) ? 0 : ESTALE;
}

}  // namespace

int stillInPlace(const Folder& folder, const TreeFolder& place, Side side) {
  const Folder* below = &folder;
  Folder above;
  for (const TreeFolder* p = &place; p->parent != nullptr; p = p->parent) {
    Folder parent;
    const int error = openParent(*below, &parent);
    if (error != 0) {
      return error;
    }
    const FileIdentity entry = identifyAt(parent, p->name, false);
    const FileKey& recorded = side == Side::Input ? p->input : p->output;
    if (!entry.known || entry.symlink || !sameKey(keyOf(entry), recorded) ||
        check(parent, *p->parent, side) != 0) {
      return ESTALE;
    }
    above = std::move(parent);
    below = &above;
  }
  return 0;
}

int FolderCursor::moveTo(const TreeFolder* place) {
  if (open_ && at_ == place) {
    return 0;
  }
  // The nearest place above both, if they are in one tree: the way goes up
  // to it and down from it.
  down_.clear();
  std::size_t ups = 0;
  const TreeFolder* a = open_ ? at_ : nullptr;
  const TreeFolder* b = place;
  if (a != nullptr) {
    while (b->depth > a->depth) {
      down_.push_back(b);
      b = b->parent;
    }
    while (a->depth > b->depth) {
      a = a->parent;
      ++ups;
    }
    while (a != nullptr && a != b) {
      down_.push_back(b);
      b = b->parent;
      a = a->parent;
      ++ups;
    }
  }
  const TreeFolder* const from = at_;
  open_ = false;
  at_ = place;
  int error = a == nullptr ? -1 : up(from, ups);
  if (error != 0) {
    // Another tree, or the way up is not what it was: from the start.
    down_.clear();
    chainOf(*place, &down_);
    error = start(&startOf(*place));
  }
  if (error == 0) {
    error = down();
  }
  open_ = error == 0;
  return error;
}

int FolderCursor::start(const TreeFolder* root) {
  const Folder* from = side_ == Side::Input ? root->root : outputRoot_;
  return from == nullptr ? ENOENT : copyFolder(*from, &folder_);
}

int FolderCursor::up(const TreeFolder* from, std::size_t steps) {
  const TreeFolder* p = from;
  for (std::size_t i = 0; i < steps; ++i) {
    p = p->parent;
    Folder above;
    int error = openParent(folder_, &above);
    if (error == 0) {
      error = check(above, *p, side_);
    }
    if (error != 0) {
      return error;
    }
    folder_ = std::move(above);
  }
  return 0;
}

int FolderCursor::down() {
  for (auto p = down_.rbegin(); p != down_.rend(); ++p) {
    Folder below;
    int error = openChild(folder_, (*p)->name, &below);
    if (error == 0) {
      error = check(below, **p, side_);
    }
    if (error != 0) {
      return error;
    }
    folder_ = std::move(below);
  }
  return 0;
}

}  // namespace convert3do
