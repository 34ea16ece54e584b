// The -e count must be read exactly as the 32-bit target's strtoul with
// base 0 reads it, on every build.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <random>
#include <string>

#include "update/update_options.h"

namespace {

struct count_case {
    const char* text;
    uint32_t value;
    std::size_t consumed;
};

constexpr count_case CASES[] = {
    {"", 0, 0},           {"0", 0, 1},           {"12", 12, 2},
    {"0x10", 16, 4},      {"0X1f", 31, 4},       {"010", 8, 3},
    {"08", 0, 1},         {"0x", 0, 1},          {"0xg", 0, 1},
    {"-1", UINT32_MAX, 2}, {"-0x10", 0xfffffff0u, 5},
    {"4294967295", UINT32_MAX, 10},              {"4294967296", UINT32_MAX, 10},
    {"-4294967296", UINT32_MAX, 11},             {"99999999999999999999", UINT32_MAX, 20},
    {" 5", 5, 2},         {"\t\n+5", 5, 4},      {"+5", 5, 2},
    {"12abc", 12, 2},     {"abc", 0, 0},         {"-", 0, 0},
    {"+", 0, 0},          {" ", 0, 0},           {"- 5", 0, 0},
    {"-s", 0, 0},         {"0777", 511, 4},      {"0x0000000100000000", UINT32_MAX, 18},
};

TEST(CountConversion, Table)
{
    for (const count_case& c : CASES) {
        const count_conversion got = convert_count(c.text);
        EXPECT_EQ(got.value, c.value) << '"' << c.text << '"';
        EXPECT_EQ(static_cast<std::size_t>(got.end - c.text), c.consumed) << '"' << c.text << '"';
    }
}

// On the 32-bit build the C library's own strtoul is the oracle.
TEST(CountConversion, AgreesWithTargetStrtoul)
{
    if (sizeof(unsigned long) != 4) GTEST_SKIP() << "needs the 32-bit build";
    std::mt19937 random(2026);
    constexpr std::string_view alphabet = " \t+-0123456789789abcdefxXgz";
    std::string text;
    for (int i = 0; i < 200000; ++i) {
        text.clear();
        const auto length = random() % 14;
        for (unsigned k = 0; k < length; ++k) text += alphabet[random() % alphabet.size()];
        char* end = nullptr;
        const unsigned long expected = std::strtoul(text.c_str(), &end, 0);
        const count_conversion got = convert_count(text.c_str());
        ASSERT_EQ(got.value, expected) << '"' << text << '"';
        ASSERT_EQ(got.end, end) << '"' << text << '"';
    }
}

}  // namespace
