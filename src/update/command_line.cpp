#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "state/update_options.h"
#include "update/count_conversion.h"
#include "update/stages.h"

namespace {

constexpr const char* DEFAULT_PROGRAM_NAME = "firmware-update";

int digit_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

}  // namespace

// The count is read the way the 32-bit target's strtoul(text, &end, 0)
// reads it, so that every build accepts and rejects the same counts.
count_conversion convert_count(const char* text)
{
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;

    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2]) < 16) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }

    const char* const digits = p;
    uint64_t value = 0;
    bool overflow = false;
    for (; digit_value(*p) < base; ++p) {
        value = value * base + digit_value(*p);
        overflow = overflow || value > UINT32_MAX;
        if (overflow) value = UINT32_MAX;
    }
    if (p == digits) return {0, text};  // no digits: nothing is consumed
    if (overflow) return {UINT32_MAX, p};
    const auto magnitude = static_cast<uint32_t>(value);
    return {negative ? static_cast<uint32_t>(0u - magnitude) : magnitude, p};
}

const char* program_name(int argc, char** argv)
{
    // Linux hands an empty argument vector over as one empty string with
    // nothing after it; an empty name before arguments is used as it is.
    const bool empty_vector = argc == 0 || argv[0] == nullptr || (argc == 1 && argv[0][0] == '\0');
    return empty_vector ? DEFAULT_PROGRAM_NAME : argv[0];
}

void print_usage(const char* program)
{
    printf("Usage: %s [OPTIONS] FILENAME\n", program);
    puts("Extract firmware update\n");
    puts(" [-s]\t\tsilent update, keep LEDs off (optional)");
    puts(" [-e <num>]\tsimulate I/O error after writing num files (optional)");
    puts("\nThis tool wipes the entire filesystem before unpacking the archive - use with care!");
    exit(UPDATE_REFUSED);
}

bool parse_command_line(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            if (update_options.archive_path != nullptr) return false;
            update_options.archive_path = arg;
            continue;
        }
        switch (arg[1]) {
        case 's':
            update_options.silent = 1;
            break;
        case 'e': {
            if (i + 1 >= argc) return false;
            const count_conversion count = convert_count(argv[++i]);
            update_options.fail_after_files = count.value;
            if (*count.end != '\0') {
                update_options.fail_after_files = 0;
                puts("Couldn't parse argument for -e option!\n");
                return false;
            }
            break;
        }
        default:
            return false;
        }
    }
    return update_options.archive_path != nullptr;
}
