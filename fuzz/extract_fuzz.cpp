// The extraction loop on arbitrary archive bytes.
//
// The tool passes libarchive no safety flag, so an archive may name absolute
// paths, climb with "..", write through links and make device nodes, all as
// root. Each input is therefore extracted by a thread of its own, in a mount
// namespace of its own, chrooted into a fresh tmpfs that is small, nodev,
// nosuid and noexec: no path leads out of it, no other process sees it, and
// it goes away with the thread. libFuzzer's threads stay outside.
//
// The check: whenever the tool reports success, it read the headers up to
// the end of the archive and extracted every entry but the kernel image.
#include <archive.h>
#include <archive_entry.h>
#include <sanitizer/common_interface_defs.h>
#include <fcntl.h>
#include <sched.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <unistd.h>

#include <thread>

#include "check.h"
#include "contract/update_archive.h"
#include "digest/sha256.h"
#include "state/update_options.h"
#include "update/stages.h"

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" int __real_archive_read_next_header(struct archive* reader, struct archive_entry** entry);
extern "C" int __real_archive_read_extract(struct archive* reader, struct archive_entry* entry, int flags);

// The real root and working directory, so that a crash input can be saved
// from the jail.
static const int host_root = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
static const int host_cwd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
static const int archive_fd = memfd_create("archive", MFD_CLOEXEC);
static thread_local jmp_buf* exit_jump = nullptr;  // set in the jail
static int last_header = ARCHIVE_OK;  // of the latest header read
static int entries_read = 0;  // all but the kernel image
static int entries_extracted = 0;
static verified_archive verified;  // the input, as the verification hands it on

// The tool's stages as main runs them, in the jail.
static void extract_in_jail()
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("jail", "/tmp", "tmpfs", MS_NODEV | MS_NOSUID | MS_NOEXEC, "size=32m,nr_inodes=8192") != 0 ||
        chdir("/tmp") != 0 || chroot(".") != 0) {
        perror("extract_fuzz: cannot enter a private tmpfs (run as root)");
        _exit(125);  // never extract outside it
    }
    update_options = {};
    update_options.led1_fd = update_options.led2_fd = -1;
    struct archive* reader = nullptr;
    if (open_archive_reader(verified, &reader) != ARCHIVE_OK) return;
    jmp_buf jump;
    exit_jump = &jump;
    if (setjmp(jump) != 0) {
        archive_read_free(reader);  // left open by the tool's exit on a failed entry
        return;
    }
    const int status = extract_archive(reader, 1, 0);
    check(status != 0 || last_header == ARCHIVE_EOF, "exit status 0 although the archive was not read to its end");
    check(status != 0 || entries_extracted == entries_read, "exit status 0 although not every entry was extracted");
}

// The tool ends the process on a failed entry; here it returns to the jail.
extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (exit_jump == nullptr) __real_exit(status);
    check(status != 0, "exit status 0 in the middle of the extraction");
    longjmp(*exit_jump, 1);
}

// Flushing every file system of the host once per entry would make the
// fuzzer crawl, and achieves nothing in a tmpfs.
extern "C" void __wrap_sync() {}

extern "C" int __wrap_archive_read_next_header(struct archive* reader, struct archive_entry** entry)
{
    last_header = __real_archive_read_next_header(reader, entry);
    const bool read = last_header == ARCHIVE_OK || last_header == ARCHIVE_WARN;
    const char* const path = read ? archive_entry_pathname(*entry) : nullptr;
    entries_read += read && (path == nullptr || path != KERNEL_IMAGE_ENTRY);
    return last_header;
}

extern "C" int __wrap_archive_read_extract(struct archive* reader, struct archive_entry* entry, int flags)
{
    const int status = __real_archive_read_extract(reader, entry, flags);
    entries_extracted += status == ARCHIVE_OK;
    return status;
}

// Every crash, failed checks and traps included, ends in a sanitizer report.
// Its summary comes before libFuzzer saves the input, and takes the thread
// back to the real root so that the input can be saved.
extern "C" const char* __asan_default_options()
{
    return "handle_abort=1:handle_sigill=1";
}

extern "C" void __sanitizer_report_error_summary(const char* summary)
{
    if (fchdir(host_root) != 0 || chroot(".") != 0 || fchdir(host_cwd) != 0) perror("extract_fuzz: leaving the jail");
    std::fprintf(stderr, "%s\n", summary);
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Start the external symbolizer now: a report from the jail could not.
    char symbol[64];
    __sanitizer_symbolize_pc(reinterpret_cast<void*>(&LLVMFuzzerInitialize), "%f", symbol, sizeof symbol);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    check(ftruncate(archive_fd, 0) == 0 && pwrite(archive_fd, data, size, 0) == static_cast<ssize_t>(size), "storing the input");
    lseek(archive_fd, 0, SEEK_SET);
    verified = {archive_fd, size, {}};
    sha256_concatenated_hex(sha256(data, size), verified.digest);
    entries_read = entries_extracted = 0;
    std::thread(extract_in_jail).join();
    return 0;
}
