// The -e count is read as the 32-bit target's strtoul(text, &end, 0) reads
// it, on every build. Expectations are that strtoul's results.
#include <gtest/gtest.h>

#include <string>

#include "update/count_conversion.h"

namespace {

struct CountRow {
    const char* name;
    const char* text;
    uint32_t value;
    std::size_t consumed;
};

class CountConversion : public testing::TestWithParam<CountRow> {};

TEST_P(CountConversion, ReadsAsStrtoul)
{
    const count_conversion got = convert_count(GetParam().text);
    EXPECT_EQ(got.value, GetParam().value);
    EXPECT_EQ(static_cast<std::size_t>(got.end - GetParam().text), GetParam().consumed);
}

INSTANTIATE_TEST_SUITE_P(Rows, CountConversion, testing::Values(
    CountRow{.name = "empty", .text = "", .value = 0, .consumed = 0},
    CountRow{.name = "decimal", .text = "12", .value = 12, .consumed = 2},
    CountRow{.name = "hexadecimal", .text = "0X1f", .value = 31, .consumed = 4},
    CountRow{.name = "octal", .text = "0777", .value = 511, .consumed = 4},
    CountRow{.name = "octal_stops_at_8", .text = "08", .value = 0, .consumed = 1},
    CountRow{.name = "bare_0x_is_a_zero", .text = "0x", .value = 0, .consumed = 1},
    CountRow{.name = "minus_one", .text = "-1", .value = 4294967295u, .consumed = 2},
    CountRow{.name = "negative_hexadecimal", .text = "-0x10", .value = 4294967280u, .consumed = 5},
    CountRow{.name = "largest", .text = "4294967295", .value = 4294967295u, .consumed = 10},
    CountRow{.name = "saturates", .text = "4294967296", .value = 4294967295u, .consumed = 10},
    CountRow{.name = "negated_largest", .text = "-4294967295", .value = 1, .consumed = 11},
    CountRow{.name = "negative_saturates", .text = "-4294967296", .value = 4294967295u, .consumed = 11},
    CountRow{.name = "leading_space_and_plus", .text = " \t+5", .value = 5, .consumed = 4},
    CountRow{.name = "trailing_garbage", .text = "12abc", .value = 12, .consumed = 2},
    CountRow{.name = "no_digits", .text = "abc", .value = 0, .consumed = 0},
    CountRow{.name = "sign_then_space", .text = "- 5", .value = 0, .consumed = 0},
    CountRow{.name = "an_option", .text = "-s", .value = 0, .consumed = 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
