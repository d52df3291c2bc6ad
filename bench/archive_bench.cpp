// The benchmark of 3do on mod archives, each row against a floor measured in
// the same run:
//   floor     this program (--floor IN OUT) inflates and deflates, with zlib at
//             the same level, only the models of the archive, and copies the
//             other entries' stored bytes: the least work the conversion is;
//   -j 1      3do convert -i, one worker, against the floor (goal: 1.15x);
//   -j 2      the same with two, against -j 1 (goal: 0.7x);
//   by hand   unzip, 3do convert -r -i, zip -r at the same level (goal: 3do
//             at -j 1 five times faster at least);
//   memory    3do's peak memory on an archive of --memory-gib GiB, half of it
//             one model (goal: 64 MiB).
// The archive: --models models of --model-kib KiB (deflated, level 6) and
// --other-mib MiB of other entries (random bytes, stored, as compressed
// textures and sounds are). Inputs are copied to tmpfs and warmed first.
//
// usage: convert3do_archive_bench --3do PATH [--models N] [--model-kib K]
//            [--other-mib M] [--rounds R] [--memory-gib G] [--dir TMPFS]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "bench/bench_random.h"
#include "cli/3do/zip_layout.h"
#include "format/chunk.h"

namespace {

void check(bool ok, const std::string& what) {
  if (!ok) {
    (void)std::fprintf(stderr, "convert3do_archive_bench: %s: %s\n", what.c_str(),
                       std::strerror(errno));
    std::exit(1);
  }
}

void put(std::vector<unsigned char>& bytes, std::uint32_t word) {
  for (int i = 0; i < 4; ++i) {
    bytes.push_back(static_cast<unsigned char>(word >> (8 * i)));
  }
}

// A model of about size bytes: XYZS chunks of vertices (each entry a flags
// word and three coordinates) and a few other chunks.
std::vector<unsigned char> model(std::size_t size, Random& random) {
  std::vector<unsigned char> bytes;
  put(bytes, static_cast<std::uint32_t>(convert3do::kMagic));
  put(bytes, 1);
  put(bytes, 0);
  while (bytes.size() < size) {
    const bool xyzs = random.next() % 4 != 0;
    const std::uint32_t entries = 64 + random.next() % 512;
    put(bytes,
        static_cast<std::uint32_t>(xyzs ? convert3do::ChunkTag::Xyzs : convert3do::ChunkTag::Norm));
    put(bytes, random.next());
    put(bytes, xyzs ? entries * 16 : entries * 4);
    for (std::uint32_t i = 0; i < (xyzs ? entries * 4 : entries); ++i) {
      // An entry's flags word, then coordinates within +-100.
      const float coordinate =
          static_cast<float>(static_cast<int>(random.next() % 2000000) - 1000000) / 10000;
      std::uint32_t bits = 0;
      std::memcpy(&bits, &coordinate, 4);
      put(bytes, (i % 4 == 0 && xyzs) ? random.next() % 7 : bits);
    }
  }
  const auto body = static_cast<std::uint32_t>(bytes.size() - 12);
  std::memcpy(&bytes[8], &body, 4);
  return bytes;
}

// Adds bytes to the archive as name, compressed by method.
void add(zip_t* zip, const std::string& name, std::vector<unsigned char>& keep, int method) {
  zip_source_t* source = zip_source_buffer(zip, keep.data(), keep.size(), 0);
  const zip_int64_t index = zip_file_add(zip, name.c_str(), source, 0);
  check(
      index >= 0 && zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), method, 6) == 0,
      name);
}

// A mod archive: models, then textures and sounds.
void makeMod(const std::string& path, int models, std::size_t modelKiB, std::size_t otherMiB) {
  int error = 0;
  zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  check(zip != nullptr, path);
  Random random{42};
  std::vector<std::vector<unsigned char>> kept;
  kept.reserve(static_cast<std::size_t>(models) + otherMiB / 8 + 1);
  for (int i = 0; i < models; ++i) {
    kept.push_back(model(modelKiB * 1024, random));
    add(zip, "models/m" + std::to_string(i) + ".3do", kept.back(), ZIP_CM_DEFLATE);
  }
  for (std::size_t i = 0; i * 8 < otherMiB; ++i) {
    kept.emplace_back(std::size_t{8} << 20);
    for (std::size_t w = 0; w < kept.back().size(); w += 4) {
      const std::uint32_t word = random.next();
      std::memcpy(&kept.back()[w], &word, 4);
    }
    add(zip, "textures/t" + std::to_string(i) + ".dds", kept.back(), ZIP_CM_STORE);
  }
  check(zip_close(zip) == 0, path);
}

// The floor: models inflated and deflated again, other entries' stored bytes copied.
int floorRun(const char* in, const char* out) {
  const int from = open(in, O_RDONLY);
  const int to = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  check(from >= 0 && to >= 0, in);
  convert3do::ZipLayout layout;
  const off_t size = lseek(from, 0, SEEK_END);
  check(convert3do::readZipLayout(from, static_cast<std::uint64_t>(size), &layout).problem ==
            convert3do::ZipProblem::None,
        "layout");
  std::vector<unsigned char> stored;
  std::vector<unsigned char> plain;
  std::vector<unsigned char> again;
  for (const convert3do::ZipSpan& e : layout.entries) {
    stored.resize(e.compressedSize);
    check(pread(from, stored.data(), stored.size(), static_cast<off_t>(e.data)) ==
              static_cast<ssize_t>(stored.size()),
          "read");
    if (e.method == convert3do::kZipDeflated && e.name.size() > 4 &&
        e.name.compare(e.name.size() - 4, 4, ".3do") == 0) {
      plain.resize(e.size);
      z_stream z{};
      check(inflateInit2(&z, -MAX_WBITS) == Z_OK, "inflate");
      z.next_in = stored.data();
      z.avail_in = static_cast<uInt>(stored.size());
      z.next_out = plain.data();
      z.avail_out = static_cast<uInt>(plain.size());
      check(inflate(&z, Z_FINISH) == Z_STREAM_END, "inflate");
      inflateEnd(&z);
      z_stream d{};
      check(deflateInit2(&d, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK, "deflate");
      again.resize(deflateBound(&d, static_cast<uLong>(plain.size())));
      d.next_in = plain.data();
      d.avail_in = static_cast<uInt>(plain.size());
      d.next_out = again.data();
      d.avail_out = static_cast<uInt>(again.size());
      check(deflate(&d, Z_FINISH) == Z_STREAM_END, "deflate");
      (void)crc32(0, plain.data(), static_cast<uInt>(plain.size()));
      check(write(to, again.data(), d.total_out) == static_cast<ssize_t>(d.total_out), "write");
      deflateEnd(&d);
    } else {
      check(write(to, stored.data(), stored.size()) == static_cast<ssize_t>(stored.size()),
            "write");
    }
  }
  return close(to) == 0 ? 0 : 1;
}

struct Usage {
  double wall = 0;
  long maxRssKiB = 0;
};

Usage runCommand(const std::vector<std::string>& argv) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  check(pid >= 0, "fork");
  if (pid == 0) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    std::transform(argv.begin(), argv.end(), std::back_inserter(args),
                   [](const std::string& a) { return const_cast<char*>(a.c_str()); });
    args.push_back(nullptr);
    const int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, 1);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  check(wait4(pid, &status, 0, &usage) == pid, "wait");
  check(WIFEXITED(status) && WEXITSTATUS(status) == 0, argv[0] + " failed");
  Usage u;
  u.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  u.maxRssKiB = usage.ru_maxrss;
  return u;
}

void copyFile(const std::string& from, const std::string& to) {
  runCommand({"cp", from, to});
  runCommand({"cat", to});  // warm
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string range(const std::vector<double>& v) {
  char text[64];
  (void)std::snprintf(text, sizeof text, "%.2f-%.2f s", *std::min_element(v.begin(), v.end()),
                      *std::max_element(v.begin(), v.end()));
  return text;
}

void row(const char* what, const std::vector<double>& times, const std::vector<double>& floor,
         const char* goal) {
  std::printf("%-34s %7.2f s (%s)  %.2fx the floor's %.2f s (%s); goal %s\n", what, median(times),
              range(times).c_str(), median(times) / median(floor), median(floor),
              range(floor).c_str(), goal);
}

struct Options {
  std::string threeDo;
  int models = 1000;
  std::size_t modelKiB = 200;
  std::size_t otherMiB = 800;
  int rounds = 3;
  double memoryGiB = 0;
  std::string dir = "/dev/shm";
};

void speedRows(const Options& o, const std::string& self) {
  const std::string mod = o.dir + "/bench-mod.zip";
  const std::string work = o.dir + "/bench-work.zip";
  const std::string out = o.dir + "/bench-floor.out";
  makeMod(mod, o.models, o.modelKiB, o.otherMiB);
  std::vector<double> floor;
  std::vector<double> one;
  std::vector<double> two;
  std::vector<double> hand;
  for (int r = 0; r < o.rounds; ++r) {
    copyFile(mod, work);
    floor.push_back(runCommand({self, "--floor", work, out}).wall);
    one.push_back(
        runCommand({o.threeDo, "convert", "-q", "-j", "1", "--no-sync", "-i", work}).wall);
    copyFile(mod, work);
    two.push_back(
        runCommand({o.threeDo, "convert", "-q", "-j", "2", "--no-sync", "-i", work}).wall);
  }
  copyFile(mod, work);
  const std::string byHand =
      "set -e; d=" + o.dir + "/bench-hand; rm -rf $d " + o.dir + "/bench-hand.zip; unzip -q " +
      work + " -d $d; " + o.threeDo +
      " convert -q -r -i --no-sync $d; cd $d; zip -q -r -6 ../bench-hand.zip .";
  hand.push_back(runCommand({"sh", "-c", byHand}).wall);
  std::printf("archive: %d models of %zu KiB, %zu MiB of other entries, %d rounds\n", o.models,
              o.modelKiB, o.otherMiB, o.rounds);
  row("3do convert -i, -j 1", one, floor, "<= 1.15x");
  std::printf("%-34s %7.2f s (%s)  %.2fx -j 1; goal <= 0.7x\n", "3do convert -i, -j 2", median(two),
              range(two).c_str(), median(two) / median(one));
  std::printf("%-34s %7.2f s  3do -j 1 is %.1fx faster; goal >= 5x\n",
              "by hand: unzip, 3do -r -i, zip -r", hand[0], hand[0] / median(one));
  runCommand({"sh", "-c",
              "rm -rf " + o.dir + "/bench-hand " + o.dir + "/bench-hand.zip " + mod + " " + work +
                  " " + out});
}

void memoryRow(const Options& o) {
  const std::string big = o.dir + "/bench-big.zip";
  // The model as large as a length field allows (2 GiB), or half the archive.
  const auto total = static_cast<std::size_t>(o.memoryGiB * 1024) << 20;
  const std::size_t half = std::min(total / 2, (std::size_t{2047}) << 20);
  {
    int error = 0;
    zip_t* zip = zip_open(big.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    check(zip != nullptr, big);
    Random random{7};
    std::vector<unsigned char> one = model(half, random);
    std::vector<unsigned char> other(total - one.size());
    for (std::size_t w = 0; w + 4 <= other.size(); w += 4) {
      const std::uint32_t word = random.next();
      std::memcpy(&other[w], &word, 4);
    }
    add(zip, "models/huge.3do", one, ZIP_CM_STORE);
    add(zip, "textures/huge.dds", other, ZIP_CM_STORE);
    check(zip_close(zip) == 0, big);
  }
  const std::string out = o.dir + "/bench-big-out.zip";
  runCommand({"cat", big});  // warm
  const Usage u = runCommand({o.threeDo, "convert", "-q", "-f", "-o", out, big});
  std::printf("%-34s %7.2f s  peak memory %.1f MiB; goal <= 64 MiB\n",
              ("3do convert, " + std::to_string(o.memoryGiB).substr(0, 4) + " GiB archive").c_str(),
              u.wall, static_cast<double>(u.maxRssKiB) / 1024);
  runCommand({"rm", "-f", big, out});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--floor") == 0) {
    return floorRun(argv[2], argv[3]);
  }
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--3do") {
      o.threeDo = value;
    } else if (flag == "--models") {
      o.models = static_cast<int>(std::strtol(value, nullptr, 10));
    } else if (flag == "--model-kib") {
      o.modelKiB = std::strtoul(value, nullptr, 10);
    } else if (flag == "--other-mib") {
      o.otherMiB = std::strtoul(value, nullptr, 10);
    } else if (flag == "--rounds") {
      o.rounds = static_cast<int>(std::strtol(value, nullptr, 10));
    } else if (flag == "--memory-gib") {
      o.memoryGiB = std::strtod(value, nullptr);
    } else if (flag == "--dir") {
      o.dir = value;
    } else {
      (void)std::fprintf(stderr, "convert3do_archive_bench: unknown option %s\n", flag.c_str());
      return 2;
    }
  }
  if (o.threeDo.empty()) {
    (void)std::fprintf(stderr, "usage: convert3do_archive_bench --3do PATH [options]\n");
    return 2;
  }
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  check(length > 0, "/proc/self/exe");
  self[length] = '\0';
  if (o.models > 0) {
    speedRows(o, self);
  }
  if (o.memoryGiB > 0) {
    memoryRow(o);
  }
  return 0;
}
