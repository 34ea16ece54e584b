// Test harness for running the real firmware-update binary in fwu-sandbox
// on scratch trees. Set FWU_KEEP_SCRATCH=1 to keep scratch directories.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace fwu {

extern const char* const TOOL_PATH;
extern const char* const PACK_PATH;

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
    std::string operator/(std::string_view relative) const { return path_ + "/" + std::string(relative); }

private:
    std::string path_;
};

// Parents are created as needed.
void write_file(const std::string& path, std::string_view contents, unsigned mode = 0644);
std::string read_file(const std::string& path);

// Below `base`, `levels` nested directories `component`, and in the last
// one an empty file f: paths longer than any path limit.
void make_chain(const std::string& base, const std::string& component, int levels);
// Creates below `base` entries such as "dir/" (a directory), "dir/f=text"
// (a file holding "text"; "dir/f" alone: empty), "l -> target" (a symbolic
// link) and "p|" (a FIFO).
void make_tree(const std::string& base, const std::vector<std::string>& entries);

// Fake devices, world-writable: dev/fb0 (261120 zero bytes), the LEDs'
// class/leds/NAME/brightness, debug/ubifs/ubi0_0/ro_error.
void add_framebuffer(const Scratch& s);
void add_led(const Scratch& s, std::string_view name);
void add_devices(const Scratch& s);  // all of them: belvonix:1, belvonix:2, alix:3

// SHA-256, lowercase hex (OpenSSL).
std::string sha256_hex(std::string_view bytes);
// Writes `bytes` into directory `dir` under their digest; returns the path.
std::string write_as_digest(const std::string& dir, std::string_view bytes);
// The output of a host program that must succeed (tar, bsdtar, ...).
std::string host(const std::vector<std::string>& argv, const std::string& cwd = {});
// A GNU tar archive of the tree below `dir` (entries "./...").
std::string tar_of_tree(const std::string& dir);
// A literal archive made by Python's tarfile, pax unless `format` names
// another; `members` adds its entries with add(name, type, link target,
// data, mode, pax records, other TarInfo fields) and raw bytes with raw().
std::string python_tar(const std::string& members, const std::string& format = "PAX_FORMAT");
// What bsdtar extracts from `archive` into `dir` (made), as a snapshot.
std::string bsdtar_reference(const std::string& archive, const std::string& dir);

// tools/list-tree's listing of `dir`, with times to the nanosecond: one
// line per entry, sorted by path, with type, mode, owner, size, link count
// and the SHA-256 of a file or the target of a link.
std::string snapshot_tree(const std::string& dir);
// The paths below `dir` (of any depth), sorted, separated by spaces.
std::string paths_below(const std::string& dir);

// What the tool prints up to a successful check of `archive` (or, when not
// `checked`, before the check), with the injection line of `-e count` when
// given.
std::string announced(const std::string& archive, const std::string& count = "", bool checked = true);

// `text` with every occurrence of each key replaced by its value.
std::string expand(std::string text, const std::vector<std::pair<std::string, std::string>>& values);

// The bar's strip of a framebuffer image: "first-last" rows of white,
// "none", or "mixed" when a row is neither all white nor all black.
std::string strip(const std::string& fb);

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
    bool stdin_closed = false;              // start it without descriptor 0
    std::chrono::seconds timeout{120};
};

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;         // exit status, 128+N after signal N, 125: sandbox failed
    bool timed_out = false;  // killed after RunOptions::timeout
};

// Runs the tool (or options.program) with `args` in the sandbox on `s`;
// "fd 3" in its output reads "fd N".
RunResult run_tool(const Scratch& s, const std::vector<std::string>& args, const RunOptions& options = {});
// Runs a host program, never the tool, outside the sandbox.
RunResult run_host(const std::vector<std::string>& argv, const std::string& cwd = {});

// snapshot_tree's lines, then per entry its ACLs and its file flags, as
// getfacl and lsattr show them.
std::string describe_tree(const std::string& dir);
// Owners, setuid/setgid/sticky modes, times, hard and symbolic links, a
// FIFO, access and default ACLs, file flags, names outside ASCII, and the
// extended attribute user.note on var/cache/nodump.
void make_rich_tree(const std::string& src);

}  // namespace fwu
