// Settings files for the differential run (tests/differential/run.sh), each
// made from the seed and its number alone: a seed gives the same files with
// any compiler. Lines of pim_sm, ospf, mpls and global (keys in any case) mix
// with other sections' and near keys' (MOD_TAL_PIM_, MOD_TAL_OSPF6_), the
// pattern without "=" and in values, quoted values, CRLF endings, CRs and
// NULs with the pattern or "=" behind them, lines of 4 KiB to 900 KB; a line
// feed, CR, "=", NUL or pattern across a multiple of 4 KiB, 64 KiB or 128 KiB
// (the reader takes 64 KiB blocks on page boundaries); files ending on one,
// or without a line feed.
//
// usage: generate SEED COUNT DIR   writes DIR/00000.settings ..., prints a tally
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::string_view_literals;

// splitmix64: the same numbers with every compiler and C++ library. No two
// calls stand in one expression whose order is unspecified (operands of +,
// a call's arguments), or compilers could differ.
struct random_bits {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30U)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27U)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31U);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  bool percent(std::size_t p) { return below(100) < p; }
  template <typename List>
  std::string pick(const List& items) {
    return std::string(items[below(std::size(items))]);
  }
};

struct section {
  std::string_view pattern;
  std::vector<std::string_view> keys;  // after the pattern: its own, and unknown ones (IFACE12)
  std::vector<std::string_view> near;  // after MOD_TAL_, without the pattern
  std::string key(random_bits& r) const { return std::string(pattern) + r.pick(keys); }
};

const std::array<section, 4> sections{{
    {"MOD_TAL_PIM_SM_",
     {"ENABLED", "RP_ADDR", "BSR_ENABLED", "BSR_BSR_ENABLED", "BSR_RP_ENABLED",
      "BSR_ADVERTISED_GROUP", "BSR_RP_PRIORITY", "BSR_PRIORITY", "USE_RAW_CFG", "CONF",
      "IFACE0_ENABLED", "IFACE1_NAME", "IFACE7_DR_PRIORITY", "IFACE11_PASSIVE", "IFACE11_NAME",
      "IFACE12_ENABLED", "UNKNOWN"},
     {"PIM_ENABLED", "PIM_CONF", "PIM_RP_ADDR", "PIMSM_CONF", "PIM_SM", "PIM_S_ENABLED"}},
    {"MOD_TAL_OSPF_", {"ENABLED", "CONF", "AREA"}, {"OSPF6_ENABLED", "OSPF6_CONF", "OSPF"}},
    {"MOD_TAL_MPLS_",
     {"ENABLED", "ETH0_ENABLED", "ETH1_ENABLED", "ETH2_ENABLED", "GRE1_ENABLED", "GRE2_ENABLED",
      "PLATFORM_LABELS", "CONF"},
     {"MPLS6_ETH0_ENABLED", "MPLSX_CONF", "MPLS"}},
    {"MOD_TAL_GLOBAL_", {"ENABLED", "LOG_LEVEL", "CONF"}, {"GLOBALS_LOG_LEVEL", "GLOBAL"}},
}};

constexpr std::array other_keys{"MOD_TAL_VRF1_NAME", "MOD_TAL_VRF_L3MDEV_ACCESS",
                                "MOD_TAL_BGP_CONF",  "HOSTNAME",
                                "mod_tal_bgp_conf",  "Wan_Mtu"};

// Lines, without their ending. A capital letter stands for a part made at
// random (maker::expand), anything else for itself.
constexpr std::array plain_forms{"O", "O", "O", "S", "S", "S", "N", "", " S", "export S"};
constexpr std::array odd_forms{
    "# K"sv,   "K"sv,    "Z"sv,       "X=Q"sv, "X=\"see Q=1\""sv,  // the pattern, no "="
    "O\rT"sv,  "O\rP"sv, "K\r=1"sv,   "\rP"sv, "S\rV"sv,           // a CR, text after it
    "K\0=V"sv, "O\0P"sv, "S\0V"sv,    "\0P"sv, "\0\0\0"sv,         // a NUL, text after it
    " "sv,     " \t "sv, "S\r\rT\r"sv};
// Long lines: F is where filler makes up the length, B where blanks do.
constexpr std::array long_forms{"X=F"sv,    "SF"sv,       "# FK"sv,     "K F=1"sv,
                                "# FK=1"sv, "X=F\rK=1"sv, "X=F\0K=1"sv, "B"sv};
// Lines put across a boundary, each after the name of what goes there: ^
// marks the byte put on the boundary or just before it, or the part whose
// pattern it splits.
constexpr std::array straddles{"LF"sv,      "S^\n"sv,     "CR"sv,      "S^\r\n"sv,
                               "CR"sv,      "S^\rP\n"sv,  "="sv,       "Q^=V\n"sv,
                               "NUL"sv,     "K^\0=1\n"sv, "NUL"sv,     "O^\0S\n"sv,
                               "pattern"sv, "^Q=VE"sv,    "pattern"sv, "# about ^KE"sv};

// How often each counted kind occurred, over all files.
std::map<std::string, std::size_t> tally;

// Printable text, blanks in it when asked; long text repeats a random piece.
std::string filler(random_bits& r, std::size_t length, bool blanks) {
  static constexpr std::string_view chars =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.:/,+";
  std::string text(length, ' ');
  for (std::size_t i = 0; i < length; ++i) {
    text[i] = i >= 61 ? text[i - 61] : blanks && r.percent(12) ? ' ' : chars[r.below(chars.size())];
  }
  return text;
}

std::string cased(random_bits& r, std::string key) {
  const std::size_t style = r.below(10);  // 8 in 10 as they stand, 1 lower, 1 mixed
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z' && (style == 8 || (style == 9 && r.percent(50)))) {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return key;
}

// A number, words or base64-like text, plain or quoted in one of the ways a
// hand-edited file holds it.
std::string value(random_bits& r) {
  static constexpr std::array numbers{"0",  "1",  "65535", "4294967296", "18446744073709551616",
                                      "-1", "+5", " 3",    "3abc",       ""};
  static constexpr std::array words{"eth0", "224.0.0.0/4", "a b",       " leading",
                                    "x=y",  "MOD_TAL_X",   "tab\there", "\xc3\xa9t\xc3\xa9"};
  std::string v = r.percent(30)   ? r.pick(numbers)
                  : r.percent(40) ? r.pick(words)
                                  : filler(r, r.below(200), true);
  const std::size_t style = r.below(10);
  return style < 2    ? '"' + v + '"'
         : style == 2 ? '"' + v
         : style == 3 ? v + '"'
         : style == 4 ? '\'' + v + '\''
         : style == 5 ? v.insert(r.below(v.size() + 1), "\"q\"")
                      : v;
}

// One file being made.
struct maker {
  random_bits r;
  std::string out;
  std::array<bool, 4> present{};  // the sections whose lines the file holds
  bool crlf = false;
  std::size_t mark = 0;  // where the last form's F, B or ^ stood

  explicit maker(std::uint64_t seed) : r{seed} {}
  std::string ending() { return crlf || r.percent(3) ? "\r\n" : "\n"; }
  std::string pair(const std::string& key) { return key + "=" + value(r); }
  // A line of a section the file holds, none if it does not hold the one picked.
  std::string own_line() {
    const std::size_t i = r.below(4);
    return present[i] ? pair(cased(r, sections[i].key(r))) : "";
  }

  // The line a form stands for: O another section's key=value, S a line of a
  // section the file holds (if it holds the one picked), N a near key's, K a
  // key of any of the four, P one with a value, Q a key of one the file holds
  // (else in lower case), V a value, T text, X another section's key, Z a
  // pattern, E an ending. ^ marks a place; a long line is made up to length
  // at F or B.
  std::string expand(std::string_view form, std::size_t length = 0) {
    std::string text;
    for (const char c : form) {
      const std::size_t i = r.below(4);
      const section& any = sections[i];
      const section* s = present[i] ? &any : nullptr;  // one the file holds
      if (c == 'F' || c == 'B' || c == '^') {
        mark = text.size();
        continue;
      }
      text += c == 'O'   ? pair(r.pick(other_keys))
              : c == 'S' ? pair(s == nullptr ? r.pick(other_keys) : cased(r, s->key(r)))
              : c == 'N' ? pair(cased(r, "MOD_TAL_" + r.pick(any.near)))
              : c == 'K' ? any.key(r)
              : c == 'P' ? pair(any.key(r))
              : c == 'Q' ? (s == nullptr ? cased(r, any.key(r)) : s->key(r))
              : c == 'V' ? value(r)
              : c == 'T' ? filler(r, r.below(30), true)
              : c == 'X' ? r.pick(other_keys)
              : c == 'Z' ? std::string(any.pattern)
              : c == 'E' ? ending()
                         : std::string(1, c);
    }
    if (form.find_first_of("FB") != std::string_view::npos) {
      const std::size_t n = length > text.size() ? length - text.size() : 0;
      text.insert(mark, form == "B" ? std::string(n, ' ') : filler(r, n, r.percent(25)));
    }
    return text;
  }
  // Any line but a long one: at most about 550 bytes.
  std::string line(std::string_view end = "E") {
    const std::string form = r.percent(75) ? r.pick(plain_forms) : r.pick(odd_forms);
    return expand(form + std::string(end));
  }

  // text, with its byte at on the next multiple of boundary (shift 1) or
  // just before it (shift 0): ordinary lines, then one of the length left.
  void place(const std::string& text, std::size_t at, std::size_t boundary, std::size_t shift) {
    const std::size_t offset = ((out.size() + at) / boundary + 1) * boundary - 1 + shift - at;
    while (offset - out.size() > 700) {
      out += line();
    }
    const std::size_t gap = offset - out.size();
    out += gap < 6 ? std::string(gap, '\n') : "PAD=" + filler(r, gap - 5, false) + "\n";
    out += text;
  }

  // A line feed, a CR, "=", a NUL or a pattern across a boundary.
  void straddle(std::size_t boundary) {
    const std::size_t kind = 2 * r.below(straddles.size() / 2);
    const std::string text = expand(straddles[kind + 1]);
    // A pattern is split anywhere, half the time in the two bytes after MOD_TAL_.
    const bool split = straddles[kind] == "pattern";
    const std::size_t at = split ? mark + (r.percent(50) ? 9 : 1 + r.below(12)) : mark;
    const std::size_t shift = split ? 1 : r.below(2);
    place(text, at, boundary, shift);
    tally["straddle of " + std::string(straddles[kind])]++;
    tally["straddle at a multiple of " + std::to_string(boundary)]++;
  }
};

std::string make_file(std::uint64_t seed, std::size_t index) {
  maker m(seed * 0x100000001b3ULL + index);
  random_bits& r = m.r;
  const std::size_t size_class = r.below(1000);
  const std::size_t size = size_class < 5     ? 0
                           : size_class < 200 ? 1 + r.below(600)
                           : size_class < 500 ? 600 + r.below(16000)
                           : size_class < 800 ? 16384 + r.below(184000)
                           : size_class < 965 ? 200000 + r.below(800000)
                                              : 1000000 + r.below(1300000);
  m.crlf = r.percent(5);
  for (bool& present : m.present) {
    present = r.percent(75);
  }
  m.out = r.percent(12) ? m.own_line() : "";
  tally["file made to start with a section's line"] += !m.out.empty();
  m.out += m.out.empty() ? "" : "\n";
  // A long line or a straddle now and then: about one per 200 KB, at least
  // one in a file of 4 KiB or more.
  const std::size_t spacing = 2 * size / (1 + size / 200000);
  std::size_t next = size < 4096 ? SIZE_MAX : r.below(size);
  while (m.out.size() < size) {
    if (m.out.size() < next) {
      m.out += m.line();
      continue;
    }
    const std::size_t power = std::size_t{4096} << r.below(6);
    const std::size_t length = r.percent(40)   ? power - 1 + r.below(3)
                               : r.percent(50) ? 10000 + r.below(90000)
                                               : 100000 + r.below(800000);
    if (r.percent(35) && length <= size - m.out.size()) {
      m.out += m.expand(r.pick(long_forms), length - 1) + "\n";
      tally[length > 131072  ? "long line over 128 KiB"
            : length > 65536 ? "long line over 64 KiB, to 128 KiB"
                             : "long line to 64 KiB"]++;
    } else {
      m.straddle(size < 65536 ? 4096 : std::array{4096, 65536, 131072}[r.below(3)]);
    }
    next = m.out.size() + r.below(spacing);
  }
  // The last line: a section's now and then, perhaps without a line feed,
  // perhaps ending on a multiple of 4 KiB or 64 KiB.
  std::string last = r.percent(12) ? m.own_line() : "";
  tally["file made to end with a section's line"] += !last.empty();
  last = last.empty() ? m.line("") : last;
  if (last.empty() || r.percent(85)) {
    last += m.ending();
  }
  const std::size_t boundary = r.percent(80) ? 1 : r.percent(60) ? 4096 : 65536;
  m.place(last, last.size() - 1, boundary, 0);
  return size == 0 ? "" : m.out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: generate SEED COUNT DIR\n");
    return 64;
  }
  const std::uint64_t seed = std::strtoull(argv[1], nullptr, 10);
  const std::size_t count = std::strtoull(argv[2], nullptr, 10);
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string content = make_file(seed, i);
    std::array<char, 32> name{};
    std::snprintf(name.data(), name.size(), "/%05zu.settings", i);
    const std::string path = argv[3] + std::string(name.data());
    if (!(std::ofstream(path, std::ios::binary) << content << std::flush)) {
      std::fprintf(stderr, "generate: cannot write %s\n", path.c_str());
      return 1;
    }
    bytes += content.size();
    tally["file size a multiple of 4 KiB"] += !content.empty() && content.size() % 4096 == 0;
    tally["file size a multiple of 64 KiB"] += !content.empty() && content.size() % 65536 == 0;
    tally["file without a final line feed"] += !content.empty() && content.back() != '\n';
  }
  std::printf("generated %zu files, %zu bytes, seed %llu\n", count, bytes,
              static_cast<unsigned long long>(seed));
  for (const auto& [kind, times] : tally) {
    std::printf("%8zu  %s\n", times, kind.c_str());
  }
  return 0;
}
