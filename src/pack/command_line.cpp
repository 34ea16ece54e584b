#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "pack/pack.h"

namespace {

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

bool usage_error(const char* program, const char* what, const char* argument = "")
{
    std::fprintf(stderr, "%s: %s%s\nTry '%s --help'.\n", program, what, argument, program);
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

// The value of option `name` at argv[*index], given as "--name=VALUE" or as
// the next argument; null when this argument is not that option.
const char* option_value(int argc, char** argv, int* index, std::string_view name, bool* missing)
{
    const std::string_view argument = argv[*index];
    if (!argument.starts_with(name)) return nullptr;
    if (argument.size() > name.size() && argument[name.size()] == '=') return argv[*index] + name.size() + 1;
    if (argument.size() != name.size()) return nullptr;
    if (*index + 1 >= argc) {
        *missing = true;
        return nullptr;
    }
    return argv[++*index];
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
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        bool missing = false;
        if (argument == "--help" || argument == "-h") {
            print_pack_usage(program);
            std::exit(PACK_CLEAN);
        } else if (argument == "--version") {
            std::printf("%s %s\n", program, FWU_VERSION);
            std::exit(PACK_CLEAN);
        } else if (const char* file = option_value(argc, argv, &i, "--kernel", &missing)) {
            options->kernel = file;
        } else if (const char* name = option_value(argc, argv, &i, "--compress", &missing)) {
            if (!parse_compression(name, &options->filter)) return usage_error(program, "unknown compression: ", name);
        } else if (const char* artifact_name = option_value(argc, argv, &i, "--name", &missing)) {
            options->artifact_name = artifact_name;
        } else if (const char* device_type = option_value(argc, argv, &i, "--device-type", &missing)) {
            options->device_type = device_type;
        } else if (argument == "--") {
            options->passed_on = argv + i + 1;
            options->passed_on_count = argc - i - 1;
            break;
        } else if (missing) {
            return usage_error(program, "a value is missing after ", argv[i]);
        } else if (argument.starts_with("-") && argument != "-") {
            return usage_error(program, "unknown option: ", argv[i]);
        } else if (count == 3) {
            return usage_error(program, "too many arguments");
        } else {
            operands[count++] = argv[i];
        }
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
        return usage_error(program, "unknown command: ", operands[0]);
    }
    return true;
}
