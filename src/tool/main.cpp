// tal-setconf-<section> FILE: stores FILE's text as the configuration of one
// section of the module's settings file. Prints nothing; the exit status
// tells what happened.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <optional>
#include <string>

#include "tool/config_text.h"
#include "tool/exit_status.h"
#include "tool/program_name.h"
#include "tool/section_catalogue.h"
#include "tool/section_load.h"
#include "tool/section_lock.h"
#include "tool/section_save.h"
#include "tool/tool_paths.h"

namespace {

// The tool inherits its process state from whoever starts it. Two inherited
// states would break it: SIGCHLD ignored (children are then reaped by the
// kernel, and cp's status could never be read), and descriptors 0 to 2
// closed (the files the tool opens would take their numbers, and anything
// written to standard error would land in them).
void process_setup() {
  static_cast<void>(std::signal(SIGCHLD, SIG_DFL));
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF && ::open("/dev/null", O_RDWR) != fd) {
      ::_exit(exit_not_updated);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  process_setup();
  if (argc != 2 || argv[1][0] == '\0') {
    return exit_bad_input;
  }
  const std::optional<section_name> name = section_name_from_program(argv[0]);
  if (!name) {
    return exit_bad_input;
  }
  std::optional<std::string> text = config_text_read(argv[1]);
  if (!text) {
    return exit_bad_input;
  }
  // A text whose base64 would not fit in one settings value is refused before
  // anything is touched, rather than stored cut.
  if (section_has_conf(section_kind_of(name->token)) && text->size() > config_text_max_stored) {
    return exit_bad_input;
  }

  const unique_fd lock = section_lock(device_paths.settings_dir, section_lock_wait);
  if (!lock) {
    return exit_not_updated;
  }
  section_record record;
  record.section = name->token;
  record.key_infix = name->key_infix;
  // Defaults from an unreadable file would reset the section: stop instead.
  if (section_load(record, device_paths.settings) == load_result::read_error) {
    return exit_not_updated;
  }
  record.conf = std::move(*text);
  return section_save(record, device_paths) ? exit_stored : exit_not_updated;
}
