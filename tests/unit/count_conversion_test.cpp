// The -e count is read as the 32-bit target's strtoul(text, &end, 0) reads
// it, on every build. Expectations are that strtoul's results.
#include <gtest/gtest.h>

#include <string>

#include "update/count_conversion.h"

namespace {

struct Count {
    const char* name;
    const char* text;
    uint32_t value;
    std::size_t consumed;
};

class CountConversion : public testing::TestWithParam<Count> {};

TEST_P(CountConversion, ReadsAsStrtoul)
{
    const count_conversion got = convert_count(GetParam().text);
    EXPECT_EQ(got.value, GetParam().value);
    EXPECT_EQ(static_cast<std::size_t>(got.end - GetParam().text), GetParam().consumed);
}

INSTANTIATE_TEST_SUITE_P(Rows, CountConversion, testing::Values(
    Count{"empty", "", 0, 0},
    Count{"decimal", "12", 12, 2},
    Count{"hexadecimal", "0X1f", 31, 4},
    Count{"octal", "0777", 511, 4},
    Count{"octal_stops_at_8", "08", 0, 1},
    Count{"bare_0x_is_a_zero", "0x", 0, 1},
    Count{"minus_one", "-1", 4294967295u, 2},
    Count{"negative_hexadecimal", "-0x10", 4294967280u, 5},
    Count{"largest", "4294967295", 4294967295u, 10},
    Count{"saturates", "4294967296", 4294967295u, 10},
    Count{"negated_largest", "-4294967295", 1, 11},
    Count{"negative_saturates", "-4294967296", 4294967295u, 11},
    Count{"leading_space_and_plus", " \t+5", 5, 4},
    Count{"trailing_garbage", "12abc", 12, 2},
    Count{"no_digits", "abc", 0, 0},
    Count{"sign_then_space", "- 5", 0, 0},
    Count{"an_option", "-s", 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
