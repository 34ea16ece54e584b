// fwu-sandbox: runs one program in a private mount namespace in which the
// device directories the updater opens (/dev, /sys/class, /sys/kernel/debug)
// are directories of a scratch tree, the working directory lies in that
// tree, and nothing else is writable. See README.md for the command line.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef FWU_TESTHOOKS_PATH
#error "FWU_TESTHOOKS_PATH must name libfwu-testhooks.so"
#endif

namespace {

// The program did not run: set-up failed or the command line was wrong.
constexpr int SETUP_FAILED = 125;
constexpr uid_t NOBODY = 65534;

struct DeviceMount {
    const char* scratch_name;
    const char* target;
};
constexpr std::array DEVICE_MOUNTS{
    DeviceMount{"dev", "/dev"},
    DeviceMount{"class", "/sys/class"},
    DeviceMount{"debug", "/sys/kernel/debug"},
};

enum class Identity { root, user, euid, setuid };

struct Options {
    const char* scratch = nullptr;
    Identity identity = Identity::root;
    std::string cwd = "root";
    bool default_cwd = true;
    const char* argv0 = nullptr;
    bool no_argv = false;
    const char* tmpfs_size = nullptr;
    std::string statfs_root;
    std::string fail_rules;
    std::vector<const char*> env;
    char** program = nullptr;  // PROGRAM ARGS..., null-terminated
};

[[noreturn]] void die(const char* what, const std::string& detail = {}, int err = 0)
{
    std::fprintf(stderr, "fwu-sandbox: %s%s%s%s%s\n", what, detail.empty() ? "" : " '", detail.c_str(),
                 detail.empty() ? "" : "'", err ? (std::string(": ") + std::strerror(err)).c_str() : "");
    std::exit(SETUP_FAILED);
}

// Asked for with --help, the usage goes to standard output, and the run succeeds.
[[noreturn]] void usage(bool asked = false)
{
    std::fputs("usage: fwu-sandbox SCRATCH [--as root|user|euid|setuid] [--cwd PATH] [--argv0 NAME] [--no-argv]\n"
               "                   [--tmpfs-root SIZE] [--statfs-root nfs|fail|ERRNO] [--fail FUNC:N[+]:ERRNO[:MATCH]]\n"
               "                   [--env NAME=VALUE] -- PROGRAM [ARGS...]\n"
               "Runs PROGRAM with SCRATCH/root as its working directory in a mount namespace of its own\n"
               "(tools/sandbox/README.md).\n",
               asked ? stdout : stderr);
    std::exit(asked ? 0 : SETUP_FAILED);
}

Identity parse_identity(std::string_view name)
{
    constexpr std::array<std::pair<std::string_view, Identity>, 4> NAMES{{
        {"root", Identity::root}, {"user", Identity::user}, {"euid", Identity::euid}, {"setuid", Identity::setuid}}};
    for (const auto& [n, identity] : NAMES)
        if (n == name)
            return identity;
    die("unknown identity", std::string(name));
}

// Long options only; "+" stops at the first word that is not one, ":"
// reports a missing value apart from an unknown option.
constexpr const char* SHORT_OPTIONS = "+:";
enum OptionId { AS = 1, CWD, ARGV0, NO_ARGV, TMPFS_ROOT, STATFS_ROOT, FAIL, ENV };
constexpr option LONG_OPTIONS[] = {
    {"as", required_argument, nullptr, AS},
    {"cwd", required_argument, nullptr, CWD},
    {"argv0", required_argument, nullptr, ARGV0},
    {"no-argv", no_argument, nullptr, NO_ARGV},
    {"tmpfs-root", required_argument, nullptr, TMPFS_ROOT},
    {"statfs-root", required_argument, nullptr, STATFS_ROOT},
    {"fail", required_argument, nullptr, FAIL},
    {"env", required_argument, nullptr, ENV},
    {nullptr, 0, nullptr, 0},
};

std::string option_name(int id)
{
    for (const option& o : LONG_OPTIONS)
        if (o.val == id)
            return std::string("--") + o.name;
    return "?";
}

void set_option(Options& o, int id, const char* value)
{
    switch (id) {
    case AS:
        o.identity = parse_identity(value);
        break;
    case CWD:
        o.cwd = value;
        o.default_cwd = false;
        break;
    case ARGV0:
        o.argv0 = value;
        break;
    case NO_ARGV:
        o.no_argv = true;
        break;
    case TMPFS_ROOT:
        o.tmpfs_size = value;
        break;
    case STATFS_ROOT:
        o.statfs_root = std::string_view(value) == "fail" ? "EIO" : value;
        break;
    case FAIL:
        if (!o.fail_rules.empty())
            o.fail_rules += ',';
        o.fail_rules += value;
        break;
    case ENV:
        if (!std::strchr(value, '='))
            die("--env needs NAME=VALUE, got", value);
        o.env.push_back(value);
        break;
    }
}

Options parse(int argc, char** argv)
{
    Options o;
    if (argc < 2)
        usage();
    if (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")
        usage(true);
    o.scratch = argv[1];
    opterr = 0;
    optind = 2;
    for (;;) {
        const int word = optind;
        const int id = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr);
        if (id == -1) {
            // PROGRAM comes only after "--".
            if (optind == word + 1 && std::string_view(argv[word]) == "--")
                o.program = argv + optind;
            else if (word < argc)
                die("unknown option", argv[word]);
            break;
        }
        if (id == ':')
            die("missing value for", option_name(optopt));
        if (id == '?')
            die("unknown option", argv[word]);
        set_option(o, id, optarg);
    }
    if (!o.program || !o.program[0])
        usage();
    return o;
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens a directory below `dir` without following a symbolic link, so that
// a scratch entry that is a link (say dev -> /dev) cannot lead out of it.
int open_below(int dir, const char* name)
{
    return openat(dir, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

std::string fd_path(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

// Binds scratch/<name> over `target`, without device nodes or setuid, and
// checks that `target` now is that directory.
void mount_device_dir(int scratch, const DeviceMount& m)
{
    if (mkdirat(scratch, m.scratch_name, 0755) != 0 && errno != EEXIST)
        die("cannot create", m.scratch_name, errno);
    int dir = open_below(scratch, m.scratch_name);
    if (dir < 0)
        die("cannot open scratch directory", m.scratch_name, errno);
    if (mount(fd_path(dir).c_str(), m.target, nullptr, MS_BIND, nullptr) != 0)
        die("cannot bind over", m.target, errno);
    if (mount(nullptr, m.target, nullptr, MS_REMOUNT | MS_BIND | MS_NODEV | MS_NOSUID, nullptr) != 0)
        die("cannot restrict", m.target, errno);
    struct stat want, got;
    if (fstat(dir, &want) != 0 || stat(m.target, &got) != 0 || !same_file(want, got))
        die("bind mount did not take effect on", m.target);
    close(dir);
}

// Walks `path` below the scratch directory one component at a time, so that
// paths of any length work; ".." and symbolic links are refused so that the
// working directory cannot leave the scratch tree. Mounts a tmpfs over the
// last directory when asked, then changes into it.
void enter_working_directory(int scratch, const Options& o)
{
    if (o.default_cwd && mkdirat(scratch, "root", 0755) != 0 && errno != EEXIST)
        die("cannot create", "root", errno);
    int dir = fcntl(scratch, F_DUPFD_CLOEXEC, 0);
    int parent = -1;
    std::string last;
    for (std::string_view rest = o.cwd; !rest.empty();) {
        std::size_t slash = rest.find('/');
        std::string component(rest.substr(0, slash));
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
        if (component.empty() || component == ".")
            continue;
        if (component == "..")
            die("--cwd must stay below SCRATCH:", o.cwd);
        int child = open_below(dir, component.c_str());
        if (child < 0)
            die("cannot enter working directory component", component, errno);
        if (parent >= 0)
            close(parent);
        parent = dir;
        dir = child;
        last = component;
    }
    if (o.tmpfs_size) {
        if (parent < 0)
            die("--tmpfs-root needs a working directory below SCRATCH");
        std::string data = std::string("size=") + o.tmpfs_size + ",mode=0755";
        if (fchdir(parent) != 0 || mount("tmpfs", last.c_str(), "tmpfs", MS_NODEV | MS_NOSUID, data.c_str()) != 0)
            die("cannot mount tmpfs over the working directory", data, errno);
        close(dir);
        dir = open_below(parent, last.c_str());  // a fresh lookup enters the new mount
        if (dir < 0)
            die("cannot enter tmpfs", last, errno);
    }
    if (fchdir(dir) != 0)
        die("cannot change into working directory", o.cwd, errno);
    close(dir);
    if (parent >= 0)
        close(parent);
}

// The flags of a mount that a bind remount must name again to keep them.
unsigned long kept_flags(std::string_view options)
{
    constexpr std::array<std::pair<std::string_view, unsigned long>, 6> FLAGS{{
        {"nosuid", MS_NOSUID}, {"nodev", MS_NODEV}, {"noexec", MS_NOEXEC},
        {"noatime", MS_NOATIME}, {"nodiratime", MS_NODIRATIME}, {"relatime", MS_RELATIME}}};
    unsigned long flags = 0;
    while (!options.empty()) {
        const std::size_t comma = options.find(',');
        const std::string_view option = options.substr(0, comma);
        options = comma == std::string_view::npos ? std::string_view{} : options.substr(comma + 1);
        for (const auto& [name, flag] : FLAGS)
            if (option == name)
                flags |= flag;
    }
    return flags;
}

// A mount point as /proc/self/mountinfo writes it, octal escapes undone.
std::string unescape(std::string_view field)
{
    std::string path;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            path += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            path += field[i];
        }
    }
    return path;
}

std::string canonical(const char* path)
{
    char* const resolved = realpath(path, nullptr);
    if (!resolved)
        die("cannot resolve", path, errno);
    std::string result = resolved;
    std::free(resolved);
    return result;
}

// Where mount_setattr is missing (an older kernel, or user-mode emulation
// running the 32-bit build), every mount at or below `top` is remounted
// one by one with `read_only` (MS_RDONLY or 0). Mounts hidden under others
// cannot be reached by any path, so they need no change.
bool remount_each_below(const std::string& top, unsigned long read_only)
{
    FILE* const table = std::fopen("/proc/self/mountinfo", "re");
    if (!table)
        return false;
    const std::string prefix = top.ends_with('/') ? top : top + "/";
    bool ok = true;
    char* line = nullptr;
    std::size_t size = 0;
    while (getline(&line, &size, table) > 0) {
        // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS ...
        std::string_view fields = line;
        std::array<std::string_view, 6> field{};
        for (std::string_view& f : field) {
            const std::size_t space = fields.find(' ');
            f = fields.substr(0, space);
            fields = space == std::string_view::npos ? std::string_view{} : fields.substr(space + 1);
        }
        const std::string point = unescape(field[4]);
        if (point != top && !point.starts_with(prefix))
            continue;
        const unsigned long flags = MS_REMOUNT | MS_BIND | read_only | kept_flags(field[5]);
        if (mount(nullptr, point.c_str(), nullptr, flags, nullptr) != 0 && errno != ENOENT)
            ok = false;
    }
    std::free(line);
    std::fclose(table);
    return ok;
}

void isolate(const Options& o)
{
    if (unshare(CLONE_NEWNS) != 0)
        die("unshare(CLONE_NEWNS) (needs root)", {}, errno);
    // Nothing mounted from here on may reach the host's namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        die("cannot make / private", {}, errno);
    // Opened only now: a bind mount's source must belong to the new namespace.
    int scratch = open(o.scratch, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (scratch < 0)
        die("cannot open scratch directory", o.scratch, errno);
    struct stat root, here;
    if (stat("/", &root) != 0 || fstat(scratch, &here) != 0 || same_file(root, here))
        die("refusing \"/\" as scratch directory");
    // Everything but the scratch tree becomes read-only, so that a program
    // writing where it should not (an archive entry with an absolute path,
    // a purge escaping its root) fails instead of harming the host. The
    // scratch tree is first bound onto itself to get a mount of its own.
    if (mount(fd_path(scratch).c_str(), fd_path(scratch).c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        die("cannot bind the scratch directory onto itself", {}, errno);
    close(scratch);
    scratch = open(o.scratch, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (scratch < 0)
        die("cannot open scratch directory", o.scratch, errno);
    mount_attr read_only{};
    read_only.attr_set = MOUNT_ATTR_RDONLY;
    if (mount_setattr(AT_FDCWD, "/", AT_RECURSIVE, &read_only, sizeof read_only) != 0 &&
        (errno != ENOSYS || !remount_each_below("/", MS_RDONLY)))
        die("cannot make the host's mounts read-only", {}, errno);
    mount_attr writable{};
    writable.attr_clr = MOUNT_ATTR_RDONLY;
    if (mount_setattr(scratch, "", AT_EMPTY_PATH | AT_RECURSIVE, &writable, sizeof writable) != 0 &&
        (errno != ENOSYS || !remount_each_below(canonical(o.scratch), 0)))
        die("cannot make the scratch directory writable", {}, errno);
    for (const DeviceMount& m : DEVICE_MOUNTS)
        mount_device_dir(scratch, m);
    enter_working_directory(scratch, o);
    close(scratch);
}

void set_environment(const Options& o)
{
    bool hooks = false;  // FWU_* variables are the preload library's
    for (const char* assignment : o.env) {
        if (putenv(const_cast<char*>(assignment)) != 0)
            die("cannot set", assignment, errno);
        hooks = hooks || std::string_view(assignment).starts_with("FWU_");
    }
    if (!o.statfs_root.empty()) {
        setenv("FWU_STATFS_ROOT", o.statfs_root.c_str(), 1);
        hooks = true;
    }
    if (!o.fail_rules.empty()) {
        setenv("FWU_FAIL", o.fail_rules.c_str(), 1);
        hooks = true;
    }
    if (hooks) {
        const char* preload = std::getenv("LD_PRELOAD");
        std::string value = preload && *preload ? std::string(preload) + ":" FWU_TESTHOOKS_PATH : FWU_TESTHOOKS_PATH;
        setenv("LD_PRELOAD", value.c_str(), 1);
    }
}

void set_identity(Identity identity)
{
    switch (identity) {
    case Identity::root:
        return;
    case Identity::user:
        if (setgroups(0, nullptr) != 0 || setresgid(NOBODY, NOBODY, NOBODY) != 0 ||
            setresuid(NOBODY, NOBODY, NOBODY) != 0)
            die("cannot become uid/gid 65534", {}, errno);
        return;
    case Identity::euid:
        if (setresuid(0, NOBODY, 0) != 0)
            die("cannot set effective uid 65534", {}, errno);
        return;
    case Identity::setuid:  // as a set-user-ID root program run by a user
        if (setresuid(NOBODY, 0, 0) != 0)
            die("cannot set real uid 65534", {}, errno);
        return;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Options o = parse(argc, argv);
    isolate(o);
    set_environment(o);
    set_identity(o.identity);
    char* empty[] = {nullptr};
    char** args = o.no_argv ? empty : o.program;
    const char* file = o.program[0];
    if (o.argv0 && !o.no_argv)
        args[0] = const_cast<char*>(o.argv0);
    execvp(file, args);
    die("cannot run", file, errno);
}
