// The extraction loop (extract_archive) on arbitrary archive bytes.
//
// The tool extracts without any of libarchive's safety flags, so a fuzzed
// archive can name absolute paths, climb with "..", write through symbolic
// links and hard links and create device nodes. Every extraction therefore
// runs in a worker thread that has its own root and working directory
// (unshare(CLONE_FS)) and is chrooted into a private tmpfs that is mounted
// nowhere (fsmount without move_mount), small, and nodev, nosuid and noexec.
// No path the archive names can leave it. See README.md.
//
// Per input: the bytes go into a memfd; a first pass lists the entries with
// libarchive; then the tool's own open_archive_reader and extract_archive
// run on them. The tool ends the process on a failed entry; exit is wrapped
// so that this returns here with status 255 instead. The check: whenever
// the tool reports success, every listed entry but the kernel image was
// extracted, and the listing reached the end of the archive.
#include <archive.h>
#include <archive_entry.h>
#include <sanitizer/common_interface_defs.h>
#include <fcntl.h>
#include <sched.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>

#include "indicators/fb.h"
#include "update/archive_layout.h"
#include "update/update_options.h"

extern "C" {
[[noreturn]] void __real_exit(int status);
int __real_archive_read_extract(struct archive* reader, struct archive_entry* entry, int flags);
}

// libFuzzer's own handler for a sanitizer's fatal report, which writes the
// crash input; it is chained to from ours so that it runs outside the jail.
namespace fuzzer {
struct Fuzzer {
    static void StaticDeathCallback();
};
}  // namespace fuzzer

namespace {

constexpr int CRASH_SIGNALS[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};

// Set once in LLVMFuzzerInitialize.
int host_root = -1;  // the real "/" and working directory, to leave the jail
int host_cwd = -1;   // before libFuzzer writes a crash input
int archive_fd = -1;
int ubifs_error_fd = -1;  // stands in for the UBIFS debug switch
uint16_t* frame = nullptr;

// The worker's state.
thread_local bool jailed = false;
thread_local bool in_extraction = false;
int jail = -1;  // the current jail's root, to go back in
jmp_buf exit_jump;
int exit_status = 0;
int extract_calls = 0;
int entries_extracted = 0;

struct sigaction previous_actions[NSIG];

void say(const char* text)
{
    [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, text, std::strlen(text));
}

void leave_jail()
{
    if (!jailed)
        return;
    jailed = false;
    if (fchdir(host_root) != 0 || chroot(".") != 0 || fchdir(host_cwd) != 0)
        say("extract_fuzz: cannot leave the jail; a crash input may not be saved\n");
}

// Only after the jail was left for a handler that came back.
void reenter_jail()
{
    if (fchdir(jail) != 0 || chroot(".") != 0) {
        say("extract_fuzz: cannot re-enter the jail\n");
        _exit(125);
    }
    jailed = true;
}

[[noreturn]] void fail(const char* what)
{
    leave_jail();
    std::fprintf(stderr, "extract_fuzz: %s\n", what);
    std::abort();
}

void on_crash_signal(int signal, siginfo_t* info, void* context)
{
    const bool was_jailed = jailed;
    leave_jail();
    const struct sigaction& old = previous_actions[signal];
    if (old.sa_flags & SA_SIGINFO) {
        old.sa_sigaction(signal, info, context);
    } else if (old.sa_handler == SIG_DFL) {
        ::signal(signal, SIG_DFL);
        raise(signal);
    } else if (old.sa_handler != SIG_IGN) {
        old.sa_handler(signal);
    }
    if (was_jailed)
        reenter_jail();
}

void on_sanitizer_death()
{
    leave_jail();
    fuzzer::Fuzzer::StaticDeathCallback();
}

// Runs once libFuzzer has installed its own handlers, which ours wrap.
void chain_crash_handlers()
{
    for (const int signal : CRASH_SIGNALS) {
        struct sigaction action {};
        action.sa_sigaction = on_crash_signal;
        action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;  // ASan's stack for overflows
        sigaction(signal, &action, &previous_actions[signal]);
    }
    __sanitizer_set_death_callback(on_sanitizer_death);
}

// A fresh, empty jail: a private tmpfs attached to no mount point.
void enter_fresh_jail()
{
    const int context = fsopen("tmpfs", FSOPEN_CLOEXEC);
    const bool configured = context >= 0 && fsconfig(context, FSCONFIG_SET_STRING, "size", "32m", 0) == 0 &&
                            fsconfig(context, FSCONFIG_SET_STRING, "nr_inodes", "8192", 0) == 0 &&
                            fsconfig(context, FSCONFIG_SET_STRING, "mode", "0755", 0) == 0 &&
                            fsconfig(context, FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) == 0;
    const int mount =
        configured ? fsmount(context, FSMOUNT_CLOEXEC, MOUNT_ATTR_NODEV | MOUNT_ATTR_NOSUID | MOUNT_ATTR_NOEXEC) : -1;
    if (context >= 0)
        close(context);
    if (mount < 0 || fchdir(mount) != 0 || chroot(".") != 0) {
        perror("extract_fuzz: cannot enter a private tmpfs");
        _exit(125);  // never extract outside the jail
    }
    if (jail >= 0)
        close(jail);
    jail = mount;
    jailed = true;
}

struct listing {
    int entries = 0;
    int kernel_images = 0;
    bool complete = false;  // the headers were read up to the end
};

listing list_entries(int fd)
{
    listing l;
    struct archive* const reader = archive_read_new();
    archive_read_support_format_tar(reader);
    archive_read_support_filter_all(reader);
    if (archive_read_open_fd(reader, fd, READ_BLOCK_SIZE) == ARCHIVE_OK) {
        struct archive_entry* entry = nullptr;
        int status;
        while ((status = archive_read_next_header(reader, &entry)) == ARCHIVE_OK || status == ARCHIVE_RETRY) {
            if (status == ARCHIVE_RETRY)
                continue;
            ++l.entries;
            const char* const path = archive_entry_pathname(entry);
            if (path != nullptr && path == KERNEL_IMAGE_ENTRY)
                ++l.kernel_images;
        }
        l.complete = status == ARCHIVE_EOF;
    }
    archive_read_free(reader);
    return l;
}

// The tool's stages as main runs them; returns the exit status. The input's
// size picks the -e count, so that the simulated UBIFS error fires too.
int run_tool(int fd, std::size_t size)
{
    update_options = {};
    update_options.fail_after_files = static_cast<uint32_t>(size % 4);
    lseek(ubifs_error_fd, 0, SEEK_SET);
    update_options.led1_fd = update_options.led2_fd = -1;
    update_options.fb_mem = frame;
    extract_calls = entries_extracted = 0;
    struct archive* reader = nullptr;
    const int status = open_archive_reader(fd, &reader);
    if (status != ARCHIVE_OK)
        return status & 0xff;
    in_extraction = true;
    if (setjmp(exit_jump) != 0) {
        in_extraction = false;
        archive_read_free(reader);  // left open by the tool's exit
        return exit_status & 0xff;
    }
    const int result = extract_archive(reader, 1, update_options.fail_after_files != 0 ? ubifs_error_fd : 0);
    in_extraction = false;
    return result & 0xff;
}

void extract_one(const uint8_t* data, std::size_t size)
{
    if (ftruncate(archive_fd, 0) != 0 || pwrite(archive_fd, data, size, 0) != static_cast<ssize_t>(size))
        fail("cannot store the input in the memfd");
    lseek(archive_fd, 0, SEEK_SET);
    const listing listed = list_entries(archive_fd);
    lseek(archive_fd, 0, SEEK_SET);
    const int status = run_tool(archive_fd, size);

    const int to_extract = listed.entries - listed.kernel_images;
    if (extract_calls > to_extract)
        fail("extracted more entries than the archive lists");
    if (status == 0 && !listed.complete)
        fail("exit status 0 although the archive could not be read to its end");
    if (status == 0 && entries_extracted != to_extract)
        fail("exit status 0 although not every entry was extracted");
    // Whatever the archive created is discarded with its jail.
    if (extract_calls > 0)
        enter_fresh_jail();
}

// The main thread hands each input to the worker and waits for it.
struct channel {
    std::mutex mutex;
    std::condition_variable changed;
    const uint8_t* data = nullptr;
    std::size_t size = 0;
    bool pending = false;
};
channel& work = *new channel;  // never destroyed: the worker outlives exit

void worker()
{
    sigset_t asynchronous;
    sigemptyset(&asynchronous);
    for (const int signal : {SIGALRM, SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2})
        sigaddset(&asynchronous, signal);
    pthread_sigmask(SIG_BLOCK, &asynchronous, nullptr);  // libFuzzer's timer goes to the main thread
    if (unshare(CLONE_FS) != 0) {
        perror("extract_fuzz: unshare(CLONE_FS)");
        _exit(125);
    }
    umask(022);
    enter_fresh_jail();
    std::unique_lock lock(work.mutex);
    while (true) {
        work.changed.wait(lock, [] { return work.pending; });
        extract_one(work.data, work.size);
        work.pending = false;
        work.changed.notify_all();
    }
}

}  // namespace

extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (in_extraction) {
        exit_status = status;
        longjmp(exit_jump, 1);
    }
    __real_exit(status);
}

// Flushing every file system of the host once per entry would make the
// fuzzer crawl and achieves nothing in a tmpfs.
extern "C" void __wrap_sync() {}

extern "C" int __wrap_archive_read_extract(struct archive* reader, struct archive_entry* entry, int flags)
{
    ++extract_calls;
    const int status = __real_archive_read_extract(reader, entry, flags);
    if (status == ARCHIVE_OK)
        ++entries_extracted;
    return status;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (geteuid() != 0) {
        std::fputs("extract_fuzz: must run as root (it extracts in a chroot on a private tmpfs)\n", stderr);
        std::exit(1);
    }
    host_root = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    host_cwd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    archive_fd = memfd_create("archive", MFD_CLOEXEC);
    ubifs_error_fd = memfd_create("ro_error", MFD_CLOEXEC);
    if (host_root < 0 || host_cwd < 0 || archive_fd < 0 || ubifs_error_fd < 0) {
        perror("extract_fuzz: set-up");
        std::exit(1);
    }
    frame = new uint16_t[FB_BYTES / sizeof(uint16_t)];
    // Start the external symbolizer now, from the unjailed main thread: a
    // report from the worker could not start it inside the jail.
    char symbol[64];
    __sanitizer_symbolize_pc(reinterpret_cast<void*>(&LLVMFuzzerInitialize), "%f", symbol, sizeof symbol);
    std::thread(worker).detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static std::once_flag chained;
    std::call_once(chained, chain_crash_handlers);
    std::unique_lock lock(work.mutex);
    work.data = data;
    work.size = size;
    work.pending = true;
    work.changed.notify_all();
    work.changed.wait(lock, [] { return !work.pending; });
    return 0;
}
