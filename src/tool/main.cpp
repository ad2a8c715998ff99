// tal-setconf-<section> FILE: stores FILE's text as the configuration of one
// section of the module's settings file. Prints nothing; the exit status
// tells what happened.
#include <optional>
#include <string>

#include "tool/config_text.h"
#include "tool/exit_status.h"
#include "tool/program_name.h"
#include "tool/section_catalogue.h"
#include "tool/section_load.h"
#include "tool/tool_paths.h"

int main(int argc, char** argv) {
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

  section_record record;
  record.section = name->token;
  record.key_infix = name->key_infix;
  if (section_load(record, device_paths.settings) == load_result::read_error) {
    return exit_not_updated;
  }
  record.conf = std::move(*text);
  return exit_stored;
}
