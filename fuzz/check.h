// A failed check ends the run as a crash, so that libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void check(bool ok, const char* what)
{
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
}
