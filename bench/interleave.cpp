// Times commands side by side: every round runs each command once, in the
// order given, so that a slow spell of the machine falls on all of them
// alike. Each run is timed from just before fork to just after waitpid
// (CLOCK_MONOTONIC); the commands run with this program's environment and
// standard streams. Prints, per name, the median, the least and the greatest
// time of the timed rounds in milliseconds and their count.
//
// usage: interleave [-b] [-w WARMUP] [-r ROUNDS] [-x STATUS] [-s FILE] COMMAND...
//   COMMAND  "NAME PROGRAM [ARG...]", words split at single spaces; PROGRAM is
//            run by its path. A NAME given twice pools the times of both.
//   -b       every second round runs the commands in reverse order, so that
//            each follows a different one in half of the rounds (a run can
//            be slower or faster for what ran just before it)
//   -w       untimed rounds first (default 3)
//   -r       timed rounds (default 15)
//   -x       the exit status every run must have (default 0)
//   -s FILE  FILE must have the same size after every run of every round but
//            the first as after the first round; prints "size BYTES"
// Exit status 0, or 1 when a run fails or the size changes (with the reason on
// standard error), or 64 for a bad command line.
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

struct command {
  std::string name;
  std::vector<std::string> words;
};

std::vector<std::string> split_words(const std::string& text) {
  std::vector<std::string> words;
  std::string::size_type start = 0;
  while (start <= text.size()) {
    const std::string::size_type end = std::min(text.find(' ', start), text.size());
    if (end > start) {
      words.push_back(text.substr(start, end - start));
    }
    start = end + 1;
  }
  return words;
}

double now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Runs the command and returns its time in ms, or a negative number when it
// could not run or its exit status is not the one expected.
double timed_run(const command& c, int expected_status) {
  std::vector<char*> argv;
  for (const std::string& word : c.words) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
  argv.push_back(nullptr);
  const double start = now_ms();
  const pid_t child = fork();
  if (child == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) {
    return -1;
  }
  const double elapsed = now_ms() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != expected_status) {
    std::fprintf(stderr, "interleave: %s: %s %d (expected exit status %d)\n", c.name.c_str(),
                 WIFEXITED(status) ? "exit status" : "killed by signal",
                 WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status), expected_status);
    return -1;
  }
  return elapsed;
}

double median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  const std::size_t n = times.size();
  return n % 2 == 1 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
}

bool number_argument(const char* text, int* value) {
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || parsed < 0 || parsed > 1000000) {
    return false;
  }
  *value = static_cast<int>(parsed);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int warmup = 3;
  int rounds = 15;
  int expected_status = 0;
  const char* size_file = nullptr;
  bool balanced = false;
  for (int option; (option = getopt(argc, argv, "bw:r:x:s:")) != -1;) {
    const bool ok = option == 'b'   ? (balanced = true)
                    : option == 'w' ? number_argument(optarg, &warmup)
                    : option == 'r' ? number_argument(optarg, &rounds)
                    : option == 'x' ? number_argument(optarg, &expected_status)
                    : option == 's' ? (size_file = optarg, true)
                                    : false;
    if (!ok) {
      std::fprintf(stderr,
                   "usage: interleave [-b] [-w WARMUP] [-r ROUNDS] [-x STATUS] [-s FILE] "
                   "'NAME PROGRAM [ARG...]'...\n");
      return 64;
    }
  }
  std::vector<command> commands;
  std::vector<std::string> names;  // in first-seen order
  for (int i = optind; i < argc; ++i) {
    std::vector<std::string> words = split_words(argv[i]);
    if (words.size() < 2 || rounds < 1) {
      std::fprintf(stderr, "interleave: '%s': need a name, a program and at least one round\n",
                   argv[i]);
      return 64;
    }
    if (std::find(names.begin(), names.end(), words[0]) == names.end()) {
      names.push_back(words[0]);
    }
    commands.push_back({words[0], std::vector<std::string>(words.begin() + 1, words.end())});
  }
  if (commands.empty()) {
    std::fprintf(stderr, "interleave: no command\n");
    return 64;
  }

  std::map<std::string, std::vector<double>> times;
  long long reference_size = -1;
  for (int round = 0; round < warmup + rounds; ++round) {
    for (std::size_t i = 0; i < commands.size(); ++i) {
      const command& c =
          balanced && round % 2 == 1 ? commands[commands.size() - 1 - i] : commands[i];
      const double elapsed = timed_run(c, expected_status);
      if (elapsed < 0) {
        std::fprintf(stderr, "interleave: %s failed in round %d\n", c.name.c_str(), round + 1);
        return 1;
      }
      if (round >= warmup) {
        times[c.name].push_back(elapsed);
      }
      if (size_file != nullptr && round > 0) {
        struct stat st {};
        if (stat(size_file, &st) != 0 || st.st_size != reference_size) {
          std::fprintf(stderr, "interleave: %s is not %lld bytes after %s in round %d\n", size_file,
                       reference_size, c.name.c_str(), round + 1);
          return 1;
        }
      }
    }
    if (size_file != nullptr && round == 0) {
      struct stat st {};
      if (stat(size_file, &st) != 0) {
        std::perror(size_file);
        return 1;
      }
      reference_size = static_cast<long long>(st.st_size);
    }
  }
  for (const std::string& name : names) {
    const std::vector<double>& t = times[name];
    std::printf("%s %.4f %.4f %.4f %zu\n", name.c_str(), median(t),
                *std::min_element(t.begin(), t.end()), *std::max_element(t.begin(), t.end()),
                t.size());
  }
  if (size_file != nullptr) {
    std::printf("size %lld\n", reference_size);
  }
  return 0;
}
