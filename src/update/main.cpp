// firmware-update: replaces the file tree below the working directory with
// the content of an update archive named by its own SHA-256 digest.
#include <archive.h>

#include <cstdio>

#include "indicators/fb.h"
#include "indicators/leds.h"
#include "state/update_options.h"
#include "update/stages.h"

int main(int argc, char** argv)
{
    const char* const program = program_name(argc, argv);
    if (!parse_command_line(argc, argv)) print_usage(program);
    printf("%s: filename = '%s'\n", program, update_options.archive_path);
    const int ubifs_error_fd = setup_error_injection();

    // Nothing is touched unless the update may run on this system...
    if (!running_as_root() || !root_is_local()) return UPDATE_REFUSED;
    setup_leds();
    const int fb_fd = setup_framebuffer();

    // ...and the archive is the one its name promises.
    verified_archive verified{};
    if (verify_archive_name(&verified) < 0) return UPDATE_FAILED;
    struct archive* reader = nullptr;
    if (const int status = open_archive_reader(verified, &reader); status != ARCHIVE_OK) {
        return status;
    }

    if (purge_working_directory() != 0) return UPDATE_FAILED;
    return extract_archive(reader, fb_fd, ubifs_error_fd);
}
