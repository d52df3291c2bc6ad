// The floor under converting a tree safely: the system calls that a batch
// which never leaves a partial output needs, and nothing else. For each
// folder it makes the output folder and opens both; for each file it opens
// it, asks its size, reads it, writes the bytes to an unnamed file in the
// output folder (O_TMPFILE), gives that file its name (linkat) and closes
// both. There is no conversion, no check, no planning and one thread: no
// program that converts the tree that way can cost less.
//
// usage: convert3do_safe_floor SOURCE_FOLDER OUTPUT_FOLDER   (one thread)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

char buffer[1 << 20];

// Gives the unnamed file fd the name name in folder.
bool nameFile(int fd, int folder, const char* name) {
  if (linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0) {
    return true;
  }
  char path[64];
  (void)std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, path, folder, name, AT_SYMLINK_FOLLOW) == 0;
}

bool copyFile(int from, int to, const char* name) {
  const int in = openat(from, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) {
    return false;
  }
  struct stat st {};
  bool ok = fstat(in, &st) == 0;
  const int out = ok ? openat(to, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644) : -1;
  ok = out >= 0;
  for (ssize_t got = 1; ok && got > 0;) {
    got = read(in, buffer, sizeof buffer);
    ok = got >= 0 && write(out, buffer, static_cast<std::size_t>(got)) == got;
    if (got > 0 && got == st.st_size) {
      break;  // the whole file, as its size says
    }
  }
  ok = ok && nameFile(out, to, name);
  if (out >= 0) {
    close(out);
  }
  close(in);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    (void)std::fprintf(stderr, "usage: convert3do_safe_floor SOURCE_FOLDER OUTPUT_FOLDER\n");
    return 2;
  }
  if (mkdir(argv[2], 0755) != 0) {
    std::perror(argv[2]);
    return 1;
  }
  struct Level {
    DIR* from;
    int to;
  };
  std::vector<Level> stack{{opendir(argv[1]), open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC)}};
  if (stack.back().from == nullptr || stack.back().to < 0) {
    std::perror(argv[1]);
    return 1;
  }
  int failures = 0;
  while (!stack.empty()) {
    const Level level = stack.back();
    const dirent* entry = readdir(level.from);
    if (entry == nullptr) {
      closedir(level.from);
      close(level.to);
      stack.pop_back();
      continue;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
      continue;
    }
    if (entry->d_type == DT_DIR) {
      const int from =
          openat(dirfd(level.from), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      const bool made = mkdirat(level.to, name, 0755) == 0;
      const int to = made ? openat(level.to, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
      DIR* listing = from >= 0 ? fdopendir(from) : nullptr;
      if (listing == nullptr || to < 0) {
        if (listing != nullptr) {
          closedir(listing);
        } else if (from >= 0) {
          close(from);
        }
        if (to >= 0) {
          close(to);
        }
        ++failures;
        continue;
      }
      stack.push_back({listing, to});
    } else if (entry->d_type == DT_REG && !copyFile(dirfd(level.from), level.to, name)) {
      ++failures;
    }
  }
  if (failures > 0) {
    (void)std::fprintf(stderr, "convert3do_safe_floor: %d files or folders failed\n", failures);
  }
  return failures > 0 ? 1 : 0;
}
