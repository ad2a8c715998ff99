#include "tool/hash_tool.h"

#include <unistd.h>

#include <array>

#include "process/run_program.h"
#include "tool/tool_limits.h"

bool hash_tool_run(const char* hash_program, const char* settings, std::string* err) {
  if (::access(hash_program, F_OK) != 0) {
    return true;
  }
  const std::array<const char*, 1> args{settings};
  // It works on the committed file: a run killed meanwhile lets it finish.
  return run_program(hash_program, args, {program_run_bound, program_lifetime::may_outlive_run},
                     err);
}
