// Small helpers shared by the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant is a finding: say which, then abort so that libFuzzer
// (or the replay program) keeps the input.
#define FUZZ_CHECK(condition)                                                        \
  do {                                                                               \
    if (!(condition)) {                                                              \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)
