// Test harness for running the real firmware-update binary in fwu-sandbox
// on scratch trees. Set FWU_KEEP_SCRATCH=1 to keep scratch directories.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace fwu {

// Paths of the binaries under test, fixed at build time.
extern const char* const TOOL_PATH;
extern const char* const SANDBOX_PATH;
extern const char* const TESTHOOKS_PATH;
extern const char* const PACK_PATH;  // firmware-pack, run on the host

// A directory under $TMPDIR (or /tmp) for one run, removed with its whole
// tree on destruction. It starts with the sandbox's layout, empty: root/
// (the default working directory), dev/, class/ and debug/.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const std::string& path() const { return path_; }
    std::string root() const { return path_ + "/root"; }
    // Absolute path of `relative` inside the scratch directory.
    std::string operator/(std::string_view relative) const;

private:
    std::string path_;
};

// Creates `path` and its missing parents; works past PATH_MAX.
void make_dirs(const std::string& path, unsigned mode = 0755);
void write_file(const std::string& path, std::string_view contents, unsigned mode = 0644);
std::string read_file(const std::string& path);

// Creates a tree below `base` from entries such as
//   "dir/"          a directory
//   "dir/f=text"    a regular file holding "text" ("dir/f" alone: empty)
//   "l -> target"   a symbolic link
// Parents are created as needed.
void make_tree(const std::string& base, const std::vector<std::string>& entries);

// Fake devices at the places the sandbox binds over the real ones.
void add_framebuffer(const Scratch& s);                       // dev/fb0, 261120 zero bytes
void add_led(const Scratch& s, std::string_view name);        // class/leds/NAME/brightness
void add_ro_error(const Scratch& s);                          // debug/ubifs/ubi0_0/ro_error
// All of them are world-writable, so that they behave alike for every identity.

// SHA-256 of a file's or a buffer's bytes, lowercase hex (OpenSSL).
std::string sha256_hex_of_file(const std::string& path);
std::string sha256_hex(std::string_view bytes);
// Writes `bytes` into directory `dir` under their digest; returns the path.
std::string write_as_digest(const std::string& dir, std::string_view bytes);
// Copies a file into directory `dir` under its digest; returns the path.
std::string copy_as_digest(const std::string& file, const std::string& dir);

// The bytes of a GNU tar archive of the tree below `dir` (entries "./...").
std::string tar_of_tree(const std::string& dir);

// One line per entry below `dir`, sorted by path: path, type, mode,
// uid:gid, size, and the SHA-256 of a file or the target of a link (and
// the modification time when asked). Equal snapshots: an untouched tree.
std::string snapshot_tree(const std::string& dir, bool with_times = false);

// snapshot_tree's lines (with times), each followed by its earlier hard-link
// partner, its extended attributes (where ACLs live) and its file flags.
std::string describe_tree(const std::string& dir);

// tmpfs holds no file flags: points $TMPDIR at the first of $TMPDIR (or
// /tmp) and /var/tmp that does; false when neither does.
bool use_scratch_with_file_flags();

// Everything the tool restores: owners, setuid/setgid/sticky modes, times,
// hard and symbolic links, a FIFO, access and default ACLs, file flags; and
// an extended attribute (user.note on var/cache/nodump), which it must not
// restore.
void make_rich_tree(const std::string& dir);

// root; uid and gid 65534; real uid 0 with effective uid 65534; real uid
// 65534 with effective uid 0 (a set-user-ID root program).
enum class As { root, user, euid, setuid };

struct RunOptions {
    As as = As::root;
    std::string cwd{};                      // relative to the scratch directory; empty: root/
    std::string argv0 = "firmware-update";  // argv[0], empty included
    bool no_argv = false;                   // exec with an empty argument vector
    std::string tmpfs_root{};               // size of a tmpfs over the working directory
    std::string statfs_root{};              // "nfs" or an errno name
    std::vector<std::string> fail{};        // fault rules FUNC:N[+]:ERRNO[:MATCH]
    std::vector<std::string> env{};         // NAME=VALUE
    std::string program{};                  // empty: the tool
    std::chrono::seconds timeout{120};
};

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;         // exit status, 128+N after signal N, 125: sandbox failed
    bool timed_out = false;  // killed after RunOptions::timeout
};

// Runs the tool (or options.program) with `args` in the sandbox on `s`.
RunResult run_tool(const Scratch& s, const std::vector<std::string>& args, const RunOptions& options = {});

// Runs a host program (tar, bsdtar, ...) outside the sandbox with stdout and
// stderr captured; for making test input, never for the tool.
RunResult run_host(const std::vector<std::string>& argv, const std::string& cwd = {});

}  // namespace fwu
