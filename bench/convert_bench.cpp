// Benchmark of convert3do against a plain block copy.
//
// Generates its inputs at run time in a temporary folder (a realistic mix of
// chunks, a file of tiny chunks and a 2 KiB model), then measures on the same
// files, interleaved, the conversion pass and a 128 KiB stdio block copy, and
// reports MB/s, CPU time and their ratio. With --tool it also times whole
// convert3do processes against cp on the small model and reads the peak
// resident memory of convert3do on a 1 MiB and a large input.
//
// usage: convert3do_bench [--mix-mib N] [--tiny-mib N] [--big-mib N] [--runs N]
//                         [--tool PATH]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "format/chunk.h"
#include "format/word32.h"

namespace {

using convert3do::ChunkTag;
using convert3do::Word32;

struct Random {
  std::uint64_t state;
  std::uint32_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<std::uint32_t>(state >> 16);
  }
  std::uint32_t below(std::uint32_t n) { return next() % n; }
};

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

// Writes a 3do file of about targetBytes whose payload lengths come from
// minPayload..maxPayload; xyzsPercent of the chunks are XYZS chunks.
std::string makeFile(const std::string& path, std::int64_t targetBytes, std::uint32_t minPayload,
                     std::uint32_t maxPayload, std::uint32_t xyzsPercent, std::uint64_t seed) {
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
    const bool xyzs = random.below(100) < xyzsPercent;
    const ChunkTag tag = xyzs ? ChunkTag::Xyzs : kPlainTags[random.below(5)];
    const auto payloadLength =
        static_cast<Word32>(minPayload + random.below(maxPayload - minPayload + 1));
    putWord(chunk, static_cast<Word32>(tag));
    putWord(chunk, static_cast<Word32>(random.next()));
    putWord(chunk, payloadLength);
    const std::int64_t size = convert3do::chunkSize(tag, payloadLength);
    while (static_cast<std::int64_t>(chunk.size()) < size) {
      putWord(chunk, static_cast<Word32>(random.next()));
    }
    check(std::fwrite(chunk.data(), 1, chunk.size(), file) == chunk.size(), path);
    body += size;
  }
  header.clear();
  putWord(header, static_cast<Word32>(body));
  check(std::fseek(file, 8, SEEK_SET) == 0 && std::fwrite(header.data(), 1, 4, file) == 4, path);
  check(std::fclose(file) == 0, path);
  return path;
}

struct Cost {
  double wall = 0;
  double cpu = 0;
};

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

template <typename Body>
Cost measure(Body body) {
  const double cpu0 = cpuSeconds();
  const auto wall0 = std::chrono::steady_clock::now();
  body();
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wall0;
  return Cost{wall.count(), cpuSeconds() - cpu0};
}

void runConverter(const std::string& input, const std::string& output) {
  const int in = open(input.c_str(), O_RDONLY);
  const int out = open(output.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  check(in >= 0 && out >= 0, input);
  const convert3do::ConversionResult result = convert3do::convertFile(in, out);
  check(close(in) == 0 && close(out) == 0 && result.outcome == convert3do::Outcome::Converted,
        "converting " + input);
}

void runBlockCopy(const std::string& input, const std::string& output) {
  static unsigned char block[128 * 1024];
  std::FILE* in = std::fopen(input.c_str(), "rb+");
  std::FILE* out = std::fopen(output.c_str(), "wb+");
  check(in != nullptr && out != nullptr, input);
  std::size_t got = 0;
  while ((got = std::fread(block, 1, sizeof block, in)) > 0) {
    check(std::fwrite(block, 1, got, out) == got, "copying " + input);
  }
  check(std::fclose(in) == 0 && std::fclose(out) == 0, "copying " + input);
}

std::int64_t fileSize(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  check(file != nullptr && std::fseek(file, 0, SEEK_END) == 0, path);
  const long size = std::ftell(file);
  check(size >= 0 && std::fclose(file) == 0, path);
  return size;
}

void compare(const char* name, const std::string& input, const std::string& dir, int runs) {
  const std::string output = dir + "/out.3do";
  const double mb = static_cast<double>(fileSize(input)) / 1e6;
  runBlockCopy(input, output);  // warm the page cache
  Cost best[2] = {{1e9, 1e9}, {1e9, 1e9}};
  for (int i = 0; i < runs; ++i) {
    const Cost costs[2] = {measure([&] { runConverter(input, output); }),
                           measure([&] { runBlockCopy(input, output); })};
    for (int k = 0; k < 2; ++k) {
      best[k].wall = std::min(best[k].wall, costs[k].wall);
      best[k].cpu = std::min(best[k].cpu, costs[k].cpu);
    }
  }
  std::printf(
      "%-14s %9.1f MB  convert %7.1f MB/s cpu %9.3f ms | copy %7.1f MB/s cpu %9.3f ms | "
      "cpu ratio %.2f\n",
      name, mb, mb / best[0].wall, best[0].cpu * 1e3, mb / best[1].wall, best[1].cpu * 1e3,
      best[0].cpu / best[1].cpu);
}

// Runs argv as a child process; returns its peak resident memory in KiB.
long runProcess(const char* const* argv) {
  const pid_t child = fork();
  if (child == 0) {
    const int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0 && dup2(devnull, 1) >= 0) {
      execv(argv[0], const_cast<char* const*>(argv));
    }
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  check(child > 0 && wait4(child, &status, 0, &usage) == child && WIFEXITED(status) &&
            WEXITSTATUS(status) == 0,
        std::string("running ") + argv[0]);
  return usage.ru_maxrss;
}

void compareProcesses(const std::string& tool, const std::string& input, const std::string& dir,
                      int runs) {
  const std::string output = dir + "/small-out.3do";
  const char* convertArgv[] = {tool.c_str(), input.c_str(), output.c_str(), nullptr};
  const char* cpArgv[] = {"/bin/cp", input.c_str(), output.c_str(), nullptr};
  double best[2] = {1e9, 1e9};
  for (int round = 0; round < 5; ++round) {
    for (int k = 0; k < 2; ++k) {
      const Cost cost = measure([&] {
        for (int i = 0; i < runs; ++i) {
          runProcess(k == 0 ? convertArgv : cpArgv);
        }
      });
      best[k] = std::min(best[k], cost.wall);
    }
  }
  std::printf("%-14s %d runs each: convert3do %.1f us/run | cp %.1f us/run | ratio %.2f\n",
              "2 KiB process", runs, best[0] / runs * 1e6, best[1] / runs * 1e6, best[0] / best[1]);
}

}  // namespace

int main(int argc, char** argv) {
  std::int64_t mixMiB = 256;
  std::int64_t tinyMiB = 64;
  std::int64_t bigMiB = 1024;
  int runs = 3;
  std::string tool;
  for (int i = 1; i < argc; i += 2) {
    const std::string flag = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    char* end = nullptr;
    const long long number = std::strtoll(value, &end, 10);
    const bool positive = *value != '\0' && *end == '\0' && number > 0 && number < 1000000;
    if (flag == "--tool" && *value != '\0') {
      tool = value;
    } else if (flag == "--mix-mib" && positive) {
      mixMiB = number;
    } else if (flag == "--tiny-mib" && positive) {
      tinyMiB = number;
    } else if (flag == "--big-mib" && positive) {
      bigMiB = number;
    } else if (flag == "--runs" && positive) {
      runs = static_cast<int>(number);
    } else {
      (void)std::fprintf(stderr, "convert3do_bench: %s: bad flag or value\n", flag.c_str());
      return 2;
    }
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr ? tmp : "/tmp") + "/convert3do-bench-XXXXXX";
  if (mkdtemp(&dir[0]) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::int64_t mib = std::int64_t{1024} * 1024;
  const std::string mix = makeFile(dir + "/mix.3do", mixMiB * mib, 1, 65536, 33, 1);
  const std::string tiny = makeFile(dir + "/tiny.3do", tinyMiB * mib, 0, 16, 33, 2);
  const std::string small = makeFile(dir + "/small.3do", 2048, 1, 200, 33, 3);
  compare("realistic mix", mix, dir, runs);
  compare("tiny chunks", tiny, dir, runs);
  compare("2 KiB model", small, dir, runs * 100);
  if (!tool.empty()) {
    compareProcesses(tool, small, dir, 200);
    const std::string oneMiB = makeFile(dir + "/one.3do", mib, 1, 65536, 33, 4);
    const std::string out = dir + "/rss-out.3do";
    const char* oneArgv[] = {tool.c_str(), oneMiB.c_str(), out.c_str(), nullptr};
    const long oneRss = runProcess(oneArgv);
    for (const std::string& done : {oneMiB, mix, tiny}) {
      check(std::remove(done.c_str()) == 0, done);
    }
    const std::string big = makeFile(dir + "/big.3do", bigMiB * mib, 1, 65536, 33, 5);
    const char* bigArgv[] = {tool.c_str(), big.c_str(), out.c_str(), nullptr};
    const long bigRss = runProcess(bigArgv);
    check(std::remove(big.c_str()) == 0 && std::remove(out.c_str()) == 0, big);
    std::printf(
        "peak RSS       1 MiB input %ld KiB | %lld MiB input %ld KiB | difference %ld KiB\n",
        oneRss, static_cast<long long>(bigMiB), bigRss, bigRss - oneRss);
  }
  for (const char* name : {"/mix.3do", "/tiny.3do", "/small.3do", "/out.3do", "/small-out.3do"}) {
    (void)std::remove((dir + name).c_str());  // some are gone already
  }
  check(rmdir(dir.c_str()) == 0, dir);
  return 0;
}
