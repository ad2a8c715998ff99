// Runs an external program in a child process with a clean set of
// descriptors (standard streams on /dev/null, nothing else open) and waits
// for it.
#pragma once

#include <initializer_list>
#include <span>

// Largest number of arguments passed on after the program path; further ones
// are dropped.
inline constexpr int run_program_max_args = 62;

// Returns -1 when no child could be created or waited for, else the child's
// raw wait status: 0 for an exit with status 0, 256 for status 1 (also what a
// program that cannot be executed gives), and so on. A path without a slash
// is looked up in PATH.
int run_program(const char* path, std::span<const char* const> args);
int run_program(const char* path, std::initializer_list<const char*> args);
