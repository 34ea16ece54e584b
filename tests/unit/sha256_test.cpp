// SHA-256 against the NIST CAVP vectors and OpenSSL on every block engine this
// CPU has, plus the text forms and byte-order helpers.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "digest/sha256.h"

namespace {

using bytes = std::vector<unsigned char>;
constexpr char ABC_SPACED[] = "ba7816bf 8f01cfea 414140de 5dae2223 b00361a3 96177a9c b410ff61 f20015ad";
constexpr const char* ENGINE_NAMES[] = {"automatic", "portable", "portable_bmi2", "sha_ni"};

std::string hex(const unsigned char* data, std::size_t size)
{
    std::string text;
    for (std::size_t i = 0; i < size; ++i)
        text += "0123456789abcdef"[data[i] >> 4], text += "0123456789abcdef"[data[i] & 15];
    return text;
}

std::string hex(const sha256_digest& d)
{
    char text[65];
    for (int i = 0; i < 8; ++i)
        std::snprintf(text + 8 * i, 9, "%08x", d.h[i]);
    return text;
}

std::string openssl_hex(const unsigned char* data, std::size_t size)
{
    unsigned char md[32];
    EVP_Digest(data, size, md, nullptr, EVP_sha256(), nullptr);
    return hex(md, sizeof md);
}

bytes from_hex(const std::string& text)
{
    bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

bytes random_bytes(std::size_t size)
{
    bytes out(size);
    std::generate(out.begin(), out.end(), std::mt19937(size));
    return out;
}

// The "key = value" lines of a CAVP response file, in order.
std::vector<std::pair<std::string, std::string>> cavp_fields(const char* name)
{
    std::vector<std::pair<std::string, std::string>> fields;
    std::ifstream file(std::string(NIST_SHA256_VECTORS "/") + name);
    EXPECT_TRUE(file) << name;
    for (std::string line; std::getline(file, line);)
        if (const auto eq = line.find(" = "); eq != std::string::npos && line[0] != '#')
            fields.emplace_back(line.substr(0, eq), line.substr(eq + 3, line.find_last_not_of("\r") - eq - 2));
    return fields;
}

class Sha256Engine : public testing::TestWithParam<sha256_engine> {
    void SetUp() override
    {
        if (!sha256_use_engine(GetParam()))
            GTEST_SKIP() << "this CPU lacks the engine";
        ASSERT_EQ(sha256_active_engine(), GetParam());
    }
    void TearDown() override { sha256_use_engine(sha256_engine::automatic); }
};

TEST_P(Sha256Engine, NistShortLongAndMonteCarlo)
{
    for (const char* name : {"SHA256ShortMsg.rsp", "SHA256LongMsg.rsp"}) {
        std::size_t bits = 0;
        bytes message;
        for (const auto& [key, value] : cavp_fields(name)) {
            if (key == "Len")
                bits = std::stoul(value);
            else if (key == "Msg")
                message = from_hex(value), message.resize(bits / 8);  // empty is written "00"
            else if (key == "MD") {
                ASSERT_EQ(hex(sha256(message.data(), message.size())), value) << name << " Len " << bits;
            }
        }
    }
    // Each checkpoint: from three copies of the seed, 1000 times hash the last three digests.
    bytes m;
    int checkpoints = 0;
    for (const auto& [key, value] : cavp_fields("SHA256Monte.rsp"))
        if (key == "Seed" || key == "MD") {
            if (key == "MD") {
                for (int i = 0; i < 1000; ++i) {
                    const auto next = from_hex(hex(sha256(m.data(), m.size())));
                    m.erase(m.begin(), m.begin() + 32);
                    m.insert(m.end(), next.begin(), next.end());
                }
                ASSERT_EQ(hex(m.data() + 64, 32), value) << "COUNT " << checkpoints;
                ++checkpoints;
            }
            const bytes seed = key == "Seed" ? from_hex(value) : bytes(m.begin() + 64, m.end());
            m = seed, m.insert(m.end(), seed.begin(), seed.end()), m.insert(m.end(), seed.begin(), seed.end());
        }
    EXPECT_EQ(checkpoints, 100);
}

TEST_P(Sha256Engine, MatchesOpenSslFromUnalignedAddresses)
{
    const bytes data = random_bytes((6 << 20) + 64);
    std::mt19937 rng(2);
    for (std::size_t i = 0; i < 1101 * 4 + 12; ++i) {
        // Every length up to 1100 at offsets 0 to 3, then random ones up to 6 MiB.
        const std::size_t offset = i < 1101 * 4 ? i % 4 : rng() % 64;
        const std::size_t length = i < 1101 * 4 ? i / 4 : rng() % (6 << 20);
        ASSERT_EQ(hex(sha256(data.data() + offset, length)), openssl_hex(data.data() + offset, length))
            << "length " << length << " offset " << offset;
    }
}

TEST_P(Sha256Engine, IncrementalMatchesOneShot)
{
    const bytes data = random_bytes(70000);
    for (std::size_t length : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 4151, 70000})
        for (std::size_t per_feed : {1, 3, 1000}) {
            sha256_stream stream;
            sha256_begin(&stream);
            std::size_t done = 0;
            for (std::size_t n; (n = std::min(per_feed, (length - done) / 64)) > 0; done += 64 * n)
                sha256_feed_blocks(&stream, data.data() + done, n);
            EXPECT_EQ(hex(sha256_finish(&stream, data.data() + done, length - done)),
                      hex(sha256(data.data(), length)))
                << "length " << length << ", blocks per feed " << per_feed;
        }
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha256Engine,
                         testing::Values(sha256_engine::portable, sha256_engine::portable_bmi2,
                                         sha256_engine::sha_ni),
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
        const bytes zeros(1 << 20);
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

TEST(Sha256, TablesAndByteOrderHelpers)
{
    uint32_t initial[8];
    std::memcpy(initial, DEFAULT_SHA256, sizeof initial);  // host-order words
    EXPECT_EQ((std::array{initial[0], initial[7], ROUND_CONSTANTS[0], ROUND_CONSTANTS[63]}),
              (std::array{0x6a09e667u, 0x5be0cd19u, 0x428a2f98u, 0xc67178f2u}));
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
    auto b = in;
    swap_bytes(&b[0], &b[7]);
    EXPECT_EQ(b, (std::array<unsigned char, 8>{8, 2, 3, 4, 5, 6, 7, 1}));
    EXPECT_EQ(little_endian(), 1);
    const uint32_t rotations[][3] = {{0x12345678, 0, 0x12345678},  {0x12345678, 4, 0x81234567},
                                     {0x12345678, 32, 0x12345678}, {0x12345678, 36, 0x81234567},
                                     {0x80000000, 31, 1},          {0x12345678, 0xffffffff, 0x2468acf0}};
    for (const auto& [value, count, result] : rotations)
        EXPECT_EQ(rotate_right(value, count), result) << value << " by " << count;
}

// The pointers' first state shows only in a process that has not hashed yet:
// the threadsafe death-test style re-executes this binary for the check.
TEST(Sha256DeathTest, ConverterPointersSwapFromEveryDigest)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto state = [] {
        return std::to_string(p_convert_int32_to_big_endian == convert_int32_big_endian) +
               std::to_string(p_convert_int64_to_big_endian == convert_int64_big_endian) +
               std::to_string(p_convert_int32_to_big_endian == convert_int32_little_endian) +
               std::to_string(p_convert_int64_to_big_endian == convert_int64_little_endian) + " ";
    };
    EXPECT_EXIT(
        {
            std::string seen = state();
            sha256("", 0);
            seen += state();
            p_convert_int32_to_big_endian = convert_int32_big_endian;
            p_convert_int64_to_big_endian = convert_int64_big_endian;
            sha256_string("again");
            std::fprintf(stderr, "%s\n", (seen + state()).c_str());
            std::exit(0);
        },
        testing::ExitedWithCode(0), "1100 0011 0011");
}

}  // namespace

void PrintTo(sha256_engine engine, std::ostream* out) { *out << ENGINE_NAMES[static_cast<int>(engine)]; }
