/* libfwu-testhooks.so: an LD_PRELOAD library, used only by tests, that
 * interposes a few libc functions to fake or fail them.
 *
 *   FWU_STATFS_ROOT=nfs        statfs/fstatfs of "/" report the NFS magic
 *   FWU_STATFS_ROOT=EIO        ... or fail with that errno (name or number)
 *   FWU_FAIL=RULE[,RULE...]    RULE is FUNC:N[+]:ERRNO[:MATCH]
 *
 * A rule makes the N-th call of FUNC fail with ERRNO ("N+": that call and
 * every later one). A trailing "64" of a function name is ignored on both
 * sides, so "open" also counts open64 calls and a rule holds on the 32-bit
 * build, which calls the 64-bit variants, as on the native one. With MATCH,
 * only calls whose path argument (or, for a descriptor, the file it refers
 * to) contains MATCH are counted. Each rule counts on its own. ERRNO
 * KILL makes that call kill the process with SIGKILL instead, before it
 * runs: a power cut at a chosen point, for tests of interrupted updates.
 * ERRNO RENAME renames FWU_RENAME_FROM to FWU_RENAME_TO just before that
 * call runs, as another process could at that moment. ERRNO OVERWRITE
 * writes the bytes of FWU_OVERWRITE_FROM over FWU_OVERWRITE_TO in place
 * (the same file, cut or grown to their length) just before that call runs:
 * a file rewritten, cut short or appended to under a program that holds it.
 * ERRNO STOP stops the process (SIGSTOP) just before that call runs, for a
 * person to change something at that moment; SIGCONT lets the call run.
 *
 *   FWU_TRACE=FILE             appends a line to FILE for every call of
 *                              sync ("sync") and ioctl ("ioctl PATH 0xREQUEST")
 *   FWU_CLOCK_STEP=1           every gettimeofday answers one second later
 *                              than the one before (the first: the real time)
 *
 * Written in C and without heap use so that it adds nothing but these
 * symbols to the process under test. */

/* The 32-bit build redirects statfs to statfs64 etc. when this is set;
 * here both names must be defined separately. */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#ifndef _LARGEFILE64_SOURCE
#define _LARGEFILE64_SOURCE
#endif

#include <dirent.h>
#include <stdint.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <unistd.h>

#define NFS_SUPER_MAGIC 0x6969
#define MAX_RULES 16

struct rule {
    char function[32];
    char match[256];
    unsigned long nth;
    int and_later;
    int error;
    int kill;   /* the action is SIGKILL, not an errno */
    int rename; /* the action is a rename, the call then runs */
    int overwrite; /* the action is an overwrite, the call then runs */
    int stop;   /* the action is SIGSTOP, the call runs after SIGCONT */
    unsigned long calls;
};

extern char **environ;

static struct rule rules[MAX_RULES];
static int rule_count = -1; /* -1: FWU_FAIL not parsed yet */

static const struct {
    const char *name;
    int value;
} ERRNO_NAMES[] = {
    {"EPERM", EPERM},   {"ENOENT", ENOENT}, {"EINTR", EINTR},   {"EIO", EIO},
    {"ENXIO", ENXIO},   {"EBADF", EBADF},   {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM},
    {"EACCES", EACCES}, {"EBUSY", EBUSY},   {"EEXIST", EEXIST}, {"ENODEV", ENODEV},
    {"ENOTDIR", ENOTDIR}, {"EISDIR", EISDIR}, {"EINVAL", EINVAL}, {"ENFILE", ENFILE},
    {"EMFILE", EMFILE}, {"ENOTTY", ENOTTY}, {"EFBIG", EFBIG},   {"ENOSPC", ENOSPC},
    {"EROFS", EROFS},   {"ENAMETOOLONG", ENAMETOOLONG}, {"ELOOP", ELOOP},
    {"EOVERFLOW", EOVERFLOW}, {"EDQUOT", EDQUOT}, {"ESTALE", ESTALE},
};

/* Errno from a name such as "EIO" or a number; 0 when unknown. */
static int parse_errno(const char *text, size_t length)
{
    for (size_t i = 0; i < sizeof ERRNO_NAMES / sizeof ERRNO_NAMES[0]; i++)
        if (strlen(ERRNO_NAMES[i].name) == length && strncmp(ERRNO_NAMES[i].name, text, length) == 0)
            return ERRNO_NAMES[i].value;
    int value = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9')
            return 0;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

/* Length of a function name without a trailing "64". */
static size_t base_length(const char *name)
{
    size_t n = strlen(name);
    return n > 2 && strcmp(name + n - 2, "64") == 0 ? n - 2 : n;
}

static void copy_field(char *out, size_t size, const char *from, size_t length)
{
    if (length >= size)
        length = size - 1;
    memcpy(out, from, length);
    out[length] = '\0';
}

/* Parses one FUNC:N[+]:ERRNO[:MATCH] rule; a malformed one is reported and
 * dropped, so that a typo shows instead of silently testing nothing. */
static void parse_rule(const char *text, size_t length)
{
    const char *end = text + length;
    const char *colon1 = memchr(text, ':', length);
    const char *colon2 = colon1 ? memchr(colon1 + 1, ':', (size_t)(end - colon1 - 1)) : NULL;
    if (!colon2 || rule_count >= MAX_RULES) {
        fprintf(stderr, "fwu-testhooks: ignoring rule '%.*s'\n", (int)length, text);
        return;
    }
    const char *colon3 = memchr(colon2 + 1, ':', (size_t)(end - colon2 - 1));
    struct rule *r = &rules[rule_count];
    memset(r, 0, sizeof *r);
    copy_field(r->function, sizeof r->function, text, (size_t)(colon1 - text));
    r->function[base_length(r->function)] = '\0';
    char *after = NULL;
    r->nth = strtoul(colon1 + 1, &after, 10);
    r->and_later = after < colon2 && *after == '+';
    const size_t error_length = (size_t)((colon3 ? colon3 : end) - colon2 - 1);
    r->kill = error_length == 4 && strncmp(colon2 + 1, "KILL", 4) == 0;
    r->rename = error_length == 6 && strncmp(colon2 + 1, "RENAME", 6) == 0;
    r->overwrite = error_length == 9 && strncmp(colon2 + 1, "OVERWRITE", 9) == 0;
    r->stop = error_length == 4 && strncmp(colon2 + 1, "STOP", 4) == 0;
    r->error = parse_errno(colon2 + 1, error_length);
    if (colon3)
        copy_field(r->match, sizeof r->match, colon3 + 1, (size_t)(end - colon3 - 1));
    if (r->nth == 0 || (r->error == 0 && !r->kill && !r->rename && !r->overwrite && !r->stop)) {
        fprintf(stderr, "fwu-testhooks: ignoring rule '%.*s'\n", (int)length, text);
        return;
    }
    rule_count++;
}

static void load_rules(void)
{
    rule_count = 0;
    const char *text = getenv("FWU_FAIL");
    while (text && *text) {
        const char *comma = strchr(text, ',');
        size_t length = comma ? (size_t)(comma - text) : strlen(text);
        if (length)
            parse_rule(text, length);
        text = comma ? comma + 1 : NULL;
    }
}

/* The file a descriptor refers to, for matching; "" when unknown. */
static const char *fd_path(int fd, char *buffer, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = fd >= 0 ? readlink(link, buffer, size - 1) : -1;
    buffer[n > 0 ? n : 0] = '\0';
    return buffer;
}

static void *next(const char *name);

/* The OVERWRITE action, through the real functions so that no rule counts
 * its calls. */
static void overwrite(const char *from, const char *to)
{
    int (*open_real)(const char *, int, ...) = (int (*)(const char *, int, ...))next("open");
    ssize_t (*read_real)(int, void *, size_t) = (ssize_t (*)(int, void *, size_t))next("read");
    ssize_t (*write_real)(int, const void *, size_t) = (ssize_t (*)(int, const void *, size_t))next("write");
    int (*close_real)(int) = (int (*)(int))next("close");
    const int in = from ? open_real(from, O_RDONLY | O_LARGEFILE) : -1;
    const int out = to ? open_real(to, O_WRONLY | O_LARGEFILE) : -1;
    char buffer[65536];
    off_t length = 0;
    ssize_t n = 0;
    while (in >= 0 && out >= 0 && (n = read_real(in, buffer, sizeof buffer)) > 0 && write_real(out, buffer, (size_t)n) == n)
        length += n;
    if (in < 0 || out < 0 || n != 0 || ftruncate(out, length) != 0)
        perror("fwu-testhooks: overwrite");
    close_real(in);
    close_real(out);
}

/* Counts a call of `function` on `path` (null: unknown) against every rule
 * and returns the errno to fail it with, or 0 to let it through. */
static int injected_error(const char *function, const char *path, int fd)
{
    /* A sanitizer runtime calls in before libc has set up the environment:
     * read the rules only once there is one to read them from. */
    if (rule_count < 0 && environ)
        load_rules();
    int error = 0;
    char buffer[4096];
    for (int i = 0; i < rule_count; i++) {
        struct rule *r = &rules[i];
        if (strlen(r->function) != base_length(function) || strncmp(r->function, function, strlen(r->function)) != 0)
            continue;
        if (r->match[0]) {
            if (!path)
                path = fd_path(fd, buffer, sizeof buffer);
            if (!strstr(path, r->match))
                continue;
        }
        r->calls++;
        if (r->calls == r->nth || (r->and_later && r->calls > r->nth)) {
            if (r->kill)
                raise(SIGKILL);
            if (r->stop)
                raise(SIGSTOP);
            if (r->rename && getenv("FWU_RENAME_FROM") && getenv("FWU_RENAME_TO") &&
                rename(getenv("FWU_RENAME_FROM"), getenv("FWU_RENAME_TO")) != 0)
                perror("fwu-testhooks: rename");
            if (r->overwrite)
                overwrite(getenv("FWU_OVERWRITE_FROM"), getenv("FWU_OVERWRITE_TO"));
            error = r->error;
        }
    }
    return error;
}

static void *next(const char *name)
{
    void *real = dlsym(RTLD_NEXT, name);
    if (!real) {
        fprintf(stderr, "fwu-testhooks: no next %s\n", name);
        abort();
    }
    return real;
}

#define REAL(name) static __typeof__(name) *real; if (!real) real = (__typeof__(name) *)next(#name)
#define FAIL_IF_INJECTED(path, fd, failed) do { \
        int e_ = injected_error(__func__, (path), (fd)); \
        if (e_) { errno = e_; return (failed); } } while (0)

/* ---- statfs of the root file system ---- */

static int same_file(const struct stat *a, const struct stat *b)
{
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

/* 0: leave the call alone; NFS_SUPER_MAGIC: fake NFS; else an errno. */
static int root_mode(const char *path, int fd)
{
    const char *mode = getenv("FWU_STATFS_ROOT");
    if (!mode || !*mode)
        return 0;
    REAL(fstat); /* the hooked fstat would count this call against rules */
    struct stat root, other;
    if (stat("/", &root) != 0 || (path ? stat(path, &other) : real(fd, &other)) != 0)
        return 0;
    if (!same_file(&root, &other))
        return 0;
    if (strcmp(mode, "nfs") == 0)
        return NFS_SUPER_MAGIC;
    int error = parse_errno(mode, strlen(mode));
    if (!error)
        fprintf(stderr, "fwu-testhooks: ignoring FWU_STATFS_ROOT=%s\n", mode);
    return error;
}

#define STATFS_HOOK(name, arg_type, buf_type, path, fd) \
    int name(arg_type target, buf_type *buf) \
    { \
        REAL(name); \
        FAIL_IF_INJECTED(path, fd, -1); \
        int mode = root_mode(path, fd); \
        if (mode && mode != NFS_SUPER_MAGIC) { errno = mode; return -1; } \
        int result = real(target, buf); \
        if (mode == NFS_SUPER_MAGIC && result == 0) buf->f_type = NFS_SUPER_MAGIC; \
        return result; \
    }

STATFS_HOOK(statfs, const char *, struct statfs, target, -1)
STATFS_HOOK(statfs64, const char *, struct statfs64, target, -1)
STATFS_HOOK(fstatfs, int, struct statfs, NULL, target)
STATFS_HOOK(fstatfs64, int, struct statfs64, NULL, target)

/* ---- generic fault injection ---- */

static mode_t mode_argument(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

#define OPEN_HOOK(name) \
    int name(const char *path, int flags, ...) \
    { \
        REAL(name); \
        va_list args; va_start(args, flags); mode_t mode = mode_argument(flags, args); va_end(args); \
        FAIL_IF_INJECTED(path, -1, -1); \
        return real(path, flags, mode); \
    }
#define OPENAT_HOOK(name) \
    int name(int dir, const char *path, int flags, ...) \
    { \
        REAL(name); \
        va_list args; va_start(args, flags); mode_t mode = mode_argument(flags, args); va_end(args); \
        FAIL_IF_INJECTED(path, -1, -1); \
        return real(dir, path, flags, mode); \
    }
OPEN_HOOK(open)
OPEN_HOOK(open64)
OPENAT_HOOK(openat)
OPENAT_HOOK(openat64)

#define MMAP_HOOK(name, off_type) \
    void *name(void *address, size_t length, int protection, int flags, int fd, off_type offset) \
    { \
        REAL(name); \
        FAIL_IF_INJECTED(NULL, fd, MAP_FAILED); \
        return real(address, length, protection, flags, fd, offset); \
    }
MMAP_HOOK(mmap, off_t)
MMAP_HOOK(mmap64, off64_t)

#define FD_HOOK(result, name, failed, params, args) \
    result name params \
    { \
        REAL(name); \
        FAIL_IF_INJECTED(NULL, fd, failed); \
        return real args; \
    }
FD_HOOK(ssize_t, read, -1, (int fd, void *buffer, size_t size), (fd, buffer, size))
FD_HOOK(ssize_t, write, -1, (int fd, const void *buffer, size_t size), (fd, buffer, size))
FD_HOOK(int, fstat, -1, (int fd, struct stat *buf), (fd, buf))
FD_HOOK(int, fstat64, -1, (int fd, struct stat64 *buf), (fd, buf))
FD_HOOK(int, close, -1, (int fd), (fd))
FD_HOOK(DIR *, fdopendir, NULL, (int fd), (fd))

#define PATH_HOOK(result, name, failed, params, args) \
    result name params \
    { \
        REAL(name); \
        FAIL_IF_INJECTED(path, -1, failed); \
        return real args; \
    }
PATH_HOOK(DIR *, opendir, NULL, (const char *path), (path))
PATH_HOOK(int, unlink, -1, (const char *path), (path))
PATH_HOOK(int, rmdir, -1, (const char *path), (path))
PATH_HOOK(int, unlinkat, -1, (int dir, const char *path, int flags), (dir, path, flags))
PATH_HOOK(int, lstat, -1, (const char *path, struct stat *buf), (path, buf))
PATH_HOOK(int, lstat64, -1, (const char *path, struct stat64 *buf), (path, buf))
PATH_HOOK(int, fstatat, -1, (int dir, const char *path, struct stat *buf, int flags), (dir, path, buf, flags))
PATH_HOOK(int, fstatat64, -1, (int dir, const char *path, struct stat64 *buf, int flags), (dir, path, buf, flags))

/* The tool's hashing releases the archive's pages as it goes, once per
 * mebibyte: the one call in it that a rule can count. */
int madvise(void *address, size_t length, int advice)
{
    REAL(madvise);
    FAIL_IF_INJECTED(NULL, -1, -1);
    return real(address, length, advice);
}

/* ---- traced calls and a stepping clock ---- */

static void trace(const char *format, ...)
{
    const char *file = getenv("FWU_TRACE");
    if (!file || !*file)
        return;
    char line[4200];
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    int (*open_real)(const char *, int, ...) = (int (*)(const char *, int, ...))next("open");
    ssize_t (*write_real)(int, const void *, size_t) = (ssize_t (*)(int, const void *, size_t))next("write");
    int (*close_real)(int) = (int (*)(int))next("close");
    const int fd = open_real(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || length < 0 || write_real(fd, line, (size_t)length) != length)
        perror("fwu-testhooks: trace");
    close_real(fd);
}

static void trace_ioctl(int fd, unsigned long request)
{
    char path[4096];
    trace("ioctl %s 0x%lx\n", fd_path(fd, path, sizeof path), request);
}

void sync(void)
{
    REAL(sync);
    trace("sync\n");
    real();
}

int ioctl(int fd, unsigned long request, ...)
{
    REAL(ioctl);
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    trace_ioctl(fd, request);
    FAIL_IF_INJECTED(NULL, fd, -1);
    return real(fd, request, argument);
}

/* With FWU_CLOCK_STEP=1, what a gettimeofday call answers in place of the
 * real time: the first answer, then one second more at every call, the
 * microseconds staying those of the first answer. */
static void step_clock(long long *seconds, long long *micros)
{
    static long long first_seconds, first_micros, calls;
    const char *step = getenv("FWU_CLOCK_STEP");
    if (!step || strcmp(step, "1") != 0)
        return;
    if (calls++ == 0) {
        first_seconds = *seconds;
        first_micros = *micros;
    }
    *seconds = first_seconds + calls - 1;
    *micros = first_micros;
}

int gettimeofday(struct timeval *restrict tv, void *restrict tz)
{
    REAL(gettimeofday);
    const int result = real(tv, tz);
    long long seconds = tv->tv_sec, micros = tv->tv_usec;
    if (result == 0)
        step_clock(&seconds, &micros);
    tv->tv_sec = (time_t)seconds;
    tv->tv_usec = (suseconds_t)micros;
    return result;
}

#if defined(__i386__)
/* A 32-bit program built with 64-bit time calls these in place of fstat64,
 * fstatat64 and ioctl; rules name them as those. */
#define TIME64_HOOK(name, as, path, fd, params, args) \
    int name params \
    { \
        REAL(name); \
        const int error = injected_error(as, path, fd); \
        if (error) { errno = error; return -1; } \
        return real args; \
    }
TIME64_HOOK(__fstat64_time64, "fstat", NULL, fd, (int fd, void *buf), (fd, buf))
TIME64_HOOK(__fstatat64_time64, "fstatat", path, -1,
            (int dir, const char *path, void *buf, int flags), (dir, path, buf, flags))
int __ioctl_time64(int fd, unsigned long request, void *argument)
{
    REAL(__ioctl_time64);
    trace_ioctl(fd, request);
    const int error = injected_error("ioctl", NULL, fd);
    if (error) { errno = error; return -1; }
    return real(fd, request, argument);
}

struct timeval64 {
    long long tv_sec;
    long long tv_usec;
};
int __gettimeofday64(struct timeval64 *tv, void *tz);
int __gettimeofday64(struct timeval64 *tv, void *tz)
{
    REAL(__gettimeofday64);
    const int result = real(tv, tz);
    if (result == 0)
        step_clock(&tv->tv_sec, &tv->tv_usec);
    return result;
}
#endif

char *getcwd(char *buffer, size_t size)
{
    REAL(getcwd);
    FAIL_IF_INJECTED("", -1, NULL);
    return real(buffer, size);
}

