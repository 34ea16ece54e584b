// firmware-pack: makes an update archive of a file tree, named by its own
// SHA-256 digest, and checks that an archive may go to the devices.
// Like the device, it stays in the C locale: names are the archive's bytes.
#include <cstring>

#include "pack/pack.h"

int main(int argc, char** argv)
{
    pack_options options{};
    if (!parse_pack_command_line(argc, argv, &options)) return PACK_ERROR;

    if (std::strcmp(options.command, "create") == 0) return create_archive(options);
    if (std::strcmp(options.command, "artifact") == 0) return make_artifact(options);
    return check_archive(options.archive);
}
