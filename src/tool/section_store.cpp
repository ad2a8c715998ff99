#include "tool/section_store.h"

#include <csignal>
#include <memory>
#include <string>

#include "safe/section_lock.h"
#include "safe/settings_replace.h"
#include "safe/working_copy.h"
#include "section/section_catalogue.h"
#include "section/section_load.h"
#include "section/section_rewrite.h"
#include "sys/failure.h"
#include "sys/path_parts.h"
#include "tool/config_text.h"
#include "tool/hash_tool.h"
#include "tool/program_name.h"
#include "tool/tool_limits.h"

namespace {

run_report failed(exit_status status, std::string_view ident, std::string message) {
  return {status, LOG_ERR, std::string(ident), std::move(message)};
}

run_report not_updated(std::string_view ident, const std::string& reason) {
  return failed(exit_not_updated, ident, "settings not updated: " + reason);
}

// What one attempt at a store holds. The copy is declared first, so that it
// goes last: a failed attempt lets go of the settings, which a writer may be
// waiting for, before it waits for cp to stop.
struct attempt_files {
  working_copy copy;
  settings_replacement replacement;
  warning_list warnings;  // told only for the attempt that stored
};

// "; first; second": what the log line adds for the run's warnings.
std::string told(const warning_list& warnings) {
  std::string text;
  for (const auto& warning : warnings) {
    text.append("; ").append(warning);
  }
  return text;
}

}  // namespace

run_report section_store(int argc, const char* const* argv, const tool_paths& paths,
                         const closed_stdio& closed) {
  std::string err;
  warning_list warnings;
  const std::string_view program = argc > 0 && argv[0] != nullptr ? argv[0] : "";

  // 1. The section, from the name the tool was started under.
  section_name name;
  if (!section_name_from_program(program, &name, &err)) {
    return failed(exit_bad_input, refused_program_ident,
                  "refused program name " + std::string(program) + ": " + err);
  }
  const std::string ident(program_base_name(program));
  if (argc != 2 || argv[1][0] == '\0') {
    return failed(exit_bad_input, ident,
                  "usage: " + ident + " FILE (one argument: the file that holds the text)");
  }

  // 2. The text, read whole before anything is touched.
  std::string text;
  if (!config_text_read(argv[1], closed, &text, &err)) {
    return failed(exit_bad_input, ident, err);
  }
  // A text whose base64 would not fit in one settings value is refused rather
  // than stored cut.
  const bool stores_text = section_has_conf(name.kind);
  if (stores_text && text.size() > config_text_max_stored) {
    const std::string size = text.size() > config_text_max_read
                                 ? "longer than " + std::to_string(config_text_max_read)
                                 : std::to_string(text.size());
    return failed(exit_bad_input, ident,
                  "configuration text is " + size + " bytes; at most " +
                      std::to_string(config_text_max_stored) + " can be stored");
  }

  // 3. The lock, beside the file the settings path names, held until this
  // function returns. From here on the run works on that file, target.
  section_lock lock;
  if (!section_lock_take(paths.settings, paths.earlier_versions_lock,
                         {section_lock_wait, section_lock_resolve_attempts}, &lock, &err,
                         warnings)) {
    return not_updated(ident, err);
  }
  const std::string& target = lock.target;

  // 4. What runs killed half-way left beside the settings file.
  if (!settings_replace_remove_leftovers(target, &err)) {
    return not_updated(ident, err);
  }

  // cp gets a /tmp of its own, which a settings path through /tmp would not
  // be found in: then it copies on the host's.
  const std::string tmp = path_dir(paths.working_copy) + "/";
  const bool private_tmp =
      !std::string_view(paths.settings).starts_with(tmp) && !target.starts_with(tmp);

  // 5 to 12 are one attempt, made again from the open when another process
  // changed the settings during it. Each attempt has files and a cp of its
  // own: resetting them stops cp with its group and removes the new file and
  // the copy, before the next attempt begins.
  std::unique_ptr<attempt_files> files;
  int attempt = 0;
  for (;;) {
    files.reset();
    if (++attempt > store_attempts) {
      return not_updated(ident, std::string(paths.settings) +
                                    " was changed by another process during the store, " +
                                    std::to_string(store_attempts) + " times");
    }
    files = std::make_unique<attempt_files>();
    settings_replacement& replacement = files->replacement;
    working_copy& copy = files->copy;
    warning_list& attempt_warnings = files->warnings;

    // 5. The settings file, opened once and leased until the commit: only a
    // regular file, the one the lock resolved, once no other process holds
    // it open for writing. Everything the new file holds is read through
    // this descriptor.
    if (!settings_replace_open(target, settings_writer_wait, &replacement, &err,
                               attempt_warnings)) {
      return not_updated(ident, err);
    }
    const named_fd settings{replacement.old_file.get(), target};

    // 6. The working copy: cp starts copying the settings path, and the
    // store goes on at once. Nothing of the copy is read; only cp's status
    // counts, and it is asked for in step 11.
    const working_copy_request request{paths.settings,
                                       paths.working_copy,
                                       paths.copy_program,
                                       program_run_bound,
                                       working_copy_place_attempts,
                                       private_tmp,
                                       replacement.opened.st_size};
    if (!working_copy_start(request, &copy, &err, attempt_warnings)) {
      return not_updated(ident, err);
    }

    // 7. The section's current values. From here to step 10, a failure is
    // the store's own and is reported as such, whatever cp meets meanwhile:
    // it says what went wrong with the settings themselves, while cp's
    // failure may only follow from it (a full disk) or from being stopped.
    // The copy's holder stops cp, with its group, before the run ends.
    section_record record;
    record.section = name.token;
    record.key_infix = name.key_infix;
    record.kind = name.kind;
    settings_plain_parts plain;  // what the rewrite keeps as it stands, unread
    if (!section_load(settings, &record, &plain, &err)) {
      return not_updated(ident, err);
    }
    record.conf = text;

    // 8. The new settings file, beside the old one.
    if (!settings_replace_begin(replacement, &err)) {
      return not_updated(ident, err);
    }

    // 9. The settings file's lines, with the section's block, into it.
    if (!section_rewrite(settings, {replacement.new_file.get(), replacement.temp_path}, record,
                         plain, settings_value_max, &err)) {
      return not_updated(ident, err);
    }

    // 10. Its owner, attributes and mode, synced.
    if (!settings_replace_prepare(replacement, &err, attempt_warnings)) {
      return not_updated(ident, err);
    }

    // 11. cp, within its bound: it must have exited 0, and meanwhile the
    // settings path must have kept naming target. A writer that breaks the
    // lease meanwhile wakes the wait (SIGIO, kept blocked for it) and is let
    // through at once: the attempt ends, and the next one reads its change.
    program_wait_end copied = program_wait_end::woken;
    while (copied == program_wait_end::woken && settings_replace_lease_held(replacement)) {
      copied = working_copy_finish(copy, SIGIO, &err, attempt_warnings);
    }
    if (copied == program_wait_end::woken) {
      continue;
    }
    if (copied == program_wait_end::failed) {
      return not_updated(ident, err);
    }
    if (!section_lock_still_names(lock, paths.settings)) {
      return not_updated(ident, std::string(paths.settings) + " no longer names " + target);
    }

    // 12. In place, unless another process changed the settings meanwhile:
    // then they stay as it left them, and the store starts over.
    const settings_commit committed = settings_replace_commit(replacement, &err, attempt_warnings);
    if (committed == settings_commit::committed) {
      break;
    }
    if (committed == settings_commit::failed) {
      return not_updated(ident, err);
    }
  }
  warnings.insert(warnings.end(), files->warnings.begin(), files->warnings.end());
  if (attempt > 1) {
    warnings.push_back("stored at attempt " + std::to_string(attempt) +
                       ": another process changed " + std::string(paths.settings) +
                       " during the earlier ones");
  }
  std::string not_durable;
  const bool durable = settings_replace_sync_directory(files->replacement, &not_durable);

  // 13. The hash, refreshed once the new content is in place, durable or not.
  std::string hash_err;
  const bool hashed = hash_tool_run(paths.hash_program, paths.settings, &hash_err);

  // 14. The working copy goes.
  if (!working_copy_remove(files->copy, &err)) {
    warnings.push_back(err);
  }

  if (!durable) {
    return failed(exit_not_updated, ident,
                  "section " + name.token + " written, but the new settings may not be durable: " +
                      not_durable + (hashed ? "" : "; hash tool: " + hash_err) + told(warnings));
  }
  if (!hashed) {
    warnings.insert(warnings.begin(), "hash tool: " + hash_err);
  }
  const std::string stored =
      stores_text ? "stored section " + name.token + ": " + std::to_string(text.size()) +
                        " bytes of configuration text"
                  : "rewrote section " + name.token +
                        " from its current values; no configuration text is stored for it";
  return {exit_stored, warnings.empty() ? LOG_NOTICE : LOG_WARNING, ident, stored + told(warnings)};
}
