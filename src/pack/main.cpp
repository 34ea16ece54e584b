// firmware-pack: makes an update archive of a file tree, named by its own
// SHA-256 digest, and checks that an archive may go to the devices.
#include <cstring>

#include "pack/pack.h"

int main(int argc, char** argv)
{
    pack_options options{};
    if (!parse_pack_command_line(argc, argv, &options)) return PACK_ERROR;

    // Names are read and written as the device's extraction reads them.
    use_device_locale();

    if (std::strcmp(options.command, "create") == 0) return create_archive(options);
    return check_archive(options.archive);
}
