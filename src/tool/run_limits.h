// How long a run waits for others, and for the programs it starts. The
// three are sized together: a run that finds the lock held waits long enough
// for the holder's slowest possible finish, a hash tool stopped after its
// bound and grace and given the grace again after SIGKILL, plus the holder's
// own work (a copy, a read and a write of
// the file, two syncs: well under a second on the router's flash), with a
// margin. So one store waiting behind a stuck hash tool still lands; a
// second one waiting behind that is not guaranteed to.
#pragma once

#include <chrono>

#include "process/run_program.h"

// A program the tool starts (cp, the hash tool) is stopped with SIGTERM
// after this long. The hash tool reads one settings file: it takes
// milliseconds, and 30 s only means it is stuck.
inline constexpr std::chrono::milliseconds program_time_limit{30000};

// Between SIGTERM and SIGKILL, for a program that cleans up when asked; and
// after SIGKILL, for the kernel to end it, before the run gives up on it.
inline constexpr std::chrono::milliseconds program_stop_grace{3000};

// The bound every program the tool starts runs under.
inline constexpr program_bound program_run_bound{program_time_limit, program_stop_grace};

// How long a run waits for the lock: more than the bound and both graces
// together, with 24 s to spare for the holder's own work.
inline constexpr std::chrono::milliseconds section_lock_wait{60000};

static_assert(section_lock_wait >=
              program_time_limit + 2 * program_stop_grace + std::chrono::seconds(20));
