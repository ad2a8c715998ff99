// The tool is one binary installed under one name per section:
// tal-setconf-<token>. The token names the section; its upper-case form is
// the key infix.
#pragma once

#include <string>
#include <string_view>

#include "section/section_catalogue.h"

inline constexpr std::string_view program_name_prefix = "tal-setconf-";
// What a run whose program name was refused calls itself in the log.
inline constexpr std::string_view refused_program_ident = "tal-setconf";

struct section_name {
  std::string token;
  std::string key_infix;
  section_kind kind = section_kind::generic;
};

// The section named by the program path (argv[0]), in *name; false for a name
// the tool refuses: any name but tal-setconf-<token>, a token outside [a-z0-9_]
// of 1 to 64 characters, a token that selects a special kind without being
// that kind's own name (its keys would not cover the kind's fixed keys, and
// each run would add them again), a generic token holding "_" (so no generic
// section's lines match another's pattern), or a token whose pattern matches
// a key of another special kind ("pim" would remove every pim_sm line).
// The reason for a refusal goes to err.
bool section_name_from_program(std::string_view program_path, section_name* name, std::string* err);

// The base name of the program path: what the run calls itself in the log.
std::string_view program_base_name(std::string_view program_path);
