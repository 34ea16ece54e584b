// Prints which SHA-256 engine the digest module picks on this CPU, and the
// digest of "abc" made with it: run on the emulated device to show that a
// CPU of the device's class gets the portable code. Kept out of the tool.
#include <cstdio>

#include "digest/sha256.h"

int main()
{
    constexpr const char* names[] = {"automatic", "portable", "portable_bmi2", "sha_ni"};
    char hex[65] = {};
    string_sha256_hexdigest(hex, "abc");
    std::printf("%s %s\n", names[static_cast<int>(sha256_active_engine())], hex);
    return 0;
}
