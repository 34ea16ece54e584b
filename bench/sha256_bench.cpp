// fwu-bench-sha256: SHA-256 throughput of each block engine of the digest
// module against libcrypto's, in one process, and the verification stage on
// its own for the whole-process comparisons that bench/run makes.
//
//   fwu-bench-sha256 [--openssl-only] [--min-trial SECONDS] [--trials N]
//       Prints one line per buffer size and implementation, the best of N
//       trials by CPU time:
//         size=4096 impl=sha_ni mib_s=1234.5
//       Every engine's digest is checked against libcrypto's first.
//   fwu-bench-sha256 --verify FILE [--engine automatic|portable|portable_bmi2|sha_ni]
//       Runs the tool's own verification stage on FILE (named by its digest)
//       with the given engine; exit status 0 when the name matches.
#include <getopt.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "digest/sha256.h"
#include "state/update_options.h"
#include "update/stages.h"

namespace {

constexpr std::array<std::size_t, 4> SIZES{64, 4096, std::size_t{1} << 20, std::size_t{64} << 20};

struct engine_name {
    std::string_view name;
    sha256_engine engine;
};
constexpr std::array<engine_name, 4> ENGINES{{
    {"automatic", sha256_engine::automatic},
    {"sha_ni", sha256_engine::sha_ni},
    {"portable_bmi2", sha256_engine::portable_bmi2},
    {"portable", sha256_engine::portable},
}};

// Keeps the compiler from dropping a digest nobody reads.
volatile uint32_t sink;

// CPU time of this thread: other work on a shared machine can delay the
// hashing but not make it look slower.
double now()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// libcrypto through its supported interface, used the way a careful program
// would: the algorithm fetched once and one context reused.
struct openssl_hasher {
    EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();

    void hash(const unsigned char* data, std::size_t size, unsigned char* out)
    {
        unsigned length = 0;
        if (EVP_DigestInit_ex2(ctx, md, nullptr) != 1 || EVP_DigestUpdate(ctx, data, size) != 1 ||
            EVP_DigestFinal_ex(ctx, out, &length) != 1) {
            std::fputs("fwu-bench-sha256: libcrypto failed\n", stderr);
            std::exit(1);
        }
    }
};

struct implementation {
    std::string_view name;
    sha256_engine engine;  // ignored for libcrypto
    bool openssl;
    double best_seconds_per_hash[SIZES.size()];
};

void run_once(implementation& impl, openssl_hasher& ossl, const unsigned char* data, std::size_t size)
{
    if (impl.openssl) {
        unsigned char md[32];
        ossl.hash(data, size, md);
        sink = md[0];
    } else {
        sink = sha256(data, size).h[0];
    }
}

// Hashes enough times that one trial lasts at least `min_trial` seconds.
double trial(implementation& impl, openssl_hasher& ossl, const unsigned char* data, std::size_t size,
             std::size_t repeats)
{
    if (!impl.openssl) sha256_use_engine(impl.engine);
    const double start = now();
    for (std::size_t r = 0; r < repeats; ++r) run_once(impl, ossl, data, size);
    return (now() - start) / static_cast<double>(repeats);
}

void check_digests(const implementation* impls, std::size_t count, openssl_hasher& ossl,
                   const unsigned char* data, std::size_t size)
{
    unsigned char want[32];
    ossl.hash(data, size, want);
    for (std::size_t i = 0; i < count; ++i) {
        if (impls[i].openssl) continue;
        sha256_use_engine(impls[i].engine);
        const sha256_digest d = sha256(data, size);
        unsigned char got[32];
        for (int w = 0; w < 8; ++w)
            for (int b = 0; b < 4; ++b) got[4 * w + b] = static_cast<unsigned char>(d.h[w] >> (24 - 8 * b));
        if (std::memcmp(got, want, sizeof want) != 0) {
            std::fprintf(stderr, "fwu-bench-sha256: %.*s disagrees with libcrypto on %zu bytes\n",
                         static_cast<int>(impls[i].name.size()), impls[i].name.data(), size);
            std::exit(1);
        }
    }
}

int throughput(bool openssl_only, double min_trial, int trials)
{
    const std::size_t largest = SIZES.back();
    auto* const data = static_cast<unsigned char*>(std::aligned_alloc(64, largest));
    if (data == nullptr) return 1;
    uint64_t x = 0x9e3779b97f4a7c15u;
    for (std::size_t i = 0; i < largest; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        data[i] = static_cast<unsigned char>(x);
    }

    implementation impls[4];
    std::size_t count = 0;
    impls[count++] = {"openssl", sha256_engine::automatic, true, {}};
    if (!openssl_only) {
        for (const engine_name& e : ENGINES) {
            if (e.engine == sha256_engine::automatic || !sha256_use_engine(e.engine)) continue;
            impls[count++] = {e.name, e.engine, false, {}};
        }
    }
    openssl_hasher ossl;
    if (ossl.md == nullptr || ossl.ctx == nullptr) return 1;

    for (std::size_t s = 0; s < SIZES.size(); ++s) {
        const std::size_t size = SIZES[s];
        check_digests(impls, count, ossl, data, size);
        // Calibrate each implementation's repeat count, then take the best
        // of several trials, the implementations taking turns so that a
        // passing load on the machine touches all of them alike.
        std::size_t repeats[4];
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t r = 1;
            while (trial(impls[i], ossl, data, size, r) * static_cast<double>(r) < min_trial / 4) r *= 2;
            repeats[i] = r * 4;
            impls[i].best_seconds_per_hash[s] = 1e30;
        }
        for (int t = 0; t < trials; ++t)
            for (std::size_t i = 0; i < count; ++i)
                impls[i].best_seconds_per_hash[s] = std::min(
                    impls[i].best_seconds_per_hash[s], trial(impls[i], ossl, data, size, repeats[i]));
        for (std::size_t i = 0; i < count; ++i)
            std::printf("size=%zu impl=%.*s mib_s=%.1f\n", size, static_cast<int>(impls[i].name.size()),
                        impls[i].name.data(),
                        static_cast<double>(size) / impls[i].best_seconds_per_hash[s] / (1 << 20));
        std::fflush(stdout);
    }
    sha256_use_engine(sha256_engine::automatic);
    return 0;
}

int verify(const char* file, std::string_view engine)
{
    for (const engine_name& e : ENGINES) {
        if (e.name != engine) continue;
        if (!sha256_use_engine(e.engine)) {
            std::fprintf(stderr, "fwu-bench-sha256: this CPU lacks engine %s\n", e.name.data());
            return 2;
        }
        update_options.archive_path = file;
        verified_archive verified{};
        return verify_archive_name(&verified) >= 0 ? 0 : 1;
    }
    std::fprintf(stderr, "fwu-bench-sha256: unknown engine %.*s\n", static_cast<int>(engine.size()), engine.data());
    return 2;
}

[[noreturn]] void usage()
{
    std::fputs("usage: fwu-bench-sha256 [--openssl-only] [--min-trial SECONDS] [--trials N]\n"
               "       fwu-bench-sha256 --verify FILE [--engine automatic|portable|portable_bmi2|sha_ni]\n",
               stderr);
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv)
{
    bool openssl_only = false;
    double min_trial = 0.2;
    int trials = 5;
    const char* verify_file = nullptr;
    std::string_view engine = "automatic";
    static const option options[] = {{"openssl-only", no_argument, nullptr, 'o'},
                                     {"min-trial", required_argument, nullptr, 'm'},
                                     {"trials", required_argument, nullptr, 't'},
                                     {"verify", required_argument, nullptr, 'v'},
                                     {"engine", required_argument, nullptr, 'e'},
                                     {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int id; (id = getopt_long(argc, argv, "+", options, nullptr)) != -1;) {
        if (id == 'o') openssl_only = true;
        else if (id == 'm') min_trial = std::atof(optarg);
        else if (id == 't') trials = std::atoi(optarg);
        else if (id == 'v') verify_file = optarg;
        else if (id == 'e') engine = optarg;
        else usage();
    }
    if (optind < argc) usage();
    if (verify_file != nullptr) return verify(verify_file, engine);
    if (min_trial <= 0 || trials < 1) usage();
    return throughput(openssl_only, min_trial, trials);
}
