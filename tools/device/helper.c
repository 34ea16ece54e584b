/* Guest-side helper of the emulated target, linked statically for i386:
 * what busybox cannot do with the devices.
 *
 *   helper leds LOG NAME...  create one user-space LED per NAME through
 *                            /dev/uleds, then go to the background and append
 *                            "SECONDS.MICROS NAME VALUE" to LOG for every
 *                            brightness change until SIGTERM.
 *   helper fb pan            make /dev/fb0's virtual screen two pages high,
 *                            paint the second grey and show it, as a program
 *                            that flips pages may leave the display.
 *   helper fb shown          write the page that /dev/fb0 shows to stdout.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <linux/fb.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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

static int fb(const char *what)
{
    static unsigned char page[1 << 20];
    struct fb_var_screeninfo var;
    struct fb_fix_screeninfo fix;
    int fd = open("/dev/fb0", O_RDWR);
    if (fd < 0 || ioctl(fd, FBIOGET_VSCREENINFO, &var) != 0 || ioctl(fd, FBIOGET_FSCREENINFO, &fix) != 0) {
        perror("/dev/fb0");
        return 1;
    }
    size_t size = (size_t)fix.line_length * var.yres;
    if (size > sizeof page) {
        fprintf(stderr, "helper: a page of %zu bytes is too large\n", size);
        return 1;
    }
    if (strcmp(what, "shown") == 0) {
        ssize_t n = pread(fd, page, size, (off_t)var.yoffset * fix.line_length);
        return n != (ssize_t)size || write(1, page, size) != (ssize_t)size;
    }
    var.yres_virtual = 2 * var.yres;
    if (ioctl(fd, FBIOPUT_VSCREENINFO, &var) != 0) {
        perror("FBIOPUT_VSCREENINFO");
        return 1;
    }
    for (size_t i = 0; i + 1 < size; i += 2) {
        page[i] = 0x10; /* RGB565 0x8410, grey */
        page[i + 1] = 0x84;
    }
    var.yoffset = var.yres;
    if (pwrite(fd, page, size, (off_t)size) != (ssize_t)size || ioctl(fd, FBIOPAN_DISPLAY, &var) != 0) {
        perror("second page");
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc >= 4 && strcmp(argv[1], "leds") == 0)
        return leds(argv[2], argc - 3, argv + 3);
    if (argc == 3 && strcmp(argv[1], "fb") == 0 && (strcmp(argv[2], "pan") == 0 || strcmp(argv[2], "shown") == 0))
        return fb(argv[2]);
    fprintf(stderr, "usage: helper leds LOG NAME... | helper fb pan|shown\n");
    return 2;
}
