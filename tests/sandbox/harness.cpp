#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

extern char** environ;

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

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() { if (fd >= 0) close(fd); }
    Fd(const Fd&) = delete;
};

// Opens the directory holding the last component of `path` one component at
// a time, so that any length works, creating missing ones when asked.
int open_parent(const std::string& path, std::string* name, bool create)
{
    int dir = open(path[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::size_t start = 0;
    for (std::size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
        const std::string part = path.substr(start, slash - start);
        if (part.empty()) continue;
        if (create && mkdirat(dir, part.c_str(), 0755) != 0 && errno != EEXIST) fail("mkdir " + path);
        const int child = openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(dir);
        if (child < 0) fail("open directory of " + path);
        dir = child;
    }
    *name = path.substr(start);
    return dir;
}

std::string hex(const unsigned char* bytes, unsigned length)
{
    std::string text;
    for (unsigned i = 0; i < length; ++i) text += {"0123456789abcdef"[bytes[i] >> 4], "0123456789abcdef"[bytes[i] & 15]};
    return text;
}

void snapshot_dir(int dir, const std::string& prefix, bool with_times, std::vector<std::string>& lines)
{
    DIR* stream = fdopendir(dup(dir));
    if (!stream) fail("opendir " + prefix);
    std::vector<std::string> names;
    while (dirent* entry = readdir(stream))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
    closedir(stream);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        struct stat st;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) fail("lstat " + name);
        char line[256];
        std::snprintf(line, sizeof line, " %c %04o %u:%u %lld",
                      S_ISDIR(st.st_mode) ? 'd' : S_ISREG(st.st_mode) ? 'f' : S_ISLNK(st.st_mode) ? 'l' : 'o',
                      static_cast<unsigned>(st.st_mode & 07777), static_cast<unsigned>(st.st_uid),
                      static_cast<unsigned>(st.st_gid), S_ISDIR(st.st_mode) ? 0LL : static_cast<long long>(st.st_size));
        std::string text = prefix + name + line;
        if (S_ISREG(st.st_mode)) {
            Fd file(openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            std::string contents;
            char buffer[65536];
            for (ssize_t n; (n = read(file.fd, buffer, sizeof buffer)) > 0;) contents.append(buffer, static_cast<std::size_t>(n));
            text += " " + sha256_hex(contents);
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = readlinkat(dir, name.c_str(), target, sizeof target);
            text += " -> " + std::string(target, n > 0 ? static_cast<std::size_t>(n) : 0);
        }
        if (with_times) text += " mtime " + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        lines.push_back(text);
        if (S_ISDIR(st.st_mode)) {
            Fd child(openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (child.fd < 0) fail("open directory " + name);
            snapshot_dir(child.fd, prefix + name + "/", with_times, lines);
        }
    }
}

// Spawns `argv` in its own process group with stdin from /dev/null and
// collects stdout and stderr until both close; kills the group after `timeout`.
RunResult spawn_and_collect(const std::vector<std::string>& argv, const std::string& cwd, std::chrono::seconds timeout)
{
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (spawned != 0) fail("spawn " + argv[0], spawned);

    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (!result.timed_out && std::chrono::steady_clock::now() >= deadline) {
            kill(-pid, SIGKILL);
            result.timed_out = true;
        }
        poll(fds, 2, 100);
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) fail("waitpid");
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
    const char* keep = std::getenv("FWU_KEEP_SCRATCH");
    if (keep && *keep && std::strcmp(keep, "0") != 0) {
        std::fprintf(stderr, "kept scratch directory %s\n", path_.c_str());
        return;
    }
    // rm copes with trees deeper than any path limit; --one-file-system
    // keeps it out of anything mounted below.
    spawn_and_collect({"rm", "-rf", "--one-file-system", "--", path_}, {}, std::chrono::seconds(600));
}

void make_dirs(const std::string& path)
{
    std::string name;
    Fd parent(open_parent(path + "/", &name, true));
}

void write_file(const std::string& path, std::string_view contents, unsigned mode)
{
    std::string name;
    Fd parent(open_parent(path, &name, true));
    Fd file(openat(parent.fd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (file.fd < 0) fail("create " + path);
    for (std::size_t done = 0; done < contents.size();) {
        const ssize_t n = write(file.fd, contents.data() + done, contents.size() - done);
        if (n < 0) fail("write " + path);
        done += static_cast<std::size_t>(n);
    }
    fchmod(file.fd, mode);  // not subject to the umask
}

std::string read_file(const std::string& path)
{
    std::string name;
    Fd parent(open_parent(path, &name, false));
    Fd file(openat(parent.fd, name.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0) fail("open " + path);
    std::string contents;
    char buffer[65536];
    for (ssize_t n; (n = read(file.fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0) fail("read " + path);
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    return contents;
}

void make_tree(const std::string& base, const std::vector<std::string>& entries)
{
    for (const std::string& entry : entries) {
        const std::size_t arrow = entry.find(" -> "), equals = entry.find('=');
        std::string name;
        if (arrow != std::string::npos) {
            Fd parent(open_parent(base + "/" + entry.substr(0, arrow), &name, true));
            if (symlinkat(entry.substr(arrow + 4).c_str(), parent.fd, name.c_str()) != 0) fail("symlink " + entry);
        } else if (entry.ends_with('/')) {
            make_dirs(base + "/" + entry);
        } else if (entry.ends_with('|')) {
            Fd parent(open_parent(base + "/" + entry.substr(0, entry.size() - 1), &name, true));
            if (mkfifoat(parent.fd, name.c_str(), 0600) != 0) fail("mkfifo " + entry);
        } else {
            write_file(base + "/" + entry.substr(0, equals),
                       equals == std::string::npos ? "" : std::string_view(entry).substr(equals + 1));
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

void add_ro_error(const Scratch& s)
{
    write_file(s / "debug/ubifs/ubi0_0/ro_error", "", 0666);
}

void add_devices(const Scratch& s)
{
    add_framebuffer(s);
    for (const char* led : {"belvonix:1", "belvonix:2", "alix:3"}) add_led(s, led);
    add_ro_error(s);
}

std::string sha256_hex(std::string_view bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    return hex(digest, length);
}

std::string write_as_digest(const std::string& dir, std::string_view bytes)
{
    const std::string path = dir + "/" + sha256_hex(bytes);
    write_file(path, bytes);
    return path;
}

std::string host(const std::vector<std::string>& argv, const std::string& cwd)
{
    const RunResult r = spawn_and_collect(argv, cwd, std::chrono::seconds(600));
    if (r.status != 0) fail(argv[0] + ": " + r.err, 0);
    return r.out;
}

std::string tar_of_tree(const std::string& dir)
{
    return host({"tar", "-C", dir, "-cf", "-", "."});
}

std::string bsdtar_reference(const std::string& archive, const std::string& dir)
{
    make_dirs(dir);
    host({"bsdtar", "-xp", "--acls", "--fflags", "--no-xattrs", "-C", dir, "-f", archive});
    return snapshot_tree(dir, true);
}

std::string snapshot_tree(const std::string& dir, bool with_times)
{
    std::string name;
    Fd parent(open_parent(dir + "/.", &name, false));
    std::vector<std::string> lines;
    snapshot_dir(parent.fd, "", with_times, lines);
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

std::string paths_below(const std::string& dir)
{
    std::istringstream lines(snapshot_tree(dir));
    std::string paths;
    for (std::string line; std::getline(lines, line);) paths += (paths.empty() ? "" : " ") + line.substr(0, line.find(' '));
    return paths;
}

std::string announced(const std::string& archive, const std::string& count)
{
    return "firmware-update: filename = '" + archive + "'\n" +
           (count.empty() ? "" : "!! UBIFS will fail after " + count + " files have been written !!\n") +
           "Checksum ok (" + archive.substr(archive.rfind('/') + 1) + ")\n";
}

std::string strip(const std::string& fb)
{
    int first = -1, last = -1;
    for (int row = 0; row < 272; ++row) {
        const std::string_view line(fb.data() + row * 960, 40);
        const bool white = line.find_first_not_of('\xff') == std::string_view::npos;
        if (!white && line.find_first_not_of('\0') != std::string_view::npos) return "mixed";
        if (!white) continue;
        if (first >= 0 && last != row - 1) return "mixed";
        if (first < 0) first = row;
        last = row;
    }
    return first < 0 ? "none" : std::to_string(first) + "-" + std::to_string(last);
}

RunResult run_tool(const Scratch& s, const std::vector<std::string>& args, const RunOptions& o)
{
    static constexpr const char* IDENTITIES[] = {"root", "user", "euid", "setuid"};
    std::vector<std::string> argv = {FWU_SANDBOX_PATH, s.path(), "--as", IDENTITIES[static_cast<int>(o.as)]};
    const auto option = [&argv](const char* name, const std::string& value) {
        if (!value.empty()) argv.insert(argv.end(), {name, value});
    };
    option("--cwd", o.cwd);
    argv.insert(argv.end(), {"--argv0", o.argv0});
    if (o.no_argv) argv.push_back("--no-argv");
    option("--tmpfs-root", o.tmpfs_root);
    option("--statfs-root", o.statfs_root);
    for (const std::string& rule : o.fail) option("--fail", rule);
    for (const std::string& assignment : o.env) option("--env", assignment);
    argv.push_back("--");
    argv.push_back(o.program.empty() ? TOOL_PATH : o.program);
    argv.insert(argv.end(), args.begin(), args.end());
    return spawn_and_collect(argv, {}, o.timeout);
}

RunResult run_host(const std::vector<std::string>& argv, const std::string& cwd)
{
    return spawn_and_collect(argv, cwd, std::chrono::seconds(600));
}

std::string describe_tree(const std::string& dir)
{
    return snapshot_tree(dir, true) +
           host({"sh", "-c",
                 "find . -printf '%p %n\\n' | LC_ALL=C sort; find . ! -type l ! -type p | LC_ALL=C sort |"
                 " xargs -d '\\n' getfacl -Pn; find . -type f -o -type d | LC_ALL=C sort | xargs -d '\\n' lsattr -d"},
                dir);
}

void use_scratch_with_file_flags()
{
    if (const char* tmpdir = std::getenv("TMPDIR"); !tmpdir || !*tmpdir) setenv("TMPDIR", "/var/tmp", 1);
}

void make_rich_tree(const std::string& src)
{
    make_tree(src, {"bin/tool=#!/bin/sh\n", "bin/helper=helper", "share/doc/readme=read me\n", "spool/",
                    "run/fifo|", "etc/acl-file=secret", "etc/acl-dir/", "var/cache/nodump=scratch", "var/noatime/",
                    "lib -> share/doc"});
    const auto at = [&src](const char* name) { return src + "/" + name; };
    if (link(at("share/doc/readme").c_str(), at("share/doc/hard").c_str()) != 0) fail("link in " + src, errno);
    for (const char* name : {"bin/helper", "share/doc/readme", "lib", "var/noatime"})
        if (lchown(at(name).c_str(), 1234, 5678) != 0) fail(std::string("lchown ") + name, errno);
    chmod(at("bin/tool").c_str(), 04755);
    chmod(at("bin/helper").c_str(), 02711);
    chmod(at("spool").c_str(), 01777);
    if (lsetxattr(at("var/cache/nodump").c_str(), "user.note", "kept out", 8, 0) != 0) fail("lsetxattr", errno);
    host({"setfacl", "-m", "u:1234:rw", at("etc/acl-file")});
    host({"setfacl", "-d", "-m", "g:5678:rx", at("etc/acl-dir")});
    host({"chattr", "+d", at("var/cache/nodump"), at("var/cache")});
    host({"chattr", "+A", at("var/noatime")});
    host({"find", src, "-exec", "touch", "-h", "-d", "@1500000000", "{}", "+"});
    host({"touch", "-h", "-d", "@1400000001", at("bin/tool"), at("lib")});
}

}  // namespace fwu
