#pragma once
// The oracle of the fuzz targets: a broken expectation stops the run like a crash, so
// libFuzzer keeps the input that broke it. Not assert(): it stays on in every build type.
#include <cstdio>
#include <cstdlib>

namespace serwer {

#define FUZZ_CHECK(condition)                                                                        \
    do {                                                                                             \
        if (!(condition)) {                                                                          \
            std::fprintf(stderr, "%s:%d: expectation failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                            \
        }                                                                                            \
    } while (false)

}  // namespace serwer
