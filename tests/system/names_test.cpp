// Names outside ASCII land on disk as the archive's bytes, whichever tar
// wrote the archive and whatever locale the environment names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "harness.h"

namespace {

// UTF-8 (accents, Cyrillic, CJK, an emoji, a decomposed accent), then raw
// KOI8-R and Latin-1 bytes that are not UTF-8 at all.
const std::set<std::string> NAMES = {
    "\xc3\x9c" "berschrift.ttf", "\xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82.txt",
    "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt", "\xf0\x9f\x9a\x80.bin", "cafe\xcc\x81",
    "\xf0\xd2\xc9\xd7\xc5\xd4", "caf\xe9",
};

struct names_case {
    const char* name;
    std::vector<std::string> maker;  // writes the archive "a.tar" of "src"
    const char* locale;  // LC_ALL for the tool; empty: no locale variable
};

void PrintTo(const names_case& c, std::ostream* os) { *os << c.name; }

class Names : public ::testing::TestWithParam<names_case> {};

INSTANTIATE_TEST_SUITE_P(
    Extract, Names,
    ::testing::Values(names_case{"bsdtar", {"bsdtar", "-cf", "a.tar", "-C", "src", "."}, ""},
                      names_case{"gnu_posix", {"tar", "--format=posix", "-cf", "a.tar", "-C", "src", "."}, ""},
                      names_case{"gnu_gnu", {"tar", "--format=gnu", "-cf", "a.tar", "-C", "src", "."}, ""},
                      names_case{"bsdtar_utf8_environment", {"bsdtar", "-cf", "a.tar", "-C", "src", "."}, "C.UTF-8"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(Names, LandByteExact)
{
    fwu::Scratch s;
    for (const std::string& name : NAMES) fwu::write_file(s / ("src/" + name), name);
    std::vector<std::string> maker = {"env", "LC_ALL=C.UTF-8"};
    maker.insert(maker.end(), GetParam().maker.begin(), GetParam().maker.end());
    fwu::host(maker, s.path());
    const std::string archive = fwu::write_as_digest(s / "in", fwu::read_file(s / "a.tar"));

    // As on a device: no locale variable at all, or one that names UTF-8.
    for (const char* variable : {"LANG", "LANGUAGE", "LC_ALL", "LC_CTYPE"}) unsetenv(variable);
    fwu::RunOptions options;
    if (*GetParam().locale) options.env = {std::string("LC_ALL=") + GetParam().locale};
    const fwu::RunResult r = fwu::run_tool(s, {archive}, options);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.substr(r.out.find("unpack...")), "unpack...\nsync\n");

    std::set<std::string> landed;
    for (const auto& entry : std::filesystem::directory_iterator(s.root())) {
        const std::string name = entry.path().filename().native();
        landed.insert(name);
        EXPECT_EQ(fwu::read_file(entry.path().native()), name);
    }
    EXPECT_EQ(landed, NAMES);
}

// Only an unconvertible name is forgiven: any other warning of a header
// read, here a pax record without "=", still ends the update.
TEST(Names, OtherHeaderWarningsStillStop)
{
    fwu::Scratch s;
    const std::string bytes = fwu::host(
        {"python3", "-c",
         "import io, sys, tarfile\n"
         "out = io.BytesIO(); t = tarfile.open(fileobj=out, mode='w', format=tarfile.USTAR_FORMAT)\n"
         "i = tarfile.TarInfo('./PaxHeaders/a'); i.type = tarfile.XHDTYPE; i.size = 13\n"
         "t.addfile(i, io.BytesIO(b'9 path=a\\n5 x\\n'))\n"
         "j = tarfile.TarInfo('./a'); j.size = 1; t.addfile(j, io.BytesIO(b'a')); t.close()\n"
         "sys.stdout.buffer.write(out.getvalue())"});
    const std::string archive = fwu::write_as_digest(s / "in", bytes);
    const fwu::RunResult r = fwu::run_tool(s, {archive});
    EXPECT_EQ(r.out, fwu::announced(archive) + "purge...\nunpack...\narchive_read_next_header() failed: (-20) "
                                                "Ignoring malformed pax extended attribute\nsync\n");
    EXPECT_EQ(r.status, 255);
}

}  // namespace
