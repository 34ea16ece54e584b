// The command-line parser on arbitrary argument vectors: the input's
// NUL-separated pieces follow a fixed program name. Whatever the arguments,
// the parser must not crash and must agree with a model of the documented
// rules: either it yields the options, or it asks for the usage.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "update/update_options.h"

namespace {

constexpr std::size_t MAX_ARGUMENTS = 64;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "command_line_fuzz: %s\n", what);
    std::abort();
}

// strtoul(text, &end, 0) as the 32-bit target's glibc does it, built on the
// host's 64-bit strtoull: a magnitude above 2^32 - 1 saturates whatever the
// sign, otherwise a minus sign negates modulo 2^32.
count_conversion model_count(const char* text)
{
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p)))
        return {0, text};  // strtoul consumes nothing without a digit
    errno = 0;
    char* end = nullptr;
    const unsigned long long magnitude = std::strtoull(p, &end, 0);
    if (errno == ERANGE || magnitude > UINT32_MAX)
        return {UINT32_MAX, end};
    const auto value = static_cast<uint32_t>(magnitude);
    return {negative ? 0u - value : value, end};
}

struct parse_model {
    bool accepted = false;
    int filename = -1;  // index into argv
    uint32_t count = 0;
    int silent = 0;
};

// The parsing rules, followed literally: only an option's second character
// counts, -e takes the next argument whatever it is, the first other
// argument is FILENAME and a second one is an error.
parse_model model_parse(int argc, char** argv)
{
    parse_model m;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            if (m.filename >= 0)
                return m;
            m.filename = i;
        } else if (arg[1] == 's') {
            m.silent = 1;
        } else if (arg[1] == 'e' && i + 1 < argc) {
            const count_conversion count = model_count(argv[++i]);
            m.count = *count.end == '\0' ? count.value : 0;
            if (*count.end != '\0')
                return m;
        } else {
            return m;
        }
    }
    m.accepted = m.filename >= 0;
    return m;
}

void check_conversion(const char* text)
{
    const count_conversion got = convert_count(text);
    const count_conversion want = model_count(text);
    if (got.value != want.value || got.end != want.end)
        fail("convert_count disagrees with 32-bit strtoul");
    if constexpr (sizeof(unsigned long) == 4) {
        char* end = nullptr;
        const unsigned long value = std::strtoul(text, &end, 0);
        if (value != want.value || end != want.end)
            fail("the strtoul model disagrees with this target's strtoul");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    // Each argument in an allocation of its exact size, so that reading
    // past its terminating NUL is caught.
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<char*> argv;
    static char program[] = "firmware-update";
    argv.push_back(program);
    // An empty input is a call without arguments.
    for (std::size_t start = 0; size > 0 && start <= size && argv.size() <= MAX_ARGUMENTS;) {
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

    for (int i = 1; i < argc; ++i)
        check_conversion(argv[i]);

    update_options = {};
    const bool accepted = parse_command_line(argc, argv.data());
    const parse_model want = model_parse(argc, argv.data());
    if (accepted != want.accepted)
        fail("accepted an argument vector that asks for the usage, or the reverse");
    if (update_options.archive_path != (want.filename >= 0 ? argv[want.filename] : nullptr))
        fail("archive_path is not the FILENAME element of argv");
    if (update_options.fail_after_files != want.count || update_options.silent != want.silent)
        fail("wrong -e count or -s flag");
    return 0;
}
