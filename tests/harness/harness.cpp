#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>

#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace fwu {

const char* const TOOL_PATH = FWU_TOOL_PATH;
const char* const PACK_PATH = FWU_PACK_PATH;

namespace {

// A set-up failure is a bug of the test or of the machine: stop loudly.
// CTest runs every test in a process of its own, so only that test fails.
[[noreturn]] void fail(const std::string& what, int err = errno)
{
    std::fprintf(stderr, "fwu harness: %s: %s\n", what.substr(0, 200).c_str(), err ? std::strerror(err) : "");
    std::abort();
}

void make_dirs(const std::string& path)
{
    std::error_code error;
    if (std::filesystem::create_directories(path, error); error) fail("mkdir " + path, error.value());
}

// All of the file `fd` from its start; closes it.
std::string read_all(int fd, const std::string& what)
{
    if (fd < 0 || lseek(fd, 0, SEEK_SET) < 0) fail("open " + what);
    std::string contents;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0) fail("read " + what);
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return contents;
}

// Runs `argv` in a process group of its own, with stdin from /dev/null (or
// closed) and stdout and stderr into unnamed files; kills the group after
// `timeout`.
RunResult spawn(const std::vector<std::string>& argv, const std::string& cwd, std::chrono::seconds timeout,
                bool stdin_closed = false)
{
    const int out = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    const int err = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) fail("fork " + argv[0]);
    if (pid == 0) {
        setpgid(0, 0);
        close(0);
        if (!stdin_closed) open("/dev/null", O_RDONLY);
        dup2(out, 1);
        dup2(err, 2);
        if (cwd.empty() || chdir(cwd.c_str()) == 0) execvp(args[0], args.data());
        std::perror(argv[0].c_str());
        _exit(127);
    }
    RunResult result;
    int status = 0;
    pid_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) usleep(5000);
    if (done == 0) {
        kill(-pid, SIGKILL);
        result.timed_out = true;
        waitpid(pid, &status, 0);
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_all(out, "output of " + argv[0]);
    result.err = read_all(err, "errors of " + argv[0]);
    return result;
}

}  // namespace

Scratch::Scratch()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fwu-test-XXXXXX";
    if (!mkdtemp(pattern.data())) fail("mkdtemp " + pattern);
    path_ = pattern;
    // All of the layout from the start, so that a run adds nothing to it.
    for (const char* dir : {"root", "dev", "class", "debug"}) make_dirs(*this / dir);
}

Scratch::~Scratch()
{
    if (const char* keep = std::getenv("FWU_KEEP_SCRATCH"); keep && *keep && std::strcmp(keep, "0") != 0) {
        std::fprintf(stderr, "kept scratch directory %s\n", path_.c_str());
        return;
    }
    // rm copes with trees deeper than any path limit; --one-file-system
    // keeps it out of anything mounted below.
    run_host({"rm", "-rf", "--one-file-system", "--", path_});
}

void write_file(const std::string& path, std::string_view contents, unsigned mode)
{
    make_dirs(path.substr(0, path.rfind('/')));
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0 || write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size())) fail("write " + path);
    fchmod(fd, mode);  // not subject to the umask
    close(fd);
}

std::string read_file(const std::string& path)
{
    return read_all(open(path.c_str(), O_RDONLY | O_CLOEXEC), path);
}

void make_chain(const std::string& base, const std::string& component, int levels)
{
    host({"python3", "-c", "import os, sys\nfor _ in range(int(sys.argv[2])): os.mkdir(sys.argv[1]); os.chdir(sys.argv[1])\n"
          "open('f', 'w')", component, std::to_string(levels)}, base);
}

void make_tree(const std::string& base, const std::vector<std::string>& entries)
{
    for (const std::string& entry : entries) {
        const std::size_t arrow = entry.find(" -> "), equals = entry.find('=');
        const std::string path = base + "/" + entry.substr(0, arrow != std::string::npos ? arrow : equals);
        make_dirs(path.substr(0, path.rfind('/')));
        if (arrow != std::string::npos) {
            host({"ln", "-s", entry.substr(arrow + 4), path});
        } else if (entry.ends_with('|')) {
            host({"mkfifo", "-m", "600", path.substr(0, path.size() - 1)});
        } else if (!entry.ends_with('/')) {
            write_file(path, equals == std::string::npos ? "" : std::string_view(entry).substr(equals + 1));
        }
    }
}

void add_framebuffer(const Scratch& s)
{
    write_file(s / "dev/fb0", std::string(261120, '\0'), 0666);
}

void add_led(const Scratch& s, std::string_view name)
{
    write_file(s / ("class/leds/" + std::string(name) + "/brightness"), "", 0666);
}

void add_devices(const Scratch& s)
{
    add_framebuffer(s);
    for (const char* led : {"belvonix:1", "belvonix:2", "alix:3"}) add_led(s, led);
    write_file(s / "debug/ubifs/ubi0_0/ro_error", "", 0666);
}

std::string sha256_hex(std::string_view bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::string text;
    for (unsigned i = 0; i < length; ++i) text += {"0123456789abcdef"[digest[i] >> 4], "0123456789abcdef"[digest[i] & 15]};
    return text;
}

std::string write_as_digest(const std::string& dir, std::string_view bytes)
{
    const std::string path = dir + "/" + sha256_hex(bytes);
    write_file(path, bytes);
    return path;
}

std::string host(const std::vector<std::string>& argv, const std::string& cwd)
{
    const RunResult r = run_host(argv, cwd);
    if (r.status != 0) fail(argv[0] + ": " + r.err, 0);
    return r.out;
}

std::string tar_of_tree(const std::string& dir)
{
    return host({"tar", "-C", dir, "-cf", "-", "."});
}

std::string python_tar(const std::string& members, const std::string& format)
{
    return host({"python3", "-c",
                 "import io, sys\n"
                 "from tarfile import *\n"
                 "from tarfile import CHRTYPE, DIRTYPE, FIFOTYPE, LNKTYPE, REGTYPE, SYMTYPE, XHDTYPE\n"
                 "t = open(fileobj=sys.stdout.buffer, mode='w|', format=" + format + ")\n"
                 "def add(name, kind=REGTYPE, target='', data=b'', mode=0o644, pax={}, **fields):\n"
                 "    i = TarInfo(name); i.type, i.linkname, i.size, i.mode, i.pax_headers = kind, target, len(data), mode, pax\n"
                 "    for key, value in fields.items(): setattr(i, key, value)\n"
                 "    t.addfile(i, io.BytesIO(data))\n"
                 "def raw(data): t.fileobj.write(data)\n" +
                     members + "\nt.close()\n"});
}

std::string bsdtar_reference(const std::string& archive, const std::string& dir)
{
    make_dirs(dir);
    // In the C locale bsdtar, like the tool, writes a name it cannot convert
    // as its bytes, but exits with 1 for it.
    const RunResult r = run_host({"env", "LC_ALL=C", "bsdtar", "-xp", "--acls", "--fflags", "--no-xattrs", "-C", dir, "-f", archive});
    if (r.status != 0 && std::regex_replace(r.err, std::regex(".*(can't be converted|Error exit delayed).*\n"), "") != "")
        fail("bsdtar: " + r.err, 0);
    return snapshot_tree(dir);
}

std::string snapshot_tree(const std::string& dir)
{
    return host({FWU_LIST_TREE_PATH, "--ns", dir});
}

std::string paths_below(const std::string& dir)
{
    // A line is "./PATH" and eight fields of which only a link's target
    // may hold a space.
    static const std::regex FIELDS(" [fdlcbps] [0-7]{4} [0-9]+ [0-9]+ [0-9]+ [0-9.]+ [0-9]+ [^\\n]*\n");
    std::string paths = std::regex_replace(snapshot_tree(dir), FIELDS, " ");
    for (std::size_t at = 0; (at = paths.find("./", at)) != std::string::npos && (at == 0 || paths[at - 1] == ' ');) paths.erase(at, 2);
    return paths.substr(0, paths.size() - !paths.empty());
}

std::string announced(const std::string& archive, const std::string& count, bool checked)
{
    return "firmware-update: filename = '" + archive + "'\n" +
           (count.empty() ? "" : "!! UBIFS will fail after " + count + " files have been written !!\n") +
           (checked ? "Checksum ok (" + archive.substr(archive.rfind('/') + 1) + ")\n" : "");
}

std::string expand(std::string text, const std::vector<std::pair<std::string, std::string>>& values)
{
    for (const auto& [key, value] : values)
        for (std::size_t at = 0; (at = text.find(key, at)) != std::string::npos; at += value.size()) text.replace(at, key.size(), value);
    return text;
}

std::string strip(const std::string& fb)
{
    std::string rows;  // 'w': a row of the strip all white, 'b': all black, 'm': neither
    for (int row = 0; row < 272; ++row) {
        const std::string_view line(fb.data() + row * 960, 40);
        rows += line.find_first_not_of('\xff') == std::string_view::npos ? 'w'
                : line.find_first_not_of('\0') == std::string_view::npos ? 'b' : 'm';
    }
    const std::size_t first = rows.find('w'), last = rows.rfind('w');
    if (rows.find('m') != std::string::npos || (first != std::string::npos && rows.find('b', first) < last)) return "mixed";
    return first == std::string::npos ? "none" : std::to_string(first) + "-" + std::to_string(last);
}

RunResult run_tool(const Scratch& s, const std::vector<std::string>& args, const RunOptions& o)
{
    static constexpr const char* IDENTITIES[] = {"root", "user", "euid", "setuid"};
    std::vector<std::string> argv = {FWU_SANDBOX_PATH, s.path(), "--as", IDENTITIES[static_cast<int>(o.as)], "--argv0", o.argv0};
    if (o.no_argv) argv.push_back("--no-argv");
    std::vector<std::pair<const char*, std::string>> options = {
        {"--cwd", o.cwd}, {"--tmpfs-root", o.tmpfs_root}, {"--statfs-root", o.statfs_root}};
    for (const std::string& rule : o.fail) options.emplace_back("--fail", rule);
    for (const std::string& assignment : o.env) options.emplace_back("--env", assignment);
    for (const auto& [name, value] : options)
        if (!value.empty()) argv.insert(argv.end(), {name, value});
    argv.push_back("--");
    argv.push_back(o.program.empty() ? TOOL_PATH : o.program);
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = spawn(argv, {}, o.timeout, o.stdin_closed);
    // libarchive names the archive's descriptor, whose number depends on
    // what the test runner passes on.
    static const std::regex DESCRIPTOR("fd [0-9]+");
    r.out = std::regex_replace(r.out, DESCRIPTOR, "fd N");
    r.err = std::regex_replace(r.err, DESCRIPTOR, "fd N");
    return r;
}

RunResult run_host(const std::vector<std::string>& argv, const std::string& cwd)
{
    return spawn(argv, cwd, std::chrono::seconds(600));
}

std::string describe_tree(const std::string& dir)
{
    return snapshot_tree(dir) +
           host({"sh", "-c",
                 "find . ! -type l ! -type p | LC_ALL=C sort |"
                 " xargs -d '\\n' getfacl -Pn; find . -type f -o -type d | LC_ALL=C sort | xargs -d '\\n' lsattr -d"},
                dir);
}

void make_rich_tree(const std::string& src)
{
    // Names outside ASCII: UTF-8 (accents, Cyrillic, CJK, an emoji, a
    // decomposed accent), then raw KOI8-R and Latin-1 bytes, not UTF-8 at all.
    for (const char* name : {"\xc3\x9c" "berschrift.ttf", "\xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82.txt",
                             "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt", "\xf0\x9f\x9a\x80.bin", "cafe\xcc\x81",
                             "\xf0\xd2\xc9\xd7\xc5\xd4", "caf\xe9"})
        write_file(src + "/share/names/" + name, name);
    make_tree(src, {"bin/tool=#!/bin/sh\n", "bin/helper=helper", "share/doc/readme=read me\n", "spool/",
                    "run/fifo|", "etc/acl-file=secret", "etc/acl-dir/", "var/cache/nodump=scratch", "var/noatime/",
                    "lib -> share/doc"});
    if (lsetxattr((src + "/var/cache/nodump").c_str(), "user.note", "kept out", 8, 0) != 0) fail("lsetxattr", errno);
    host({"sh", "-c",
          "ln share/doc/readme share/doc/hard && chown -h 1234:5678 bin/helper share/doc/readme lib var/noatime &&"
          " chmod 4755 bin/tool && chmod 2711 bin/helper && chmod 1777 spool && setfacl -m u:1234:rw etc/acl-file &&"
          " setfacl -d -m g:5678:rx etc/acl-dir && chattr +d var/cache/nodump var/cache && chattr +A var/noatime &&"
          " find . -exec touch -h -d @1500000000 {} + && touch -h -d @1400000001 bin/tool lib"},
         src);
}

}  // namespace fwu
