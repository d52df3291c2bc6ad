// The benchmarks' random numbers: xorshift64, the same sequence on every
// machine for a seed, so that runs compare the same inputs.
#ifndef CONVERT3DO_BENCH_BENCH_RANDOM_H
#define CONVERT3DO_BENCH_BENCH_RANDOM_H

#include <cstdint>

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

#endif  // CONVERT3DO_BENCH_BENCH_RANDOM_H
