// SHA-256 against OpenSSL on every block engine this CPU has, plus the
// text forms and byte-order helpers.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "digest/sha256.h"

namespace {

constexpr char ABC_SPACED[] = "ba7816bf 8f01cfea 414140de 5dae2223 b00361a3 96177a9c b410ff61 f20015ad";
constexpr const char* ENGINE_NAMES[] = {"automatic", "portable", "portable_bmi2", "sha_ni"};

std::string hex(const sha256_digest& d)
{
    char text[65];
    for (int i = 0; i < 8; ++i) std::snprintf(text + 8 * i, 9, "%08x", d.h[i]);
    return text;
}

class Sha256Engine : public testing::TestWithParam<sha256_engine> {
    void SetUp() override
    {
        if (!sha256_use_engine(GetParam())) GTEST_SKIP() << "this CPU lacks the engine";
        ASSERT_EQ(sha256_active_engine(), GetParam());
    }
    void TearDown() override { sha256_use_engine(sha256_engine::automatic); }
};

// Every length up to 200 (each padding case) and a few long ones, from
// unaligned addresses, in one piece and fed block by block.
TEST_P(Sha256Engine, MatchesOpenSsl)
{
    std::vector<unsigned char> data((1 << 20) + 200);
    std::generate(data.begin(), data.end(), std::mt19937(7));
    for (std::size_t length = 0; length < data.size(); length += length < 200 ? 1 : 300000) {
        const unsigned char* const start = data.data() + length % 4;
        unsigned char md[32];
        EVP_Digest(start, length, md, nullptr, EVP_sha256(), nullptr);
        sha256_digest want;
        for (int i = 0; i < 8; ++i) want.h[i] = uint32_t{md[4 * i]} << 24 | md[4 * i + 1] << 16 | md[4 * i + 2] << 8 | md[4 * i + 3];
        ASSERT_EQ(hex(sha256(start, length)), hex(want)) << "length " << length;
        sha256_stream stream;
        sha256_begin(&stream);
        for (std::size_t done = 0; done + 64 <= length; done += 64) sha256_feed_blocks(&stream, start + done, 1);
        ASSERT_EQ(hex(sha256_finish(&stream, start + length / 64 * 64, length % 64)), hex(want)) << "length " << length;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha256Engine,
                         testing::Values(sha256_engine::portable, sha256_engine::portable_bmi2, sha256_engine::sha_ni),
                         [](const auto& info) { return std::string(ENGINE_NAMES[static_cast<int>(info.param)]); });

// Block positions and the encoded bit length must not wrap at 32 bits. The
// 32-bit build can only get there through the incremental form.
TEST(Sha256, BeyondFourGibibytesOfZeros)
{
    constexpr uint64_t length = (uint64_t{1} << 32) + (1 << 20) + 13;
    constexpr char expected[] = "d025141d5a2deddc26d1cac40fcccce16aa328d045ab97a761ff8364bb95b774";
    if constexpr (sizeof(void*) >= 8) {
        void* zeros = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        ASSERT_NE(zeros, MAP_FAILED);
        madvise(zeros, length, MADV_HUGEPAGE);  // fewer faults: the huge zero page
        EXPECT_EQ(hex(sha256(zeros, length)), expected);
        munmap(zeros, length);
    } else {
        const std::vector<unsigned char> zeros(1 << 20);
        sha256_stream stream;
        sha256_begin(&stream);
        for (uint64_t i = 0; i < length >> 20; ++i)
            sha256_feed_blocks(&stream, zeros.data(), zeros.size() / 64);
        EXPECT_EQ(hex(sha256_finish(&stream, zeros.data(), length % (1 << 20))), expected);
    }
}

TEST(Sha256, SpacedFormsAndTheirResults)
{
    char out[80];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(sha256_hexdigest(out, "abc", 3), 71);
    EXPECT_EQ(std::string(out, sizeof out), ABC_SPACED + std::string(1, '\0') + "########");
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(string_sha256_hexdigest(out, "abc"), 71);
    EXPECT_STREQ(out, ABC_SPACED);
    for (const int flag : {0, 1, -7}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(debug_print_digest(sha256_string("abc"), flag), flag ? 10 : 71);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), ABC_SPACED + std::string(flag ? "\n" : ""));
    }
}

// Exported helpers; every digest leaves the converter pointers on the
// little-endian converters.
TEST(Sha256, ByteOrderHelpers)
{
    const std::array<unsigned char, 8> in{1, 2, 3, 4, 5, 6, 7, 8};
    const std::pair<sha256_converter, std::array<unsigned char, 8>> rows[] = {
        {convert_int32_little_endian, {4, 3, 2, 1, 5, 6, 7, 8}},
        {convert_int64_little_endian, {8, 7, 6, 5, 4, 3, 2, 1}},
        {convert_int32_big_endian, in},
        {convert_int64_big_endian, in}};
    for (auto [convert, out] : rows) {
        auto b = in;
        EXPECT_EQ(convert(b.data()), b.data());
        EXPECT_EQ(b, out);
    }
    EXPECT_EQ(rotate_right(0x12345678, 36), 0x81234567u);
    sha256_string("abc");
    EXPECT_EQ(p_convert_int32_to_big_endian, convert_int32_little_endian);
    EXPECT_EQ(p_convert_int64_to_big_endian, convert_int64_little_endian);
}

}  // namespace

void PrintTo(sha256_engine engine, std::ostream* out) { *out << ENGINE_NAMES[static_cast<int>(engine)]; }
