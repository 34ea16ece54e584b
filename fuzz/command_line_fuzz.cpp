// The command-line parser on arbitrary argument vectors: the input's
// NUL-separated pieces follow a fixed program name. Each argument sits in
// an allocation of its exact size, so that reading past its NUL is caught.
// An accepted vector names one of its own elements as FILENAME; on the
// 32-bit build every count converts exactly as the C library's strtoul.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "update/update_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::vector<std::unique_ptr<char[]>> storage;
    static char program[] = "firmware-update";
    std::vector<char*> argv = {program};
    // An empty input is a call without arguments.
    for (std::size_t start = 0; size > 0 && start <= size && argv.size() <= 64;) {
        const auto* nul = static_cast<const uint8_t*>(std::memchr(data + start, 0, size - start));
        const std::size_t length = nul != nullptr ? static_cast<std::size_t>(nul - data) - start : size - start;
        storage.emplace_back(new char[length + 1]);
        std::memcpy(storage.back().get(), data + start, length);
        storage.back()[length] = '\0';
        argv.push_back(storage.back().get());
        start += length + 1;
    }
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);

    if constexpr (sizeof(unsigned long) == 4) {
        for (int i = 1; i < argc; ++i) {
            char* end = nullptr;
            const unsigned long value = std::strtoul(argv[i], &end, 0);
            const count_conversion got = convert_count(argv[i]);
            if (got.value != value || got.end != end) {
                std::fprintf(stderr, "command_line_fuzz: convert_count disagrees with strtoul\n");
                std::abort();
            }
        }
    }
    update_options = {};
    bool named = false;
    const bool accepted = parse_command_line(argc, argv.data());
    for (int i = 1; i < argc; ++i) named = named || update_options.archive_path == argv[i];
    if (accepted && !named) {
        std::fprintf(stderr, "command_line_fuzz: FILENAME is not an element of argv\n");
        std::abort();
    }
    return 0;
}
