// What a fuzz target does when a property it checks fails: it says which and aborts, so that the
// fuzzer keeps the input and the corpus run fails.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                   \
  do {                                                                                          \
    if (!(condition)) {                                                                         \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);       \
      std::abort();                                                                             \
    }                                                                                           \
  } while (false)
