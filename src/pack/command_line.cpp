#include <getopt.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "pack/pack.h"

namespace {

// What getopt_long returns: 1 for an operand (the "-" that leads the short
// options keeps operands in place among the options), ':' for a missing value,
// '?' for anything it does not know, and these for the long options.
constexpr int OPERAND = 1;
enum long_only_option { OPTION_VERSION = 256, OPTION_KERNEL, OPTION_COMPRESS, OPTION_NAME, OPTION_DEVICE_TYPE };

constexpr option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, OPTION_VERSION},
    {"kernel", required_argument, nullptr, OPTION_KERNEL},
    {"compress", required_argument, nullptr, OPTION_COMPRESS},
    {"name", required_argument, nullptr, OPTION_NAME},
    {"device-type", required_argument, nullptr, OPTION_DEVICE_TYPE},
    {nullptr, 0, nullptr, 0},
};

constexpr std::array<std::string_view, 6> COMPRESSION_NAMES = {"none", "gzip", "bzip2", "xz", "zstd", "lz4"};

constexpr const char* USAGE =
    "Usage: %1$s create [--kernel FILE] [--compress none|gzip|bzip2|xz|zstd|lz4] DIR OUTDIR\n"
    "       %1$s check ARCHIVE\n"
    "       %1$s artifact --name NAME --device-type TYPE ARCHIVE ARTIFACT [-- OPTION...]\n"
    "       %1$s --help | --version\n"
    "\n"
    "create  writes a pax tar archive of the tree DIR (entries \"./...\", sorted, with numeric\n"
    "        owners, modes, modification times, ACLs, file flags and extended attributes) into OUTDIR,\n"
    "        named by its SHA-256 digest, and prints its path. The same tree and options give\n"
    "        the same bytes; modification times are clamped to SOURCE_DATE_EPOCH when it is set.\n"
    "  --kernel FILE    add FILE as the kernel image (./tmp/belvonix-update.zImage), which the\n"
    "                   device flashes instead of writing it into the tree\n"
    "  --compress NAME  none (the default), gzip, bzip2, xz, zstd or lz4\n"
    "check   tells whether ARCHIVE may go to the devices: its name is its digest, it reads to\n"
    "        its end as the device reads it, and, applied to a model of the device's tree, no\n"
    "        entry lands outside the tree or stops the device after its purge. Warns about\n"
    "        preserved paths, set-ID, world-writable and special files, lasting file flags,\n"
    "        names the device looks up, and what the device does not keep.\n"
    "artifact  checks ARCHIVE as check does and, unless it is refused, writes the Mender\n"
    "        artifact ARTIFACT with mender-artifact: one payload of type firmware-update, the\n"
    "        archive as it is, for devices of TYPE, named NAME. The OPTIONs after \"--\" go to\n"
    "        mender-artifact write module-image (e.g. -k KEY to sign it).\n"
    "\n"
    "Exit status: 0 done, nothing to report; 1 check found warnings only; 2 check refused\n"
    "the archive; 3 bad command line, a file could not be read or written, or mender-artifact\n"
    "failed.\n";

[[gnu::format(printf, 2, 3)]] bool usage_error(const char* program, const char* format, ...)
{
    std::fprintf(stderr, "%s: ", program);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "\nTry '%s --help'.\n", program);
    return false;
}

bool parse_compression(const char* name, compression* filter)
{
    for (std::size_t i = 0; i < COMPRESSION_NAMES.size(); ++i) {
        if (name == COMPRESSION_NAMES[i]) {
            *filter = static_cast<compression>(i);
            return true;
        }
    }
    return false;
}

// The artifact command's operands and options, once the command line is read.
bool finish_artifact_command(const char* program, const char* const* operands, int count, pack_options* options)
{
    if (count != 3) return usage_error(program, "artifact needs one ARCHIVE and the ARTIFACT to write");
    if (options->artifact_name == nullptr || options->device_type == nullptr) {
        return usage_error(program, "artifact needs --name and --device-type");
    }
    if (options->kernel != nullptr || options->filter != compression::none) {
        return usage_error(program, "--kernel and --compress belong to create");
    }
    options->archive = operands[1];
    options->artifact = operands[2];
    return true;
}

}  // namespace

void print_pack_usage(const char* program)
{
    std::printf(USAGE, program);
}

bool parse_pack_command_line(int argc, char** argv, pack_options* options)
{
    const char* const slash = argc > 0 ? std::strrchr(argv[0], '/') : nullptr;
    const char* const program = argc == 0 ? "firmware-pack" : slash != nullptr ? slash + 1 : argv[0];
    const char* operands[3] = {};
    int count = 0;
    // Options and operands in any order, each handled as it comes. getopt's
    // own messages are replaced by this command's.
    opterr = 0;
    int consumed = optind;  // past the last argument handled; "--" lies beyond it
    while (argc > 0) {
        const int at = optind;
        const int option = getopt_long(argc, argv, "-:h", LONG_OPTIONS, nullptr);
        if (option == -1) break;
        consumed = optind;
        switch (option) {
        case 'h':
            print_pack_usage(program);
            std::exit(PACK_CLEAN);
        case OPTION_VERSION:
            std::printf("%s %s\n", program, FWU_VERSION);
            std::exit(PACK_CLEAN);
        case OPTION_KERNEL: options->kernel = optarg; break;
        case OPTION_COMPRESS:
            if (!parse_compression(optarg, &options->filter)) {
                return usage_error(program, "unknown compression: %s", optarg);
            }
            break;
        case OPTION_NAME: options->artifact_name = optarg; break;
        case OPTION_DEVICE_TYPE: options->device_type = optarg; break;
        case OPERAND:
            if (count == 3) return usage_error(program, "too many arguments");
            operands[count++] = optarg;
            break;
        case ':': return usage_error(program, "a value is missing after %s", argv[at]);
        default: return usage_error(program, "unknown option: %s", argv[at]);
        }
    }
    // What follows "--" goes to mender-artifact as it is.
    if (optind > consumed) {
        options->passed_on = argv + optind;
        options->passed_on_count = argc - optind;
    }
    if (count == 0) return usage_error(program, "no command given: create, check or artifact");
    options->command = operands[0];
    const std::string_view command = operands[0];
    if (command == "artifact") return finish_artifact_command(program, operands, count, options);
    if (options->artifact_name != nullptr || options->device_type != nullptr || options->passed_on != nullptr) {
        return usage_error(program, "--name, --device-type and \"--\" belong to artifact");
    }
    if (command == "create") {
        if (count != 3) return usage_error(program, "create needs the tree DIR and the output directory OUTDIR");
        options->tree = operands[1];
        options->output_dir = operands[2];
    } else if (command == "check") {
        if (count != 2) return usage_error(program, "check needs one ARCHIVE");
        if (options->kernel != nullptr || options->filter != compression::none) {
            return usage_error(program, "--kernel and --compress belong to create");
        }
        options->archive = operands[1];
    } else {
        return usage_error(program, "unknown command: %s", operands[0]);
    }
    return true;
}
