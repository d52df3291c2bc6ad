// Benchmark of convert3do against the kernel's own copy.
//
// Generates its inputs at run time in a folder under $TMPDIR (reused from run
// to run): a realistic mix of chunks, large plain payloads, XYZS payloads,
// tiny chunks, a 2 KiB model and a sparse 2 GiB model. Then, with the page
// cache warm and the programs interleaved round by round, it measures the CPU
// time (user + system) of whole processes:
//
// - convert3do IN OUT against `cat IN > OUT` on each large input;
// - convert3do against cp on the 2 KiB model, over batches of runs;
// - the peak resident memory of convert3do on a 1 MiB and a large input;
// - the library's streaming calls in memory against memcpy, in pieces of
//   4 KiB, 64 KiB and 1 MiB;
// - with --3do, `3do info` on the sparse 2 GiB model of large plain chunks;
//   `3do convert -d` on a folder of 2 KiB models against a shell loop of
//   convert3do, in files per second; and `3do convert -j 2` against -j 1 on a
//   batch of large models.
//
// It reports medians and the spread of the per-round ratios. It never fails on
// a timing: the machine is shared and noisy.
//
// - with --3do, the peak resident memory of `3do convert` planning
//   1,000,000 names given with --files0-from (hard links of the 2 KiB model)
//   and a tree of 3,000 nested folders with 200-byte names, a model in each.
//
// With --baseline, another build of convert3do runs in the same rounds on the
// large inputs, and with --baseline-3do another build of 3do on the batch, the
// tree and the memory rows, for a before-and-after comparison within one run.
//
// usage: convert3do_bench --tool PATH/convert3do [--3do PATH/3do] [--runs N]
//                         [--baseline PATH/convert3do] [--baseline-3do PATH/3do]
//                         [--mix-mib N] [--plain-mib N] [--xyzs-mib N]
//                         [--tiny-mib N] [--big-mib N] [--batch-files N]
//                         [--names N] [--levels N] [--only PART,...]
// PART: cat (the large inputs against cat), tiny (the tiny chunks only),
// calls (the library in memory), small, info, batch, tree, workers, memory.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "bench/bench_random.h"
#include "convert/convert3do.h"
#include "format/chunk.h"
#include "format/word32.h"

namespace {

using convert3do::ChunkTag;
using convert3do::Word32;

// Ends the benchmark when a step that must work did not.
void check(bool ok, const std::string& what) {
  if (!ok) {
    std::perror(what.c_str());
    std::exit(1);
  }
}

constexpr ChunkTag kPlainTags[] = {ChunkTag::Hand, ChunkTag::Norm, ChunkTag::Plan, ChunkTag::Prim,
                                   ChunkTag::Strn};

void putWord(std::vector<unsigned char>& bytes, Word32 value) {
  unsigned char encoded[4];
  convert3do::encodeWord(value, encoded);
  std::copy(std::begin(encoded), std::end(encoded), std::back_inserter(bytes));
}

std::int64_t fileSize(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
}

struct Shape {
  std::uint32_t minPayload;
  std::uint32_t maxPayload;
  std::uint32_t xyzsPercent;
  bool sparse;  // payloads are holes: the file is written by its headers only
};

// Writes, unless it is there already from an earlier run, a 3do file of about
// targetBytes whose chunks have the given shape.
std::string makeFile(const std::string& path, std::int64_t targetBytes, const Shape& shape,
                     std::uint64_t seed) {
  if (fileSize(path) >= targetBytes) {
    return path;
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  check(file != nullptr, path);
  Random random{seed};
  std::vector<unsigned char> chunk;
  std::int64_t body = 0;
  std::vector<unsigned char> header;
  putWord(header, convert3do::kMagic);
  putWord(header, 1);
  putWord(header, 0);  // patched below
  check(std::fwrite(header.data(), 1, header.size(), file) == header.size(), path);
  while (12 + body < targetBytes) {
    chunk.clear();
    const bool xyzs = random.below(100) < shape.xyzsPercent;
    const ChunkTag tag = xyzs ? ChunkTag::Xyzs : kPlainTags[random.below(5)];
    const auto payloadLength = static_cast<Word32>(
        shape.minPayload + random.below(shape.maxPayload - shape.minPayload + 1));
    putWord(chunk, static_cast<Word32>(tag));
    putWord(chunk, static_cast<Word32>(random.next()));
    putWord(chunk, payloadLength);
    const std::int64_t size = convert3do::chunkSize(tag, payloadLength);
    if (shape.sparse) {
      check(std::fwrite(chunk.data(), 1, chunk.size(), file) == chunk.size() &&
                std::fseek(file, static_cast<long>(size - 12), SEEK_CUR) == 0,
            path);
    } else {
      while (static_cast<std::int64_t>(chunk.size()) < size) {
        putWord(chunk, static_cast<Word32>(random.next()));
      }
      check(std::fwrite(chunk.data(), 1, chunk.size(), file) == chunk.size(), path);
    }
    body += size;
  }
  header.clear();
  putWord(header, static_cast<Word32>(std::min<std::int64_t>(body, INT32_MAX)));
  check(std::fflush(file) == 0 && ftruncate(fileno(file), static_cast<off_t>(12 + body)) == 0 &&
            std::fseek(file, 8, SEEK_SET) == 0 && std::fwrite(header.data(), 1, 4, file) == 4,
        path);
  check(std::fclose(file) == 0, path);
  return path;
}

struct Usage {
  double cpu = 0;   // user + system seconds
  double wall = 0;  // seconds
  long maxRssKiB = 0;
};

// Runs argv as a child process, its standard output going to stdoutPath
// (/dev/null when empty); returns its CPU time and peak memory.
Usage runProcess(const std::vector<std::string>& argv, const std::string& stdoutPath = "") {
  std::vector<char*> args(argv.size() + 1, nullptr);
  std::transform(argv.begin(), argv.end(), args.begin(),
                 [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    const int out = stdoutPath.empty()
                        ? open("/dev/null", O_WRONLY)
                        : open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0 && dup2(out, 1) >= 0) {
      execv(args[0], args.data());
    }
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  check(child > 0 && wait4(child, &status, 0, &usage) == child && WIFEXITED(status) &&
            WEXITSTATUS(status) == 0,
        "running " + argv[0]);
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  Usage result;
  result.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  result.wall = wall.count();
  result.maxRssKiB = usage.ru_maxrss;
  return result;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void warm(const std::string& path) {
  runProcess({"/bin/cat", path});
}

std::string ramFolder(const std::string& disk);

// Times the converter against cat on one input, interleaved round by round;
// with a baseline (another build of convert3do), that one too. Outputs go to
// RAM where there is some, as the disk's writeback makes rounds swing.
void compareWithCat(const char* name, const std::string& tool, const std::string& baseline,
                    const std::string& input, const std::string& dir, int runs) {
  const std::string output = ramFolder(dir) + "/out.3do";
  warm(input);
  std::vector<double> convert;
  std::vector<double> cat;
  std::vector<double> base;
  std::vector<double> ratios;
  // Each run writes a new file: the cost of freeing the last run's output is
  // nobody's to pay.
  for (int i = 0; i < runs; ++i) {
    (void)std::remove(output.c_str());
    convert.push_back(runProcess({tool, input, output}).cpu);
    (void)std::remove(output.c_str());
    cat.push_back(runProcess({"/bin/cat", input}, output).cpu);
    ratios.push_back(convert.back() / std::max(cat.back(), 1e-6));
    if (!baseline.empty()) {
      (void)std::remove(output.c_str());
      base.push_back(runProcess({baseline, input, output}).cpu);
    }
  }
  const double mib = static_cast<double>(fileSize(input)) / (1024.0 * 1024.0);
  std::printf("%-24s %7.0f MiB  convert3do %8.1f ms  cat %8.1f ms  ratio %.2f (rounds %.2f-%.2f)",
              name, mib, median(convert) * 1e3, median(cat) * 1e3,
              median(convert) / std::max(median(cat), 1e-6),
              *std::min_element(ratios.begin(), ratios.end()),
              *std::max_element(ratios.begin(), ratios.end()));
  if (!base.empty()) {
    std::printf("  baseline %8.1f ms (%.2f of cat)  ratio %.3f", median(base) * 1e3,
                median(base) / std::max(median(cat), 1e-6),
                median(convert) / std::max(median(base), 1e-6));
  }
  std::printf("\n");
}

// The one-shot call on a whole model in memory, against memcpy of the same
// bytes: from one buffer into another, and in place.
void compareOneShot(const std::string& input, int runs) {
  std::FILE* file = std::fopen(input.c_str(), "rb");
  check(file != nullptr, input);
  std::vector<unsigned char> in(static_cast<std::size_t>(fileSize(input)));
  check(std::fread(in.data(), 1, in.size(), file) == in.size() && std::fclose(file) == 0, input);
  std::vector<unsigned char> out(in.size(), 0);  // touched, so no page is first used in a round
  std::vector<double> copy;
  std::vector<double> convert;
  std::vector<double> inPlace;
  const auto seconds = [](auto&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  convert3do_result result{};
  for (int i = 0; i < runs; ++i) {
    copy.push_back(seconds([&] { std::memcpy(out.data(), in.data(), in.size()); }));
    convert.push_back(seconds([&] {
      check(convert3do_convert_buffer(in.data(), in.size(), out.data(), out.size(), &result) ==
                CONVERT3DO_CONVERTED,
            input);
    }));
    std::memcpy(out.data(), in.data(), in.size());
    inPlace.push_back(seconds([&] {
      (void)convert3do_convert_buffer(out.data(), out.size(), out.data(), out.size(), &result);
    }));
  }
  const double mib = static_cast<double>(in.size()) / (1024.0 * 1024.0);
  std::printf(
      "%-24s %7.0f MiB  convert_buffer %6.1f ms  memcpy %6.1f ms  ratio %.2f  "
      "in place %6.1f ms\n",
      "one-shot call, in memory", mib, median(convert) * 1e3, median(copy) * 1e3,
      median(convert) / std::max(median(copy), 1e-9), median(inPlace) * 1e3);
}

// The streaming calls on a model in memory, in pieces of 4 KiB, 64 KiB and 1
// MiB with as much output room a call, against one memcpy of the whole.
void compareStreaming(const char* what, const std::string& input, int runs) {
  std::FILE* file = std::fopen(input.c_str(), "rb");
  check(file != nullptr, input);
  std::vector<unsigned char> in(static_cast<std::size_t>(fileSize(input)));
  check(std::fread(in.data(), 1, in.size(), file) == in.size() && std::fclose(file) == 0, input);
  std::vector<unsigned char> out(in.size() + 64, 0);
  std::vector<std::int64_t> memory(convert3do_converter_size() / 8 + 1);
  const auto seconds = [](auto&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  const auto stream = [&](std::size_t piece) {
    convert3do_converter* c = convert3do_converter_init(memory.data(), memory.size() * 8);
    unsigned char* at = out.data();
    convert3do_status status = CONVERT3DO_MORE;
    for (std::size_t pos = 0; status == CONVERT3DO_MORE;) {
      const std::size_t n = std::min(piece, in.size() - pos);
      const unsigned char* next = in.data() + pos;
      std::size_t left = n;
      const int atEnd = pos + n == in.size() ? 1 : 0;
      do {
        std::size_t room = std::min<std::size_t>(piece + 64, out.data() + out.size() - at);
        status = convert3do_convert(c, &next, &left, &at, &room, atEnd);
      } while (status == CONVERT3DO_MORE && (left > 0 || atEnd != 0));
      pos += n;
    }
  };
  const std::size_t pieces[] = {4096, 65536, 1048576};
  std::vector<double> copy;
  std::vector<double> streamed[3];
  for (int i = 0; i < runs; ++i) {
    copy.push_back(seconds([&] { std::memcpy(out.data(), in.data(), in.size()); }));
    for (int p = 0; p < 3; ++p) {
      streamed[p].push_back(seconds([&] { stream(pieces[p]); }));
    }
  }
  std::printf("%-24s %7.0f MiB  memcpy %6.1f ms", what,
              static_cast<double>(in.size()) / (1024.0 * 1024.0), median(copy) * 1e3);
  for (int p = 0; p < 3; ++p) {
    std::printf("  %zu KiB pieces %.2f of memcpy", pieces[p] / 1024,
                median(copy) / std::max(median(streamed[p]), 1e-9));
  }
  std::printf("\n");
}

// Times whole processes on the small model: convert3do against cp, in
// batches, interleaved. Two floors show what starting a process costs:
// /bin/true (dynamically linked, like cp) and convert3do --version, the same
// binary doing nothing but start and print a line.
void compareWithCp(const std::string& tool, const std::string& input, const std::string& dir,
                   int runs) {
  const std::string output = dir + "/small-out.3do";
  constexpr int kBatch = 100;
  std::vector<double> convert;
  std::vector<double> cp;
  std::vector<double> nothing;
  std::vector<double> version;
  for (int round = 0; round < runs; ++round) {
    double sums[4] = {0, 0, 0, 0};
    for (int i = 0; i < kBatch; ++i) {
      (void)std::remove(output.c_str());
      sums[0] += runProcess({tool, input, output}).cpu;
      (void)std::remove(output.c_str());
      sums[1] += runProcess({"/bin/cp", input, output}).cpu;
      sums[2] += runProcess({"/bin/true"}).cpu;
      sums[3] += runProcess({tool, "--version"}).cpu;
    }
    convert.push_back(sums[0] / kBatch);
    cp.push_back(sums[1] / kBatch);
    nothing.push_back(sums[2] / kBatch);
    version.push_back(sums[3] / kBatch);
  }
  std::printf("%-24s %11s  convert3do %8.3f ms  cp  %8.3f ms  ratio %.2f\n", "2 KiB model, process",
              "", median(convert) * 1e3, median(cp) * 1e3, median(convert) / median(cp));
  std::printf(
      "%-24s %11s  /bin/true %.3f ms (%.2f of cp), convert3do --version %.3f ms (%.2f of cp)\n",
      "  starting a process", "", median(nothing) * 1e3, median(nothing) / median(cp),
      median(version) * 1e3, median(version) / median(cp));
}

// Copies the small model into a folder of count models, kept for later runs.
std::string makeBatch(const std::string& dir, const std::string& model, std::int64_t count) {
  std::string folder = dir + "/batch-" + std::to_string(count);
  if (fileSize(folder + "/m" + std::to_string(count - 1) + ".3do") > 0) {
    return folder;
  }
  check(mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST, folder);
  std::FILE* in = std::fopen(model.c_str(), "rb");
  check(in != nullptr, model);
  std::vector<unsigned char> bytes(static_cast<std::size_t>(fileSize(model)));
  check(std::fread(bytes.data(), 1, bytes.size(), in) == bytes.size() && std::fclose(in) == 0,
        model);
  for (std::int64_t i = 0; i < count; ++i) {
    const std::string name = folder + "/m" + std::to_string(i) + ".3do";
    std::FILE* out = std::fopen(name.c_str(), "wb");
    check(out != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size() &&
              std::fclose(out) == 0,
          name);
  }
  return folder;
}

// Wall time of one run of a command, after removing its output folder.
double timeInto(const std::string& output, const std::vector<std::string>& argv) {
  runProcess({"/bin/rm", "-rf", output});
  const double wall = runProcess(argv).wall;
  runProcess({"/bin/rm", "-rf", output});
  return wall;
}

// A program built beside the benchmark.
std::string besideMe(const char* name) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  check(length > 0, "/proc/self/exe");
  std::string path(self, static_cast<std::size_t>(length));
  return path.substr(0, path.rfind('/') + 1) + name;
}

// The folder for runs over many small files: one in RAM where there is one
// (/dev/shm), so that the programs are timed rather than the disk's file
// creation, which on some disks costs more than either; else disk.
std::string ramFolder(const std::string& disk) {
  struct stat info {};
  std::string dir =
      stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) && access("/dev/shm", W_OK) == 0
          ? "/dev/shm/convert3do-bench"
          : disk;
  check(mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST, dir);
  return dir;
}

// A folder of small models: one 3do convert -d against a shell loop that
// starts convert3do once per file, in the RAM folder.
void compareBatch(const std::string& tool, const std::string& threeDo, const std::string& baseline,
                  const std::string& disk, std::int64_t count) {
  const std::string dir = ramFolder(disk);
  const std::string folder =
      makeBatch(dir, makeFile(dir + "/small-2048.3do", 2048, {1, 200, 33, false}, 5), count);
  runProcess({"/bin/cat", folder + "/m0.3do"});
  const std::string out = dir + "/batch-out";
  const double loop = timeInto(
      out, {"/bin/sh", "-c",
            "mkdir \"$3\" && for f in \"$1\"/*.3do; do \"$2\" \"$f\" \"$3/${f##*/}\" || exit; done",
            "sh", folder, tool, out});
  const double batch = timeInto(out, {threeDo, "convert", "-q", "-r", "-d", out, folder});
  const auto perSecond = [&](double seconds) { return static_cast<double>(count) / seconds; };
  std::printf(
      "%-24s %lld files  3do convert -d %.0f files/s  shell loop %.0f files/s  "
      "speed-up %.1f",
      "batch of 2 KiB models", static_cast<long long>(count), perSecond(batch), perSecond(loop),
      loop / batch);
  if (!baseline.empty()) {
    const double base = timeInto(out, {baseline, "convert", "-q", "-r", "-d", out, folder});
    std::printf("  baseline %.0f files/s", perSecond(base));
  }
  std::printf("\n");
}

// A tree of small models in 50 folders against two floors: `cp -r`, and the
// safe floor (convert3do_safe_floor, built beside the benchmark: only the
// system calls a batch that never leaves a partial output needs, one
// thread, no conversion). The CPU of -j 1 and the wall time of -j 2 against
// each, and a run over a tree converted already against reading both trees
// with cat. One build's runs over the tree, a round at a time.
struct TreeRuns {
  std::vector<double> oneCpu;
  std::vector<double> twoWall;
  std::vector<double> rerun;

  void round(const std::string& threeDo, const std::string& tree, const std::string& out) {
    runProcess({"/bin/rm", "-rf", out});
    oneCpu.push_back(runProcess({threeDo, "convert", "-q", "-r", "-j", "1", "-d", out, tree}).cpu);
    runProcess({"/bin/rm", "-rf", out});
    twoWall.push_back(
        runProcess({threeDo, "convert", "-q", "-r", "-j", "2", "-d", out, tree}).wall);
    rerun.push_back(runProcess({threeDo, "convert", "-q", "-r", "-j", "1", "-d", out, tree}).wall);
  }
};

// The floors' runs over the tree, a round at a time.
struct FloorRuns {
  std::vector<double> cpCpu;
  std::vector<double> cpWall;
  std::vector<double> safeCpu;
  std::vector<double> safeWall;
  std::vector<double> cat;

  void round(const std::string& safeFloor, const std::string& tree, const std::string& out) {
    runProcess({"/bin/rm", "-rf", out});
    const Usage copy = runProcess({"/bin/cp", "-r", tree, out});
    cpCpu.push_back(copy.cpu);
    cpWall.push_back(copy.wall);
    runProcess({"/bin/rm", "-rf", out});
    const Usage safe = runProcess({safeFloor, tree, out});
    safeCpu.push_back(safe.cpu);
    safeWall.push_back(safe.wall);
    cat.push_back(
        runProcess({"/bin/sh", "-c", "find \"$1\" \"$2\" -type f -exec cat {} + >/dev/null", "sh",
                    tree, out})
            .wall);
  }
};

// The spread of the per-round ratios a[i] / b[i].
std::string spread(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    ratios.push_back(a[i] / b[i]);
  }
  const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
  char text[32];
  (void)std::snprintf(text, sizeof text, "%.2f-%.2f", *low, *high);
  return text;
}

// The tree of count 2 KiB models in 50 folders, kept for later runs.
std::string makeTree(const std::string& dir, std::int64_t count) {
  const std::string model = makeFile(dir + "/small-2048.3do", 2048, {1, 200, 33, false}, 5);
  std::string tree = dir + "/tree-" + std::to_string(count);
  check(mkdir(tree.c_str(), 0700) == 0 || errno == EEXIST, tree);
  const std::string folder = makeBatch(dir, model, std::max<std::int64_t>(1, count / 50));
  for (int f = 0; f < 50; ++f) {
    const std::string into = tree + "/f" + std::to_string(f);
    if (fileSize(into + "/m0.3do") <= 0) {
      runProcess({"/bin/cp", "-r", folder, into});
    }
  }
  return tree;
}

void compareWithCopy(const std::string& threeDo, const std::string& baseline,
                     const std::string& disk, std::int64_t count, int runs) {
  const std::string dir = ramFolder(disk);
  const std::string tree = makeTree(dir, count);
  const std::string safeFloor = besideMe("convert3do_safe_floor");
  const std::string out = dir + "/tree-out";
  FloorRuns floors;
  TreeRuns runsOf;
  TreeRuns base;
  for (int i = 0; i < runs; ++i) {
    floors.round(safeFloor, tree, out);
    runsOf.round(threeDo, tree, out);
    if (!baseline.empty()) {
      base.round(baseline, tree, out);
    }
  }
  runProcess({"/bin/rm", "-rf", out});
  const FloorRuns& f = floors;
  std::printf("%-24s %lld files  cp -r %.1f ms (CPU %.1f ms)  safe floor %.1f ms (CPU %.1f ms)\n",
              "tree of 2 KiB models",
              static_cast<long long>(std::max<std::int64_t>(1, count / 50)) * 50,
              median(f.cpWall) * 1e3, median(f.cpCpu) * 1e3, median(f.safeWall) * 1e3,
              median(f.safeCpu) * 1e3);
  const auto print = [&](const char* what, const TreeRuns& r) {
    std::printf(
        "%-24s -j 1 CPU %.2f (%s) of the safe floor, %.2f of cp -r;  -j 2 wall %.2f (%s) of cp -r, "
        "%.2f of the safe floor;  re-run %.2f of cat\n",
        what, median(r.oneCpu) / median(f.safeCpu), spread(r.oneCpu, f.safeCpu).c_str(),
        median(r.oneCpu) / median(f.cpCpu), median(r.twoWall) / median(f.cpWall),
        spread(r.twoWall, f.cpWall).c_str(), median(r.twoWall) / median(f.safeWall),
        median(r.rerun) / median(f.cat));
  };
  print("  3do convert", runsOf);
  if (!baseline.empty()) {
    print("  the same, baseline", base);
  }
}

// The names for the memory row: count hard links of the model in one
// folder, and a NUL-separated list of them; kept for later runs.
std::string makeNames(const std::string& dir, const std::string& model, std::int64_t count) {
  const std::string folder = dir + "/names-" + std::to_string(count);
  std::string list = folder + ".list";
  if (fileSize(list) > 0) {
    return list;
  }
  check(mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST, folder);
  std::string names;
  for (std::int64_t i = 0; i < count; ++i) {
    const std::string name = folder + "/model-" + std::to_string(i) + ".3do";
    check(link(model.c_str(), name.c_str()) == 0 || errno == EEXIST, name);
    names += name;
    names += '\0';
  }
  std::FILE* out = std::fopen(list.c_str(), "wb");
  check(out != nullptr && std::fwrite(names.data(), 1, names.size(), out) == names.size() &&
            std::fclose(out) == 0,
        list);
  return list;
}

// The tree for the memory row: levels nested folders with 200-byte names, a
// copy of the model in each; kept for later runs.
std::string makeDeepTree(const std::string& dir, const std::string& model, int levels) {
  std::string tree = dir + "/deep-" + std::to_string(levels);
  const std::string done = tree + ".done";
  if (fileSize(done) >= 0) {
    return tree;
  }
  runProcess({"/bin/rm", "-rf", tree});
  check(mkdir(tree.c_str(), 0700) == 0, tree);
  std::FILE* in = std::fopen(model.c_str(), "rb");
  check(in != nullptr, model);
  std::vector<unsigned char> bytes(static_cast<std::size_t>(fileSize(model)));
  check(std::fread(bytes.data(), 1, bytes.size(), in) == bytes.size() && std::fclose(in) == 0,
        model);
  const std::string name(200, 'n');
  int at = open(tree.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 0; level < levels; ++level) {
    check(at >= 0 && mkdirat(at, name.c_str(), 0700) == 0, tree);
    const int below = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY);
    check(below >= 0 && close(at) == 0, tree);
    at = below;
    const int file = openat(at, "m.3do", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    check(file >= 0 &&
              write(file, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
              close(file) == 0,
          tree);
  }
  check(close(at) == 0, tree);
  std::FILE* mark = std::fopen(done.c_str(), "wb");
  check(mark != nullptr && std::fclose(mark) == 0, done);
  return tree;
}

// The peak memory of planning many names and a deep tree, in dry runs.
void compareMemory(const std::string& threeDo, const std::string& baseline, const std::string& disk,
                   std::int64_t names, int levels) {
  const std::string dir = ramFolder(disk);
  const std::string model = makeFile(dir + "/small-2048.3do", 2048, {1, 200, 33, false}, 5);
  const std::string list = makeNames(dir, model, names);
  const std::string tree = makeDeepTree(dir, model, levels);
  const std::string out = dir + "/names-out";
  const auto measure = [&](const std::string& program, const char* what) {
    const long listed =
        runProcess({program, "convert", "-q", "-n", "-d", out, "--files0-from", list}).maxRssKiB;
    const long deep = runProcess({program, "convert", "-q", "-n", "-r", "-i", tree}).maxRssKiB;
    std::printf(
        "%-24s %lld names %ld KiB (%.0f bytes a name) | %d levels of 200-byte names %ld KiB\n",
        what, static_cast<long long>(names), listed,
        static_cast<double>(listed) * 1024 / static_cast<double>(names), levels, deep);
  };
  measure(threeDo, "peak RSS, 3do convert -n");
  if (!baseline.empty()) {
    measure(baseline, "  the same, baseline");
  }
}

// A batch of large models, converted with one worker and with two.
void compareWorkers(const std::string& threeDo, const std::string& dir, int runs) {
  const std::string folder = dir + "/large-batch";
  check(mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST, folder);
  const std::int64_t mib = std::int64_t{1024} * 1024;
  for (int i = 0; i < 8; ++i) {
    const std::string name = folder + "/large" + std::to_string(i) + ".3do";
    runProcess({"/bin/cat", makeFile(name, 32 * mib, {1, 65536, 33, false}, 20 + i)});
  }
  const std::string out = dir + "/large-out";
  std::vector<double> one;
  std::vector<double> two;
  for (int i = 0; i < runs; ++i) {
    one.push_back(timeInto(out, {threeDo, "convert", "-q", "-r", "-j", "1", "-d", out, folder}));
    two.push_back(timeInto(out, {threeDo, "convert", "-q", "-r", "-j", "2", "-d", out, folder}));
  }
  std::printf("%-24s %11s  -j 1 %8.1f ms  -j 2 %8.1f ms  speed-up %.2f\n", "8 models of 32 MiB", "",
              median(one) * 1e3, median(two) * 1e3, median(one) / median(two));
}

struct Options {
  std::int64_t mixMiB = 256;
  std::int64_t plainMiB = 256;
  std::int64_t xyzsMiB = 256;
  std::int64_t tinyMiB = 64;
  std::int64_t bigMiB = 1024;
  std::int64_t batchFiles = 10000;
  int runs = 11;
  std::string tool;
  std::string info;
  std::string baseline;
  std::string baseline3do;
  std::int64_t names = 1000000;
  std::int64_t levels = 3000;
  std::string only;  // the parts to run, as a comma-separated list; all when empty

  bool wants(const char* part) const {
    return only.empty() ||
           ("," + only + ",").find(std::string(",") + part + ",") != std::string::npos;
  }
};

const char* const kUsage =
    "usage: convert3do_bench --tool PATH/convert3do [--baseline OLD/convert3do]\n"
    "         [--3do PATH/3do [--baseline-3do OLD/3do]] [--runs N]\n"
    "         [--only PART,...]  parts: cat tiny calls small info batch tree workers memory\n"
    "         [--mix-mib N] [--plain-mib N] [--xyzs-mib N] [--tiny-mib N] [--big-mib N]\n"
    "         [--batch-files N] [--names N] [--levels N]\n";

bool readOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; i += 2) {
    const std::string flag = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    char* end = nullptr;
    const long long number = std::strtoll(value, &end, 10);
    const bool positive = *value != '\0' && *end == '\0' && number > 0 && number < 1000000;
    std::string* text = flag == "--tool"           ? &o.tool
                        : flag == "--baseline"     ? &o.baseline
                        : flag == "--baseline-3do" ? &o.baseline3do
                        : flag == "--3do"          ? &o.info
                        : flag == "--only"         ? &o.only
                                                   : nullptr;
    std::int64_t* count = flag == "--levels"        ? &o.levels
                          : flag == "--batch-files" ? &o.batchFiles
                          : flag == "--mix-mib"     ? &o.mixMiB
                          : flag == "--plain-mib"   ? &o.plainMiB
                          : flag == "--xyzs-mib"    ? &o.xyzsMiB
                          : flag == "--tiny-mib"    ? &o.tinyMiB
                          : flag == "--big-mib"     ? &o.bigMiB
                                                    : nullptr;
    if (text != nullptr && *value != '\0') {
      *text = value;
    } else if (count != nullptr && positive) {
      *count = number;
    } else if (flag == "--names" && *end == '\0' && number > 0) {
      o.names = number;
    } else if (flag == "--runs" && positive) {
      o.runs = static_cast<int>(number);
    } else {
      (void)std::fprintf(stderr, "convert3do_bench: %s: bad flag or value\n%s", flag.c_str(),
                         kUsage);
      return false;
    }
  }
  if (o.tool.empty()) {
    (void)std::fputs(kUsage, stderr);
    return false;
  }
  return true;
}

std::string inputName(const std::string& dir, const char* what, std::int64_t size) {
  return dir + "/" + what + "-" + std::to_string(size) + ".3do";
}

constexpr std::int64_t kMiB = std::int64_t{1024} * 1024;

// The large inputs against cat, and the library's calls in memory.
void runLarge(const Options& o, const std::string& dir) {
  const auto name = [&](const char* what, std::int64_t size) { return inputName(dir, what, size); };
  const std::string mix =
      makeFile(name("mix", o.mixMiB), o.mixMiB * kMiB, {1, 65536, 33, false}, 1);
  const std::string xyzs =
      makeFile(name("xyzs", o.xyzsMiB), o.xyzsMiB * kMiB, {1024, 65536, 100, false}, 3);
  const std::string plain =
      makeFile(name("plain", o.plainMiB), o.plainMiB * kMiB, {1048576, 1048576, 0, false}, 2);
  const std::string tiny =
      makeFile(name("tiny", o.tinyMiB), o.tinyMiB * kMiB, {0, 16, 33, false}, 4);
  if (o.wants("cat")) {
    compareWithCat("realistic mix", o.tool, o.baseline, mix, dir, o.runs);
    compareWithCat("1 MiB plain payloads", o.tool, o.baseline, plain, dir, o.runs);
    compareWithCat("XYZS payloads 1-64 KiB", o.tool, o.baseline, xyzs, dir, o.runs);
  }
  if (o.wants("cat") || o.wants("tiny")) {
    compareWithCat("tiny chunks (0-16 B)", o.tool, o.baseline, tiny, dir, o.runs);
  }
  if (o.wants("calls")) {
    compareOneShot(mix, o.runs);
    std::printf("streaming calls in memory, speed as a share of memcpy's (1.00 = as fast)\n");
    compareStreaming("  realistic mix", mix, o.runs);
    compareStreaming("  XYZS payloads", xyzs, o.runs);
    compareStreaming("  1 MiB plain payloads", plain, o.runs);
  }
}

// convert3do on one small model, and its peak memory.
void runSmall(const Options& o, const std::string& dir) {
  const std::string small = makeFile(inputName(dir, "small", 2048), 2048, {1, 200, 33, false}, 5);
  warm(small);
  compareWithCp(o.tool, small, dir, std::max(3, o.runs / 2));
  const std::string out = dir + "/rss-out.3do";
  const std::string oneMiB = makeFile(inputName(dir, "one", 1), kMiB, {1, 65536, 33, false}, 6);
  const long oneRss = runProcess({o.tool, oneMiB, out}).maxRssKiB;
  const std::string big =
      makeFile(inputName(dir, "big", o.bigMiB), o.bigMiB * kMiB, {1, 65536, 33, false}, 7);
  const long bigRss = runProcess({o.tool, big, out}).maxRssKiB;
  std::printf("%-24s 1 MiB input %ld KiB | %lld MiB input %ld KiB\n", "peak RSS, convert3do",
              oneRss, static_cast<long long>(o.bigMiB), bigRss);
  (void)std::remove(out.c_str());
}

// 3do info on a sparse 2 GiB model.
void runInfo(const Options& o, const std::string& dir) {
  const std::string sparse =
      makeFile(inputName(dir, "sparse", 2048), 2047 * kMiB, {1048576, 1048576, 0, true}, 8);
  runProcess({o.info, "info", sparse});  // warm
  std::vector<double> wall;
  std::vector<double> cpu;
  for (int i = 0; i < o.runs; ++i) {
    const Usage usage = runProcess({o.info, "info", sparse});
    wall.push_back(usage.wall);
    cpu.push_back(usage.cpu);
  }
  std::printf("%-24s %7.0f MiB  wall %.1f ms, CPU %.1f ms\n", "3do info, 1 MiB chunks",
              static_cast<double>(fileSize(sparse)) / static_cast<double>(kMiB), median(wall) * 1e3,
              median(cpu) * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!readOptions(argc, argv, o)) {
    return 2;
  }
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = std::string(tmp != nullptr ? tmp : "/tmp") + "/convert3do-bench";
  check(mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST, dir);
  std::printf("CPU time (user+sys) of whole processes, medians of %d interleaved rounds\n", o.runs);
  if (o.wants("cat") || o.wants("tiny") || o.wants("calls")) {
    runLarge(o, dir);
  }
  if (o.wants("small")) {
    runSmall(o, dir);
  }
  if (!o.info.empty()) {
    if (o.wants("info")) {
      runInfo(o, dir);
    }
    if (o.wants("batch")) {
      compareBatch(o.tool, o.info, o.baseline3do, dir, o.batchFiles);
    }
    if (o.wants("tree")) {
      compareWithCopy(o.info, o.baseline3do, dir, o.batchFiles, std::max(3, o.runs / 3));
    }
    if (o.wants("workers")) {
      compareWorkers(o.info, dir, std::max(3, o.runs / 3));
    }
    if (o.wants("memory")) {
      compareMemory(o.info, o.baseline3do, dir, o.names, static_cast<int>(o.levels));
    }
  }
  (void)std::remove((ramFolder(dir) + "/out.3do").c_str());
  (void)std::remove((dir + "/small-out.3do").c_str());
  return 0;
}
