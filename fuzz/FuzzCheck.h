#pragma once
// A property of a fuzz target that must hold: when it does not, the run
// stops and the fuzzer (or the replay driver) reports the input.

#include <cstdio>
#include <cstdlib>

#define NIMBREL_FUZZ_CHECK(condition)                                                   \
  do {                                                                                  \
    if (!(condition)) {                                                                 \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)
