#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "pack/pack.h"

namespace {

// The payload type names the update module that installs it on the device.
constexpr const char* MODULE_TYPE = "firmware-update";

// Runs mender-artifact with `arguments` and waits for it; false after
// saying why it did not succeed.
bool run_mender_artifact(const std::vector<const char*>& arguments)
{
    // The report goes out first: a log that takes both programs' output
    // otherwise gets it, held in the buffer, after mender-artifact's.
    std::fflush(stdout);
    pid_t child = 0;
    const int error = posix_spawnp(&child, arguments[0], nullptr, nullptr, const_cast<char* const*>(arguments.data()),
                                   environ);
    if (error != 0) {
        complain("cannot run %s: %s; it comes with the mender-artifact package", arguments[0],
                 std::strerror(error));
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            complain("lost %s: %s", arguments[0], std::strerror(errno));
            return false;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    complain("%s failed (%s %d); no artifact was made", arguments[0],
             WIFEXITED(status) ? "status" : "signal", WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
    return false;
}

}  // namespace

pack_status make_artifact(const pack_options& options)
{
    // The artifact carries the archive under its own name, the digest that
    // the check has just compared with its bytes; the device compares them
    // again before it touches anything.
    const pack_status checked = check_archive(options.archive);
    if (checked == PACK_REFUSED || checked == PACK_ERROR) {
        complain("no artifact made: the archive must not go to the devices");
        return checked;
    }
    std::vector<const char*> arguments = {"mender-artifact", "write", "module-image", "-T", MODULE_TYPE,
                                          "-t", options.device_type, "-n", options.artifact_name,
                                          "-f", options.archive, "-o", options.artifact};
    arguments.insert(arguments.end(), options.passed_on, options.passed_on + options.passed_on_count);
    arguments.push_back(nullptr);
    if (!run_mender_artifact(arguments)) return PACK_ERROR;
    std::printf("artifact:     %s\n", options.artifact);
    return checked;
}
