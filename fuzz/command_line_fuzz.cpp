// The command-line parser on arbitrary argument vectors: the input's
// NUL-separated pieces follow a fixed program name, each in an allocation of
// its exact size, so that reading past its NUL is caught. An accepted vector
// names one of its own elements as FILENAME.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "check.h"
#include "state/update_options.h"
#include "update/stages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::unique_ptr<char[]>> storage;
    static char program[] = "firmware-update";
    std::vector<char*> argv = {program};
    for (std::size_t start = 0; size > 0 && start <= size && argv.size() <= 64;) {  // empty: no arguments
        const std::size_t length = std::min(input.find('\0', start), size) - start;
        argv.push_back(storage.emplace_back(std::make_unique<char[]>(length + 1)).get());
        input.copy(argv.back(), length, start);
        start += length + 1;
    }
    update_options = {};
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    const auto arguments = std::span(argv).subspan(1, argc - 1);
    check(!parse_command_line(argc, argv.data()) || std::ranges::find(arguments, update_options.archive_path) != arguments.end(),
          "FILENAME is not an element of argv");
    return 0;
}
