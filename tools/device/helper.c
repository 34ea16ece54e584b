/* Guest-side helper of the emulated target, linked statically for i386 and
 * also run on the host, so that both sides list trees in the same format.
 *
 *   helper leds LOG NAME...  create one user-space LED per NAME through
 *                            /dev/uleds, then go to the background and append
 *                            "SECONDS.MICROS NAME VALUE" to LOG for every
 *                            brightness change until SIGTERM.
 *   helper tree DIR          list DIR recursively, one sorted line per entry:
 *                            path type mode uid gid size mtime nlink extra,
 *                            where extra is a content hash, a link target or
 *                            a device number.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <inttypes.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>

/* The kernel's struct uleds_user_dev: the LED is created by writing it. */
struct uleds_user_dev {
    char name[64];
    int max_brightness;
};
_Static_assert(sizeof(struct uleds_user_dev) == 68, "uleds ABI");

enum { MAX_LEDS = 8 };

static volatile sig_atomic_t stop;

static void on_term(int sig)
{
    (void)sig;
    stop = 1;
}

static int leds(const char *log, int count, char **names)
{
    struct pollfd fds[MAX_LEDS];
    if (count > MAX_LEDS) {
        fprintf(stderr, "helper: at most %d LEDs\n", MAX_LEDS);
        return 2;
    }
    for (int i = 0; i < count; i++) {
        struct uleds_user_dev dev = { .max_brightness = 1 };
        strncpy(dev.name, names[i], sizeof dev.name - 1);
        fds[i].fd = open("/dev/uleds", O_RDWR);
        fds[i].events = POLLIN;
        if (fds[i].fd < 0 || write(fds[i].fd, &dev, sizeof dev) != sizeof dev) {
            perror(names[i]);
            return 1;
        }
        /* The driver reports the initial brightness as a change: drop it. */
        int initial;
        fcntl(fds[i].fd, F_SETFL, O_NONBLOCK);
        if (read(fds[i].fd, &initial, sizeof initial) < 0)
            perror(names[i]);
    }
    int out = open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out < 0) {
        perror(log);
        return 1;
    }
    /* The LEDs live as long as their descriptors: the child keeps them, the
     * parent returns once they exist so that the caller can go on. */
    pid_t pid = fork();
    if (pid != 0)
        return pid < 0;
    setsid();
    signal(SIGTERM, on_term);
    while (!stop) {
        if (poll(fds, (nfds_t)count, -1) < 0)
            continue;
        for (int i = 0; i < count; i++) {
            int value;
            if (!(fds[i].revents & POLLIN) || read(fds[i].fd, &value, sizeof value) != sizeof value)
                continue;
            struct timeval now;
            gettimeofday(&now, NULL);
            char line[128];
            int n = snprintf(line, sizeof line, "%lld.%06ld %s %d\n", (long long)now.tv_sec,
                             (long)now.tv_usec, names[i], value);
            if (write(out, line, (size_t)n) != n)
                return 1;
        }
    }
    return 0;
}

static uint64_t content_hash(const char *path)
{
    uint64_t h = 14695981039346656037ull; /* FNV-1a */
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return 0;
    unsigned char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        for (ssize_t i = 0; i < n; i++)
            h = (h ^ buf[i]) * 1099511628211ull;
    close(fd);
    return h;
}

static int by_name(const struct dirent **a, const struct dirent **b)
{
    return strcmp((*a)->d_name, (*b)->d_name);
}

static void list(const char *dir, const char *rel)
{
    struct dirent **names;
    int count = scandir(dir, &names, NULL, by_name);
    if (count < 0) {
        perror(dir);
        return;
    }
    for (int i = 0; i < count; i++) {
        const char *name = names[i]->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        char path[4096], relpath[4096];
        snprintf(path, sizeof path, "%s/%s", dir, name);
        snprintf(relpath, sizeof relpath, "%s/%s", rel, name);
        struct stat st;
        if (lstat(path, &st) != 0) {
            perror(path);
            continue;
        }
        char extra[4200] = "-";
        char type = '?';
        if (S_ISREG(st.st_mode)) {
            type = 'f';
            snprintf(extra, sizeof extra, "%016" PRIx64, content_hash(path));
        } else if (S_ISDIR(st.st_mode)) {
            type = 'd';
        } else if (S_ISLNK(st.st_mode)) {
            type = 'l';
            char target[4096];
            ssize_t n = readlink(path, target, sizeof target - 1);
            target[n < 0 ? 0 : n] = 0;
            snprintf(extra, sizeof extra, "->%s", target);
        } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
            type = S_ISCHR(st.st_mode) ? 'c' : 'b';
            snprintf(extra, sizeof extra, "%u,%u", major(st.st_rdev), minor(st.st_rdev));
        } else if (S_ISFIFO(st.st_mode)) {
            type = 'p';
        } else if (S_ISSOCK(st.st_mode)) {
            type = 's';
        }
        /* Only file and link sizes mean the same on every file system; so do
         * link counts of everything but directories. */
        long long size = S_ISREG(st.st_mode) || S_ISLNK(st.st_mode) ? (long long)st.st_size : 0;
        unsigned long nlink = S_ISDIR(st.st_mode) ? 0 : (unsigned long)st.st_nlink;
        printf("%s %c %04o %u %u %lld %lld %lu %s\n", relpath, type,
               (unsigned)(st.st_mode & 07777), (unsigned)st.st_uid, (unsigned)st.st_gid, size,
               (long long)st.st_mtime, nlink, extra);
        if (S_ISDIR(st.st_mode))
            list(path, relpath);
    }
    for (int i = 0; i < count; i++)
        free(names[i]);
    free(names);
}

int main(int argc, char **argv)
{
    if (argc >= 4 && strcmp(argv[1], "leds") == 0)
        return leds(argv[2], argc - 3, argv + 3);
    if (argc == 3 && strcmp(argv[1], "tree") == 0) {
        list(argv[2], ".");
        return fflush(stdout) != 0;
    }
    fprintf(stderr, "usage: helper leds LOG NAME... | helper tree DIR\n");
    return 2;
}
