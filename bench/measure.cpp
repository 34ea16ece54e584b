// fwu-bench-measure: runs one command and prints, on one line, its wall time,
// CPU times, peak resident memory and exit status, as wait4 reports them.
//
//   fwu-bench-measure [--log FILE] -- PROGRAM [ARGS...]
//
// The command's standard output and error go to FILE (appended) or to
// /dev/null. The figures line goes to standard output:
//
//   wall_s=1.234567 user_s=1.000000 sys_s=0.200000 maxrss_kib=2048 status=0
//
// Peak resident memory is the kernel's high-water mark of the process and of
// every descendant it waited for. The kernel also folds in the mark of the
// image that exec replaces, which with posix_spawn's shared address space is
// this runner's own: it uses only C library calls to keep that at about 1 MiB,
// below anything it measures.
#include <fcntl.h>
#include <getopt.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace {

constexpr int USAGE = 125;

double seconds(const timeval& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* log = "/dev/null";
    static const option options[] = {{"log", required_argument, nullptr, 'l'}, {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int word = optind, id = 0;
    while ((id = getopt_long(argc, argv, "+", options, nullptr)) == 'l') {
        log = optarg;
        word = optind;
    }
    // PROGRAM comes only after "--".
    if (id != -1 || optind != word + 1 || std::strcmp(argv[word], "--") != 0 || optind >= argc) {
        std::fputs("usage: fwu-bench-measure [--log FILE] -- PROGRAM [ARGS...]\n", stderr);
        return USAGE;
    }
    char** const program = argv + optind;

    const int out = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0) {
        std::fprintf(stderr, "fwu-bench-measure: %s: %s\n", log, std::strerror(errno));
        return USAGE;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDERR_FILENO);

    const double start = now();
    pid_t pid = 0;
    if (const int err = posix_spawnp(&pid, program[0], &actions, nullptr, program, environ); err != 0) {
        std::fprintf(stderr, "fwu-bench-measure: cannot run %s: %s\n", program[0], std::strerror(err));
        return USAGE;
    }
    int wstatus = 0;
    rusage usage{};
    while (wait4(pid, &wstatus, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("fwu-bench-measure: wait4");
            return USAGE;
        }
    }
    const double wall = now() - start;
    const int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    std::printf("wall_s=%.6f user_s=%.6f sys_s=%.6f maxrss_kib=%ld status=%d\n", wall,
                seconds(usage.ru_utime), seconds(usage.ru_stime), usage.ru_maxrss, status);
    return 0;
}
