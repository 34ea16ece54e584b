#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include <dirent.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fwu {

const char* const TOOL_PATH = FWU_TOOL_PATH;
const char* const SANDBOX_PATH = FWU_SANDBOX_PATH;
const char* const TESTHOOKS_PATH = FWU_TESTHOOKS_PATH;
const char* const PACK_PATH = FWU_PACK_PATH;

namespace {

// A set-up failure is a bug of the test or of the machine: stop loudly.
// CTest runs every test in a process of its own, so only that test fails.
[[noreturn]] void fail(const std::string& what, int err = errno)
{
    std::fprintf(stderr, "fwu harness: %s%s%s\n", what.c_str(), err ? ": " : "", err ? std::strerror(err) : "");
    std::abort();
}

// A descriptor closed at scope exit.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// Deep trees keep one descriptor per level open while they are walked.
const bool raised_fd_limit = [] {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    return true;
}();

std::vector<std::string> components(std::string_view path)
{
    std::vector<std::string> parts;
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t slash = std::min(path.find('/', start), path.size());
        if (slash > start)
            parts.emplace_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

// Opens the directory holding the last component of `path`, one component
// at a time (so that any length works), creating missing ones when asked.
// Stores the last component in *name.
int open_parent(const std::string& path, std::string* name, bool create, unsigned mode = 0755)
{
    std::vector<std::string> parts = components(path);
    if (parts.empty())
        fail("no file name in '" + path + "'", 0);
    *name = parts.back();
    parts.pop_back();
    int dir = open(path[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const std::string& part : parts) {
        if (create && mkdirat(dir, part.c_str(), mode) != 0 && errno != EEXIST)
            fail("mkdir " + part, errno);
        int child = openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(dir);
        if (child < 0)
            fail("open directory " + part + " of " + path.substr(0, 200));
        dir = child;
    }
    return dir;
}

std::string hex(const unsigned char* bytes, unsigned length)
{
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < length; ++i)
        text += {DIGITS[bytes[i] >> 4], DIGITS[bytes[i] & 15]};
    return text;
}

std::string hash_fd(int fd)
{
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    static char buffer[1 << 16];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0)
            fail("read for hashing");
        EVP_DigestUpdate(context, buffer, static_cast<std::size_t>(n));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    EVP_MD_CTX_free(context);
    return hex(digest, length);
}

void snapshot_dir(int dir, const std::string& prefix, bool with_times, std::vector<std::string>& lines)
{
    DIR* stream = fdopendir(dup(dir));
    if (!stream)
        fail("opendir " + prefix.substr(0, 200));
    std::vector<std::string> names;
    while (dirent* entry = readdir(stream))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    closedir(stream);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        struct stat st;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            fail("lstat " + name);
        std::string path = prefix + name;
        char line[512];
        std::snprintf(line, sizeof line, " %c %04o %u:%u %lld", S_ISDIR(st.st_mode) ? 'd' : S_ISREG(st.st_mode) ? 'f' : S_ISLNK(st.st_mode) ? 'l' : 'o',
                      static_cast<unsigned>(st.st_mode & 07777), static_cast<unsigned>(st.st_uid),
                      static_cast<unsigned>(st.st_gid), S_ISDIR(st.st_mode) ? 0LL : static_cast<long long>(st.st_size));
        std::string text = path + line;
        if (S_ISREG(st.st_mode)) {
            Fd file(openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            if (file.fd < 0)
                fail("open " + name);
            text += ' ';
            text += hash_fd(file.fd);
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = readlinkat(dir, name.c_str(), target, sizeof target);
            text += " -> " + std::string(target, n > 0 ? static_cast<std::size_t>(n) : 0);
        } else if (!S_ISDIR(st.st_mode)) {
            text += " type " + std::to_string(st.st_mode & S_IFMT);
        }
        if (with_times)
            text += " mtime " + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        lines.push_back(text);
        if (S_ISDIR(st.st_mode)) {
            Fd child(openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (child.fd < 0)
                fail("open directory " + name);
            snapshot_dir(child.fd, path + "/", with_times, lines);
        }
    }
}

// Spawns `argv` in its own process group with stdin from /dev/null, and
// collects stdout and stderr until both close; kills the group after
// `timeout`.
RunResult spawn_and_collect(const std::vector<std::string>& argv, const std::string& cwd, std::chrono::seconds timeout)
{
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int spawned = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (spawned != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        fail("spawn " + argv[0], spawned);
    }

    RunResult result;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!result.timed_out && left.count() <= 0) {
            kill(-pid, SIGKILL);
            result.timed_out = true;
        }
        int ready = poll(fds, 2, result.timed_out ? 1000 : static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR)
            fail("poll");
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
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
        if (errno != EINTR)
            fail("waitpid");
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// Runs a host program that must succeed.
void host(const std::vector<std::string>& argv)
{
    RunResult r = run_host(argv);
    if (r.status != 0)
        fail(argv[0] + ": " + r.err, 0);
}

bool holds_file_flags(const std::string& dir)
{
    std::string probe = dir + "/fwu-flag-probe-XXXXXX";
    const int fd = mkstemp(probe.data());
    int flags = 0;
    const bool held = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags |= FS_NODUMP_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd >= 0) {
        close(fd);
        unlink(probe.c_str());
    }
    return held;
}

}  // namespace

Scratch::Scratch()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fwu-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        fail("mkdtemp " + pattern);
    path_ = pattern;
    // All of the layout from the start, so that a run adds nothing to it.
    for (const char* dir : {"root", "dev", "class", "debug"})
        make_dirs(*this / dir);
}

Scratch::~Scratch()
{
    const char* keep = std::getenv("FWU_KEEP_SCRATCH");
    if (keep && *keep && std::strcmp(keep, "0") != 0) {
        std::fprintf(stderr, "kept scratch directory %s\n", path_.c_str());
        return;
    }
    // rm copes with trees deeper than any path limit; --one-file-system
    // keeps it out of anything mounted below (a sandbox leaves no mounts
    // behind, but a bug must not cost the host its /dev).
    run_host({"rm", "-rf", "--one-file-system", "--", path_});
}

std::string Scratch::operator/(std::string_view relative) const
{
    return path_ + "/" + std::string(relative);
}

void make_dirs(const std::string& path, unsigned mode)
{
    std::string name;
    Fd parent(open_parent(path, &name, true, mode));
    if (mkdirat(parent.fd, name.c_str(), mode) != 0 && errno != EEXIST)
        fail("mkdir " + path.substr(0, 200));
}

void write_file(const std::string& path, std::string_view contents, unsigned mode)
{
    std::string name;
    Fd parent(open_parent(path, &name, true));
    Fd file(openat(parent.fd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (file.fd < 0)
        fail("create " + path.substr(0, 200));
    for (std::size_t done = 0; done < contents.size();) {
        ssize_t n = write(file.fd, contents.data() + done, contents.size() - done);
        if (n < 0)
            fail("write " + path.substr(0, 200));
        done += static_cast<std::size_t>(n);
    }
    fchmod(file.fd, mode);  // not subject to the umask
}

std::string read_file(const std::string& path)
{
    std::string name;
    Fd parent(open_parent(path, &name, false));
    Fd file(openat(parent.fd, name.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0)
        fail("open " + path.substr(0, 200));
    std::string contents;
    char buffer[65536];
    for (ssize_t n; (n = read(file.fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0)
            fail("read " + path.substr(0, 200));
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    return contents;
}

void make_tree(const std::string& base, const std::vector<std::string>& entries)
{
    for (const std::string& entry : entries) {
        std::size_t arrow = entry.find(" -> ");
        std::size_t equals = entry.find('=');
        if (arrow != std::string::npos) {
            std::string name, path = base + "/" + entry.substr(0, arrow);
            Fd parent(open_parent(path, &name, true));
            if (symlinkat(entry.substr(arrow + 4).c_str(), parent.fd, name.c_str()) != 0)
                fail("symlink " + entry);
        } else if (!entry.empty() && entry.back() == '/') {
            make_dirs(base + "/" + entry);
        } else if (equals != std::string::npos) {
            write_file(base + "/" + entry.substr(0, equals), std::string_view(entry).substr(equals + 1));
        } else {
            write_file(base + "/" + entry, "");
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

std::string sha256_hex(std::string_view bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    return hex(digest, length);
}

std::string sha256_hex_of_file(const std::string& path)
{
    Fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0)
        fail("open " + path);
    return hash_fd(file.fd);
}

std::string write_as_digest(const std::string& dir, std::string_view bytes)
{
    std::string path = dir + "/" + sha256_hex(bytes);
    write_file(path, bytes);
    return path;
}

std::string copy_as_digest(const std::string& file, const std::string& dir)
{
    return write_as_digest(dir, read_file(file));
}

std::string tar_of_tree(const std::string& dir)
{
    RunResult r = run_host({"tar", "-C", dir, "-cf", "-", "."});
    if (r.status != 0)
        fail("tar: " + r.err, 0);
    return r.out;
}

std::string snapshot_tree(const std::string& dir, bool with_times)
{
    (void)raised_fd_limit;
    std::string name;
    Fd parent(open_parent(dir + "/.", &name, false));
    std::vector<std::string> lines;
    snapshot_dir(parent.fd, "", with_times, lines);
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

std::string describe_tree(const std::string& dir)
{
    std::istringstream lines(snapshot_tree(dir, true));
    std::map<std::pair<dev_t, ino_t>, std::string> inodes;
    std::string text;
    for (std::string line; std::getline(lines, line); text += line + "\n") {
        const std::string name = line.substr(0, line.find(' ')), path = dir + "/" + name;
        struct stat st {};
        lstat(path.c_str(), &st);
        if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) {
            const auto [first, fresh] = inodes.try_emplace({st.st_dev, st.st_ino}, name);
            line += fresh ? "" : " link=" + first->second;
        }
        char list[4096];
        const ssize_t size = llistxattr(path.c_str(), list, sizeof list);
        std::vector<std::string> names;
        for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(names.back().size()) + 1)
            names.emplace_back(list + at);
        std::sort(names.begin(), names.end());
        for (const std::string& attribute : names) {
            unsigned char value[4096];
            const ssize_t n = lgetxattr(path.c_str(), attribute.c_str(), value, sizeof value);
            line += " " + attribute + "=" + hex(value, n > 0 ? static_cast<unsigned>(n) : 0);
        }
        if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
            Fd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
            int flags = 0;
            ioctl(file.fd, FS_IOC_GETFLAGS, &flags);
            line += flags & FS_NODUMP_FL ? " nodump" : "";
            line += flags & FS_NOATIME_FL ? " noatime" : "";
        }
    }
    return text;
}

bool use_scratch_with_file_flags()
{
    const char* const tmpdir = std::getenv("TMPDIR");
    for (const char* dir : {tmpdir && *tmpdir ? tmpdir : "/tmp", "/var/tmp"}) {
        if (holds_file_flags(dir)) {
            setenv("TMPDIR", dir, 1);
            return true;
        }
    }
    return false;
}

void make_rich_tree(const std::string& src)
{
    make_tree(src, {"bin/tool=#!/bin/sh\n", "bin/helper=helper", "share/doc/readme=read me\n", "share/empty", "spool/",
                    "run/", "etc/acl-file=secret", "etc/acl-dir/", "var/cache/nodump=scratch", "var/noatime/",
                    "lib -> share/doc"});
    const auto at = [&src](const char* name) { return src + "/" + name; };
    if (link(at("share/doc/readme").c_str(), at("share/doc/hard").c_str()) != 0 || mkfifo(at("run/fifo").c_str(), 0600) != 0)
        fail("link or mkfifo in " + src);
    for (const char* name : {"bin/helper", "share/doc/readme", "lib", "var/noatime"})
        if (lchown(at(name).c_str(), 1234, 5678) != 0)
            fail(std::string("lchown ") + name);
    chmod(at("bin/tool").c_str(), 04755);
    chmod(at("bin/helper").c_str(), 02711);
    chmod(at("spool").c_str(), 01777);
    if (lsetxattr(at("var/cache/nodump").c_str(), "user.note", "kept out", 8, 0) != 0)
        fail("lsetxattr");
    host({"setfacl", "-m", "u:1234:rw", at("etc/acl-file")});
    host({"setfacl", "-d", "-m", "g:5678:rx", at("etc/acl-dir")});
    host({"chattr", "+d", at("var/cache/nodump"), at("var/cache")});
    host({"chattr", "+A", at("var/noatime")});
    host({"find", src, "-exec", "touch", "-h", "-d", "@1500000000", "{}", "+"});
    host({"touch", "-h", "-d", "@1400000001", at("bin/tool"), at("lib")});
}

RunResult run_tool(const Scratch& s, const std::vector<std::string>& args, const RunOptions& o)
{
    static constexpr const char* IDENTITIES[] = {"root", "user", "euid", "setuid"};
    std::vector<std::string> argv = {SANDBOX_PATH, s.path(), "--as", IDENTITIES[static_cast<int>(o.as)]};
    auto option = [&argv](const char* name, const std::string& value) {
        if (!value.empty())
            argv.insert(argv.end(), {name, value});
    };
    option("--cwd", o.cwd);
    argv.insert(argv.end(), {"--argv0", o.argv0});
    if (o.no_argv)
        argv.push_back("--no-argv");
    option("--tmpfs-root", o.tmpfs_root);
    option("--statfs-root", o.statfs_root);
    for (const std::string& rule : o.fail)
        option("--fail", rule);
    for (const std::string& assignment : o.env)
        option("--env", assignment);
    argv.push_back("--");
    argv.push_back(o.program.empty() ? TOOL_PATH : o.program);
    argv.insert(argv.end(), args.begin(), args.end());
    return spawn_and_collect(argv, {}, o.timeout);
}

RunResult run_host(const std::vector<std::string>& argv, const std::string& cwd)
{
    return spawn_and_collect(argv, cwd, std::chrono::seconds(600));
}

}  // namespace fwu
