// Every limit a user of the tool can meet, with the reason for its number.
// Like the paths (tool_paths.h), they are the driver's: the rooms below take
// the ones they need as arguments.
#pragma once

#include <chrono>
#include <cstddef>

#include "process/run_program.h"

// The configuration text. Up to config_text_max_read bytes of FILE are read
// (the module's own reader took as many); a text stored into a section is at
// most config_text_max_stored bytes, whose base64 (4 bytes for every 3) fits
// one settings value. A longer one is refused rather than stored cut.
inline constexpr std::size_t config_text_max_read = 16383;
inline constexpr std::size_t config_text_max_stored = 12000;

// Longest text value written on a settings line; a longer one is cut, as the
// module's other tools cut it.
inline constexpr std::size_t settings_value_max = 16000;

static_assert((config_text_max_stored + 2) / 3 * 4 <= settings_value_max,
              "a stored text's base64 must fit one settings value");

// A section token (tal-setconf-<token>): long enough for any section name,
// short enough that every key built from it stays a short line.
inline constexpr std::size_t section_token_max_length = 64;

// Longest log message body; a longer one is cut and ends with "...". BusyBox's
// syslogd and the classic ones keep a line of about 500 bytes.
inline constexpr std::size_t log_body_max = 480;

// How long a run waits for the programs it starts. A program (cp, the hash
// tool) is stopped with SIGTERM after program_time_limit. The hash tool
// reads one settings file: it takes milliseconds, and 30 s only means it is
// stuck. Between SIGTERM and SIGKILL, and again after SIGKILL, it gets
// program_stop_grace: for a program that cleans up when asked, and for the
// kernel to end it, before the run gives up on it.
inline constexpr std::chrono::milliseconds program_time_limit{30000};
inline constexpr std::chrono::milliseconds program_stop_grace{3000};
inline constexpr program_bound program_run_bound{program_time_limit, program_stop_grace};
// The longest one program can hold a run up: 36 s.
inline constexpr std::chrono::milliseconds program_longest_hold =
    program_time_limit + 2 * program_stop_grace;

// How long a run waits, at its open, for another process that holds the
// settings file open for writing (or a lease of its own on it). A tool that
// appends a line holds it for milliseconds; 10 s means a writer that keeps
// it open (an editor), and the store fails rather than overwrite it.
inline constexpr std::chrono::milliseconds settings_writer_wait{10000};

// How many times a store is made in all when another process changes the
// settings during it: each attempt starts again from the open, with cp run
// anew. A writer that keeps changing them within every attempt fails the
// store (exit 2), its change kept.
inline constexpr int store_attempts = 3;

// How long a run waits for the lock: long enough for the slowest store
// ahead of it to finish. That one makes every attempt, each with a cp that
// runs to its bound and both graces and a writer waited for in full, then
// has its hash tool run to its bound and both graces too; its own work
// besides (a read and a write of the file, two syncs) is well under a second
// on the router's flash, and lock_wait_margin covers it. So one store
// waiting behind the worst possible one still lands; a second one waiting
// behind that is not guaranteed to.
inline constexpr std::chrono::milliseconds lock_wait_margin{6000};
inline constexpr std::chrono::milliseconds section_lock_wait{180000};
static_assert(section_lock_wait >= store_attempts * (program_longest_hold + settings_writer_wait) +
                                       program_longest_hold + lock_wait_margin,
              "the lock's wait must cover the slowest store ahead");

// Retries against someone playing with the paths. A settings link re-pointed
// between the two resolutions around the lock more often than
// section_lock_resolve_attempts times, or something put at the working
// copy's path again at each of working_copy_place_attempts attempts, means
// someone is racing the run on purpose: it gives up (exit 2) rather than
// chase them for ever.
inline constexpr int section_lock_resolve_attempts = 8;
inline constexpr int working_copy_place_attempts = 64;
