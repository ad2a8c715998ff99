// Judging one disk state that a power cut may leave: the filesystem as the
// next boot would find it (journal recovered, then a forced read-only
// check), and in each settings directory on it the settings file whole, at a
// version no older than the last acknowledged store, with that version's
// owner, mode and extended attributes, and nothing beside it but the lock
// and at most one new file of a store that was cut off.
//
// An ext4 state is read in user space, with e2fsprogs: the image may be
// corrupt, and this machine's kernel never mounts it for the judgement.
// f2fs, JFFS2 and UBIFS have no such reader, and this machine's kernel has
// none of them: their states are mounted in the guest, by its kernel, and
// read through it (read_mounted_phases).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Where a phase's settings directory lies on the image: each phase's tree
// is the /opt of a router, bound over /opt in the guest and in the sandbox.
std::string settings_directory(const std::string& phase);

// A name in a directory, as debugfs "ls -p" gives it.
struct dir_item {
  std::string name;
  unsigned mode = 0;
  unsigned uid = 0;
  unsigned gid = 0;
  std::uint64_t size = 0;
};

// What one settings directory must hold. versions[0] is the file before the
// first store; versions[n] the file that store n committed.
struct phase_expect {
  std::string name;  // the phase; see settings_directory
  std::vector<std::string> versions;
  dir_item settings;       // owner and mode every version has
  std::string attributes;  // debugfs ea_list of every version
};

// What debugfs read of one settings directory.
struct phase_seen {
  bool listed = false;  // the directory was found
  std::vector<dir_item> items;
  bool has_settings = false;
  std::string attributes;
  std::string content;
};

enum class fault {
  none,
  filesystem,  // journal recovery or e2fsck -fn failed; the state did not mount, or could not be
               // read
  torn,        // no settings file, or one that is none of the versions
  stale,       // older than the last acknowledged store
  attributes,  // owner, mode, ACL or user.* attributes not the version's
  directory,   // something in the settings directory that does not belong
  store,       // the tool could not store on the mounted state
};

// One word per fault, for counts a script reads.
const char* fault_name(fault kind);

struct verdict {
  fault kind = fault::none;
  std::string why;
};

// The highest version acknowledged per directory, from marks
// "ack:<directory>:<version>" (other marks are ignored).
std::map<std::string, std::size_t> acknowledged(const std::vector<std::string>& marks);

std::vector<dir_item> parse_listing(const std::string& text);

// debugfs -f output of listing_commands(), one phase_seen per phase.
std::vector<phase_seen> parse_debugfs(const std::string& output,
                                      const std::vector<std::string>& phases);

// The debugfs commands that read the phases; the files are dumped to
// dump_prefix + phase.
std::string listing_commands(const std::vector<std::string>& phases,
                             const std::string& dump_prefix);

verdict judge_phase(const phase_expect& expect, const phase_seen& seen, std::size_t acked);

// Runs argv with standard input on /dev/null and both outputs into
// output_path; its exit status in *status (128 + signal when killed).
bool run_captured(const std::vector<std::string>& argv, const std::string& output_path, int* status,
                  std::string* err);

// Reads a whole file.
bool read_whole(const std::string& path, std::string* content, std::string* err);

// The image at image_path, checked in place (journal recovery changes it):
// recovery, the forced read-only check, then the phases read and judged.
// The first fault found, with its reason; false only when the check itself
// could not run.
bool check_state(const std::string& image_path, const std::string& work_dir,
                 const std::vector<phase_expect>& phases,
                 const std::map<std::string, std::size_t>& acked, verdict* result,
                 std::string* err);

// What the kernel shows of each phase under root, where a state is mounted:
// the same fields as read_phases gives, the extended attributes as one
// "name = hex bytes" line each in name order. A file or directory that
// cannot be read is the state's fault: the reason goes to *unreadable, and
// the phases read so far are returned.
std::vector<phase_seen> read_mounted_phases(const std::string& root,
                                            const std::vector<std::string>& phases,
                                            std::string* unreadable);

// What the state holds for each phase, read as check_state reads it; used
// on the image logging started from, to learn the owner, mode and attributes.
bool read_phases(const std::string& image_path, const std::string& work_dir,
                 const std::vector<std::string>& phases, std::vector<phase_seen>* seen,
                 std::string* err);
