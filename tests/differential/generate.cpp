// Settings files for the differential run of two builds of the tool
// (tests/differential/run.sh). Each file is made at random from the seed and
// its own number, so a seed always gives the same files, whatever the count.
//
// A file mixes ordinary key=value lines of other sections with the lines that
// matter to the sections the run stores into (pim_sm, ospf, mpls, global):
// their keys in upper, lower and mixed case; keys near theirs (MOD_TAL_PIM_
// but not PIM_SM, MOD_TAL_OSPF6_); the section's pattern on a line without
// "=" and in another key's value; quoted values; carriage returns and NUL
// bytes inside lines, with the pattern or "=" behind them; empty lines; lines
// of tens and hundreds of KB; a missing final line feed. Line feeds, carriage
// returns, NUL bytes, "=" and the pattern are placed across offsets that are
// multiples of 4 KiB to 128 KiB, where a reader's buffer is likely to end,
// and some files end exactly on such an offset.
//
// usage: generate SEED COUNT DIR
// Writes DIR/00000.settings ... and prints, for each kind of line or
// placement, in how many files it occurs and how often in all.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

// splitmix64: the same numbers on every compiler and C++ library.
class random_bits {
 public:
  explicit random_bits(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30U)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27U)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31U);
  }
  std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(next() % n); }
  std::size_t between(std::size_t low, std::size_t high) { return low + below(high - low + 1); }
  bool percent(std::size_t p) { return below(100) < p; }
  template <typename List>
  const auto& pick(const List& items) {
    return items[below(std::size(items))];
  }

 private:
  std::uint64_t state_;
};

// How often each kind of line or placement was written, by name; the names
// group by their first word when sorted.
using feature = std::string_view;
using feature_counts = std::map<std::string, std::size_t, std::less<>>;

constexpr std::array<std::size_t, 5> boundaries{4096, 8192, 16384, 65536, 131072};

// A section the run stores into: its pattern (a line holding it and "=" is
// the section's), its keys and keys near them.
struct target {
  std::string_view token;
  std::string pattern;
  std::vector<std::string> keys;
  std::vector<std::string> near_kept;     // without the pattern: kept
  std::vector<std::string> near_pattern;  // with the pattern, unknown to the section
};

std::vector<target> make_targets() {
  std::vector<target> targets;
  target pim{"pim_sm",
             "MOD_TAL_PIM_SM_",
             {"MOD_TAL_PIM_SM_ENABLED", "MOD_TAL_PIM_SM_RP_ADDR", "MOD_TAL_PIM_SM_BSR_ENABLED",
              "MOD_TAL_PIM_SM_BSR_BSR_ENABLED", "MOD_TAL_PIM_SM_BSR_RP_ENABLED",
              "MOD_TAL_PIM_SM_BSR_ADVERTISED_GROUP", "MOD_TAL_PIM_SM_BSR_RP_PRIORITY",
              "MOD_TAL_PIM_SM_BSR_PRIORITY", "MOD_TAL_PIM_SM_USE_RAW_CFG", "MOD_TAL_PIM_SM_CONF"},
             {"MOD_TAL_PIM_ENABLED", "MOD_TAL_PIM_CONF", "MOD_TAL_PIM_RP_ADDR", "MOD_TAL_PIM_SM",
              "MOD_TAL_PIM_SMX_ENABLED", "MOD_TAL_PIMSM_CONF", "MOD_TAL_PIM__SM_ENABLED",
              "MOD_TAL_PIM_S_M_ENABLED", "MOD_TAL_PIM_SM6_ENABLED"},
             {"MOD_TAL_PIM_SM_IFACE12_ENABLED", "MOD_TAL_PIM_SM_IFACE_NAME",
              "MOD_TAL_PIM_SM_IFACE01_NAME", "MOD_TAL_PIM_SM_UNKNOWN", "MOD_TAL_PIM_SM_",
              "XMOD_TAL_PIM_SM_CONF", "MOD_TAL_PIM_SM_CONF_OLD"}};
  for (int slot = 0; slot < 12; ++slot) {
    for (const char* name : {"_ENABLED", "_NAME", "_DR_PRIORITY", "_PASSIVE"}) {
      pim.keys.push_back("MOD_TAL_PIM_SM_IFACE" + std::to_string(slot) + name);
    }
  }
  targets.push_back(pim);
  targets.push_back({"ospf",
                     "MOD_TAL_OSPF_",
                     {"MOD_TAL_OSPF_ENABLED", "MOD_TAL_OSPF_CONF"},
                     {"MOD_TAL_OSPF6_ENABLED", "MOD_TAL_OSPF6_CONF", "MOD_TAL_OSPF",
                      "MOD_TAL_OSPFV3_CONF", "MOD_TAL_OSPF6__CONF"},
                     {"MOD_TAL_OSPF_AREA", "MOD_TAL_OSPF__CONF", "XMOD_TAL_OSPF_CONF",
                      "MOD_TAL_OSPF_CONF_OLD", "MOD_TAL_OSPF_ENABLED2", "MOD_TAL_OSPF_"}});
  targets.push_back(
      {"mpls",
       "MOD_TAL_MPLS_",
       {"MOD_TAL_MPLS_ENABLED", "MOD_TAL_MPLS_ETH0_ENABLED", "MOD_TAL_MPLS_ETH1_ENABLED",
        "MOD_TAL_MPLS_ETH2_ENABLED", "MOD_TAL_MPLS_GRE1_ENABLED", "MOD_TAL_MPLS_GRE2_ENABLED",
        "MOD_TAL_MPLS_PLATFORM_LABELS"},
       {"MOD_TAL_MPLS2_ENABLED", "MOD_TAL_MPLSX_CONF", "MOD_TAL_MPLS",
        "MOD_TAL_MPLS6_ETH0_ENABLED"},
       {"MOD_TAL_MPLS_ETH3_ENABLED", "MOD_TAL_MPLS_PLATFORM_LABELS_MAX", "MOD_TAL_MPLS_CONF",
        "MOD_TAL_MPLS_"}});
  targets.push_back({"global",
                     "MOD_TAL_GLOBAL_",
                     {"MOD_TAL_GLOBAL_ENABLED", "MOD_TAL_GLOBAL_LOG_LEVEL"},
                     {"MOD_TAL_GLOBALS_LOG_LEVEL", "MOD_TAL_GLOBAL", "MOD_TAL_GLOBALX_ENABLED"},
                     {"MOD_TAL_GLOBAL_LOG_LEVEL_OLD", "MOD_TAL_GLOBAL_LOGLEVEL",
                      "MOD_TAL_GLOBAL_CONF", "MOD_TAL_GLOBAL_"}});
  return targets;
}

const std::vector<target>& targets() {
  static const std::vector<target> all = make_targets();
  return all;
}

constexpr std::array other_keys{"MOD_TAL_VRF1_NAME",
                                "MOD_TAL_VRF1_IF",
                                "MOD_TAL_VRF2_NAME",
                                "MOD_TAL_VRF2_IF",
                                "MOD_TAL_VRF3_NAME",
                                "MOD_TAL_VRF3_IF",
                                "MOD_TAL_VRF_L3MDEV_ACCESS",
                                "MOD_TAL_VRF1_ENABLED",
                                "MOD_TAL_VRF_ENABLED",
                                "MOD_TAL_BGP_ENABLED",
                                "MOD_TAL_BGP_CONF",
                                "MOD_TAL_RIP_ENABLED",
                                "MOD_TAL_RIP_CONF",
                                "MOD_TAL_ISIS_ENABLED",
                                "MOD_TAL_ISIS_CONF",
                                "HOSTNAME",
                                "LAN_IPADDR",
                                "LAN_NETMASK",
                                "WAN_PROTO",
                                "NTP_SERVER",
                                "SYSLOG_REMOTE",
                                "FW_VERSION",
                                "mod_tal_bgp_conf",
                                "Wan_Mtu"};

constexpr std::array number_values{"0",
                                   "1",
                                   "2",
                                   "7",
                                   "12",
                                   "100",
                                   "65535",
                                   "4294967295",
                                   "4294967296",
                                   "18446744073709551615",
                                   "18446744073709551616",
                                   "99999999999999999999999",
                                   "-1",
                                   "-0",
                                   "+5",
                                   " 3",
                                   "\t4",
                                   "\v9",
                                   "3abc",
                                   "abc",
                                   "",
                                   "0x10",
                                   "010",
                                   " -2",
                                   "1 2"};

constexpr std::array text_values{"eth0",
                                 "lan",
                                 "br-lan.100",
                                 "10.0.0.1",
                                 "224.0.0.0/4",
                                 "debug",
                                 "informational",
                                 "3",
                                 "a b",
                                 " leading",
                                 "trailing ",
                                 "x=y",
                                 "a==b",
                                 "MOD_TAL_X",
                                 "tab\there",
                                 "~!@#$%^&*()",
                                 "\xc3\xa9t\xc3\xa9",
                                 "back\\slash",
                                 "$VAR",
                                 "it's",
                                 "#not a comment",
                                 ""};

constexpr std::string_view base64_alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// One file being made: its bytes, its choices and what it counted.
struct file_maker {
  random_bits random;
  std::string out;
  feature_counts counts{};
  std::array<bool, 4> present{};
  bool crlf_file = false;
  std::vector<std::string> section_keys_used;                 // as listed, for repeats
  std::vector<std::pair<std::size_t, std::string>> expected;  // offset, bytes placed there

  explicit file_maker(std::uint64_t seed) : random(seed) {}
  void count(feature f) {
    if (const auto it = counts.find(f); it != counts.end()) {
      ++it->second;
    } else {
      counts.emplace(f, 1);
    }
  }
};

std::string printable(file_maker& m, std::size_t length, bool blanks) {
  static constexpr std::string_view chars =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.:/,+";
  std::string text;
  text.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    text.push_back(blanks && m.random.percent(12) ? ' ' : m.random.pick(chars));
  }
  return text;
}

// The parts in a row. The elements of a braced list are evaluated in order,
// unlike the operands of +: a line made of several random parts comes out
// the same with every compiler.
std::string joined(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (const std::string_view part : parts) {
    text.append(part);
  }
  return text;
}

// Long text: a random piece repeated, cheap to make at any length.
std::string filler(file_maker& m, std::size_t length, bool blanks) {
  const std::string piece = printable(m, 61, blanks);
  std::string text;
  text.reserve(length);
  while (text.size() < length) {
    text.append(piece, 0, std::min(piece.size(), length - text.size()));
  }
  return text;
}

std::string base64_value(file_maker& m) {
  std::string text;
  const std::size_t length = m.random.below(4) == 0 ? m.random.below(8) : m.random.between(4, 300);
  for (std::size_t i = 0; i < length; ++i) {
    text.push_back(m.random.pick(base64_alphabet));
  }
  if (m.random.percent(30)) {
    text.append(m.random.percent(50) ? "=" : "==");
  }
  if (m.random.percent(4)) {
    const std::size_t at = m.random.below(text.size() + 1);
    text.insert(at, m.random.percent(50) ? "*" : " ");
  }
  return text;
}

std::string number_value(file_maker& m) {
  std::string_view value = m.random.pick(number_values);
  if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos ||
      value.size() > 9) {
    m.count("value: number with sign, blank, overflow or letters");
  }
  return std::string(value);
}

std::string text_value(file_maker& m) {
  if (m.random.percent(30)) {
    return printable(m, m.random.below(40), true);
  }
  return m.random.pick(text_values);
}

// A value fitting the key: base64 for a text, words for names, else a number.
std::string value_for(file_maker& m, std::string_view key) {
  if (key.ends_with("CONF") || key.ends_with("conf")) {
    return base64_value(m);
  }
  if (key.find("NAME") != std::string_view::npos || key.find("ADDR") != std::string_view::npos ||
      key.find("GROUP") != std::string_view::npos || key.find("LEVEL") != std::string_view::npos ||
      key.ends_with("_IF") || m.random.percent(20)) {
    return text_value(m);
  }
  return number_value(m);
}

// The value as it stands on the line: plain or quoted in one of the ways a
// hand-edited file holds it.
std::string quoted(file_maker& m, const std::string& value) {
  if (value.empty()) {
    m.count("value: empty");
  }
  if (value.find(' ') != std::string::npos) {
    m.count("value: holds a blank");
  }
  const std::size_t style = m.random.below(100);
  if (style < 62) {
    m.count("value: plain");
    return value;
  }
  if (style < 82) {
    m.count("value: quoted \"...\"");
    return '"' + value + '"';
  }
  if (style < 87) {
    m.count("value: opening quote only");
    return '"' + value;
  }
  if (style < 91) {
    m.count("value: closing quote only");
    return value + '"';
  }
  if (style < 96) {
    m.count("value: inner quotes");
    const std::size_t at = m.random.below(value.size() + 1);
    std::string inner = value.substr(0, at) + "\"q\"" + value.substr(at);
    return m.random.percent(50) ? '"' + inner + '"' : inner;
  }
  m.count("value: single quotes");
  return '\'' + value + '\'';
}

std::string cased(file_maker& m, std::string_view key) {
  std::string text(key);
  const std::size_t style = m.random.below(100);
  if (style < 80) {
    return text;
  }
  if (style < 90) {
    m.count("key: section or near key in lower case");
    for (char& c : text) {
      c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return text;
  }
  m.count("key: section or near key in mixed case");
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z' && m.random.percent(50)) {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

std::size_t present_target(file_maker& m) {
  std::array<std::size_t, 4> choices{};
  std::size_t n = 0;
  for (std::size_t t = 0; t < m.present.size(); ++t) {
    if (m.present[t]) {
      choices[n++] = t;
    }
  }
  return n == 0 ? targets().size() : choices[m.random.below(n)];
}

std::string ending(file_maker& m) {
  if (m.crlf_file || m.random.percent(4)) {
    m.count("cr: line ending CRLF");
    return "\r\n";
  }
  return "\n";
}

std::string other_line(file_maker& m) {
  m.count("line: other section's or system key=value");
  std::string key;
  if (m.random.percent(25)) {
    m.count("line: other key=value, made-up key");
    key = "KEY_" + std::to_string(m.random.below(100000));
  } else {
    key = m.random.pick(other_keys);
  }
  return key + "=" + quoted(m, value_for(m, key));
}

// A line of one of the sections, or an ordinary line when none is present.
std::string section_line(file_maker& m) {
  const std::size_t t = present_target(m);
  if (t == targets().size()) {
    return other_line(m);
  }
  m.count("line: section key (pim_sm, ospf, mpls, global)");
  const std::string& canonical = m.random.pick(targets()[t].keys);
  m.section_keys_used.push_back(canonical);
  const std::string key = cased(m, canonical);
  return key + "=" + quoted(m, value_for(m, key));
}

std::string repeat_line(file_maker& m) {
  if (m.section_keys_used.empty()) {
    return section_line(m);
  }
  m.count("line: section key written again");
  const std::string key = cased(m, m.random.pick(m.section_keys_used));
  return key + "=" + quoted(m, value_for(m, key));
}

std::string near_line(file_maker& m) {
  const std::size_t present = present_target(m);
  if (present != targets().size() && m.random.percent(40)) {
    m.count("line: unknown key holding the pattern (MOD_TAL_OSPF_AREA ...)");
    const std::string key = cased(m, m.random.pick(targets()[present].near_pattern));
    return key + "=" + quoted(m, value_for(m, key));
  }
  m.count("line: near key without the pattern (MOD_TAL_PIM_, MOD_TAL_OSPF6_ ...)");
  const std::string key = cased(m, m.random.pick(m.random.pick(targets()).near_kept));
  return key + "=" + quoted(m, value_for(m, key));
}

std::string decorated_line(file_maker& m) {
  const std::size_t t = present_target(m);
  if (t == targets().size()) {
    return other_line(m);
  }
  m.count("line: section key with blank, tab or export around it");
  const std::string key = m.random.pick(targets()[t].keys);
  const std::string value = value_for(m, key);
  switch (m.random.below(5)) {
    case 0:
      return " " + key + "=" + value;
    case 1:
      return key + " =" + value;
    case 2:
      return key + "= " + value;
    case 3:
      return "\t" + key + "=" + value;
    default:
      return "export " + key + "=" + quoted(m, value);
  }
}

std::string comment_line(file_maker& m) {
  const std::size_t t = m.random.below(targets().size());
  switch (m.random.below(6)) {
    case 0:
      m.count("line: comment, no pattern, no =");
      return "# " + printable(m, m.random.below(60), true);
    case 1:
      m.count("line: comment with =, no pattern");
      return "# a=b " + printable(m, m.random.below(20), true);
    case 2:
      m.count("line: pattern without = (comment, bare key)");
      return "# " + m.random.pick(targets()[t].keys) + " holds the section's text";
    case 3:
      m.count("line: pattern without = (comment, bare key)");
      return m.random.pick(targets()[t].keys);
    case 4:
      m.count("line: pattern without = (comment, bare key)");
      return targets()[t].pattern;
    default:
      m.count("line: pattern without = (comment, bare key)");
      return "; " + targets()[t].pattern + ": " + printable(m, m.random.below(30), true);
  }
}

std::string value_pattern_line(file_maker& m) {
  const std::size_t t = present_target(m);
  const std::string key = m.random.pick(other_keys);
  if (t == targets().size() || m.random.percent(25)) {
    m.count("line: pattern in lower case in another key's value");
    const target& any = m.random.pick(targets());
    return key + "=" + cased(m, any.pattern) + "x";
  }
  m.count("line: pattern in another key's value");
  const std::string& section_key = m.random.pick(targets()[t].keys);
  switch (m.random.below(3)) {
    case 0:
      return key + "=" + section_key;
    case 1:
      return key + "=\"see " + section_key + "=1\"";
    default:
      return key + "=" + printable(m, m.random.below(20), false) + targets()[t].pattern;
  }
}

std::string pattern_key_line(file_maker& m) {
  const std::size_t t = m.random.below(targets().size());
  return joined({m.random.pick(targets()[t].keys), "=", value_for(m, "")});
}

std::string cr_line(file_maker& m) {
  m.count("cr: inside a line, text after it");
  const std::size_t t = present_target(m);
  const std::size_t any = m.random.below(targets().size());
  switch (m.random.below(8)) {
    case 0:
      return joined({other_line(m), "\r", printable(m, m.random.below(30), true)});
    case 1:
      if (t != targets().size()) {
        m.count("cr: inside a section key's value");
        const std::string& key = m.random.pick(targets()[t].keys);
        return joined({key, "=", value_for(m, key), "\r", value_for(m, key)});
      }
      return other_line(m) + "\r";
    case 2:
      m.count("cr: pattern and = after it");
      return joined({other_line(m), "\r", pattern_key_line(m)});
    case 3:
      m.count("cr: = only after it");
      return joined({m.random.pick(targets()[any].keys), "\r=", value_for(m, "")});
    case 4:
      m.count("cr: pattern and = after it");
      return "# note\r" + pattern_key_line(m);
    case 5:
      m.count("cr: first on the line");
      return "\r" + pattern_key_line(m);
    case 6:
      return joined({other_line(m), "\r\r", printable(m, 5, false), "\r"});
    default:
      m.count("nul: inside a line");
      return joined({other_line(m), std::string_view("\0x\r", 3), pattern_key_line(m)});
  }
}

std::string nul_line(file_maker& m) {
  m.count("nul: inside a line");
  const std::size_t t = present_target(m);
  const std::size_t any = m.random.below(targets().size());
  const std::string nul(1, '\0');
  switch (m.random.below(7)) {
    case 0: {
      std::string line = other_line(m);
      line.insert(m.random.below(line.size() + 1), nul);
      return line;
    }
    case 1:
      m.count("nul: pattern after it");
      return joined({m.random.pick(other_keys), "=x", nul, pattern_key_line(m)});
    case 2:
      m.count("nul: = only after it");
      return joined({m.random.pick(targets()[any].keys), nul, "=", value_for(m, "")});
    case 3:
      if (t != targets().size()) {
        m.count("nul: inside a section key's value");
        const std::string& key = m.random.pick(targets()[t].keys);
        return key + "=ab" + nul + value_for(m, key);
      }
      return other_line(m) + nul;
    case 4:
      m.count("nul: first on the line");
      return nul + pattern_key_line(m);
    case 5:
      m.count("nul: line of NULs only");
      return std::string(m.random.between(1, 8), '\0');
    default:
      m.count("nul: pattern after it");
      return "# " + nul + targets()[any].pattern + "CONF=" + base64_value(m);
  }
}

// Any line but a long one, with its ending: at most about 450 bytes.
std::string random_line(file_maker& m) {
  const std::size_t kind = m.random.below(100);
  std::string line;
  if (kind < 34) {
    line = other_line(m);
  } else if (kind < 56) {
    line = section_line(m);
  } else if (kind < 60) {
    line = repeat_line(m);
  } else if (kind < 68) {
    line = near_line(m);
  } else if (kind < 70) {
    line = decorated_line(m);
  } else if (kind < 75) {
    line = comment_line(m);
  } else if (kind < 79) {
    line = value_pattern_line(m);
  } else if (kind < 85) {
    line = cr_line(m);
  } else if (kind < 90) {
    line = nul_line(m);
  } else if (kind < 96) {
    m.count("line: empty");
    line.clear();
  } else {
    m.count("line: blanks and tabs only");
    line = m.random.percent(50) ? " " : " \t  ";
  }
  return line + ending(m);
}

// A line of exactly length bytes (at least 1), ending in a line feed.
std::string pad_line(file_maker& m, std::size_t length) {
  m.count("line: filler of an exact length (for a placement)");
  if (length < 8) {
    return std::string(length - 1, '#') + "\n";
  }
  if (m.crlf_file) {
    return "FILL=" + filler(m, length - 7, false) + "\r\n";
  }
  return "FILL=" + filler(m, length - 6, false) + "\n";
}

// Ordinary lines up to offset, then one line that ends exactly there.
void pad_to(file_maker& m, std::size_t offset) {
  constexpr std::size_t exact_below = 1000;
  while (offset - m.out.size() > exact_below) {
    m.out += random_line(m);
  }
  if (offset > m.out.size()) {
    m.out += pad_line(m, offset - m.out.size());
  }
}

// Puts line so that its byte at index at lands on offset; false when the
// file is already past the place the line needs.
bool place(file_maker& m, const std::string& line, std::size_t at, std::size_t offset) {
  if (offset < at || offset - at < m.out.size()) {
    return false;
  }
  pad_to(m, offset - at);
  m.out += line;
  return true;
}

// A long line of one of the kinds that test a reader: the section's
// pattern or "=" far from the start, behind a CR or a NUL.
std::string long_line(file_maker& m, std::size_t length, feature length_class) {
  m.count(length_class);
  const std::size_t t = m.random.below(targets().size());
  const target& section = targets()[t];
  const std::string key = m.random.pick(section.keys);
  const std::string nul(1, '\0');
  const auto rest = [&](std::size_t used) {
    return filler(m, length > used ? length - used : 0, m.random.percent(25));
  };
  std::string line;
  std::size_t kind = m.random.below(9);
  if (kind == 5 && length < 70000) {
    kind = 4;
  }
  switch (kind) {
    case 0:
    case 1:
      m.count("long: other key's value");
      line = "LONG_VALUE=";
      line += rest(line.size());
      break;
    case 2:
      m.count("long: section key's value");
      line = cased(m, key) + "=";
      if (key.ends_with("ENABLED") || key.ends_with("PRIORITY") || key.ends_with("LABELS")) {
        line += "1" + std::string(length > line.size() + 1 ? length - line.size() - 1 : 0, '0');
      } else {
        line += rest(line.size());
      }
      break;
    case 3:
      m.count("long: pattern at the far end, no =");
      line = "# " + rest(2 + key.size()) + key;
      break;
    case 4:
      m.count("long: pattern first, = at the far end");
      line = key + " " + rest(key.size() + 3) + "=1";
      break;
    case 5:
      m.count("long: pattern and = at the far end, past 64 KiB");
      line = "# " + rest(2 + key.size() + 2) + key + "=1";
      break;
    case 6:
      m.count("long: CR far on, then the pattern");
      line = "LONG_CR=" + rest(9 + key.size() + 2) + "\r" + key + "=1";
      break;
    case 7:
      m.count("long: NUL far on, then the pattern");
      line = "LONG_NUL=" + rest(10 + key.size() + 2) + nul + key + "=1";
      break;
    default:
      m.count("long: blanks only");
      line = std::string(length, ' ');
      break;
  }
  return line + ending(m);
}

struct long_plan {
  std::size_t offset;
  std::size_t length;
  feature length_class;
};

long_plan long_length(file_maker& m, std::size_t offset, std::size_t target_size) {
  std::vector<std::size_t> choices;
  for (std::size_t power = 4096; power <= 131072; power *= 2) {
    if (power + 1 <= target_size) {
      choices.push_back(power);
    }
  }
  const std::size_t kind = m.random.below(3);
  if ((kind == 0 || target_size < 20000) && !choices.empty()) {
    const std::size_t power = m.random.pick(choices);
    return {offset, power - 1 + m.random.below(3),
            "long: length 2^k-1, 2^k or 2^k+1 (4 KiB..128 KiB)"};
  }
  if (kind == 1 || target_size < 200000) {
    const std::size_t most =
        std::min<std::size_t>(99999, std::max<std::size_t>(10000, target_size));
    return {offset, m.random.between(10000, most), "long: 10 KB to 100 KB"};
  }
  return {offset, m.random.between(100000, std::min<std::size_t>(900000, target_size)),
          "long: 100 KB to 900 KB"};
}

// How far ahead of a placement the lines leading up to it are made.
constexpr std::size_t placement_room = 2000;

struct straddle {
  std::size_t offset;
  std::size_t boundary;
};

void count_boundary(file_maker& m, std::size_t boundary) {
  m.count("placed: at a multiple of " + std::to_string(boundary));
}

// A line placed so that a byte of interest (a line feed, a CR, "=", a NUL,
// or the middle of the pattern) falls just before or just after the planned
// boundary; what lands there is checked once the file is made.
void place_straddle(file_maker& m, const straddle& s) {
  std::string line;
  std::size_t at = 0;
  feature kind = "placed: LF last byte before a boundary";
  const std::size_t t = present_target(m);
  const std::size_t any = m.random.below(targets().size());
  std::size_t shift = 0;  // the byte lands on offset - 1 + shift
  std::string expect;
  std::size_t expect_at = 0;
  switch (m.random.below(7)) {
    case 0:
    case 1: {
      const bool before = m.random.percent(50);
      kind = before ? "placed: LF last byte before a boundary"
                    : "placed: LF first byte after a boundary";
      line = (m.random.percent(50) ? section_line(m) : random_line(m));
      if (line.empty() || line.back() != '\n') {
        line += "\n";
      }
      at = line.size() - 1;
      shift = before ? 0 : 1;
      expect = "\n";
      break;
    }
    case 2:
      kind = "placed: CR before, LF after a boundary";
      line = (m.random.percent(50) ? section_line(m) : other_line(m)) + "\r\n";
      at = line.size() - 2;
      shift = 0;
      expect = "\r\n";
      break;
    case 3:
      kind = "placed: mid-line CR on either side of a boundary";
      line = cr_line(m) + "\n";
      at = line.find('\r');
      if (at == std::string::npos || at + 1 == line.size() - 1) {
        line = joined({other_line(m), "\r", pattern_key_line(m), "\n"});
        at = line.find('\r');
      }
      shift = m.random.below(2);
      expect = "\r";
      break;
    case 4: {
      kind = "placed: pattern across a boundary";
      const std::size_t which = t == targets().size() ? any : t;
      const std::string& pattern = targets()[which].pattern;
      switch (m.random.below(4)) {
        case 0:
          line = joined({m.random.pick(targets()[which].keys), "=", value_for(m, "")});
          break;
        case 1:
          line = "# about " + m.random.pick(targets()[which].keys);
          break;
        case 2:
          line = m.random.pick(other_keys) + std::string("=") + pattern + "CONF";
          break;
        default:
          line = joined({m.random.pick(targets()[which].near_pattern), "=", value_for(m, "")});
          break;
      }
      line += ending(m);
      const std::size_t from = line.find(pattern);
      const std::size_t into = m.random.between(1, pattern.size() - 1);
      at = from + into;
      shift = 1;
      expect = pattern;
      expect_at = into;
      break;
    }
    case 5: {
      kind = "placed: = on either side of a boundary";
      line = joined({t == targets().size() ? other_line(m) : section_line(m), ending(m)});
      at = line.find('=');
      shift = m.random.below(2);
      expect = "=";
      break;
    }
    default:
      kind = "placed: NUL on either side of a boundary";
      line = joined({m.random.pick(targets()[any].keys), std::string_view("\0=", 2),
                     value_for(m, ""), ending(m)});
      if (m.random.percent(50)) {
        line = std::string("OTHER=x") + '\0' + targets()[any].pattern + "CONF=1" + ending(m);
      }
      m.count("nul: inside a line");
      at = line.find('\0');
      shift = m.random.below(2);
      expect = std::string(1, '\0');
      break;
  }
  const std::size_t offset = s.offset - 1 + shift;
  if (!place(m, line, at, offset)) {
    m.count("placed: planned, not placed (no room)");
    return;
  }
  m.count(kind);
  count_boundary(m, s.boundary);
  m.expected.emplace_back(offset - expect_at, expect);
}

std::size_t target_size(file_maker& m) {
  const std::size_t size_class = m.random.below(1000);
  if (size_class < 5) {
    return 0;
  }
  if (size_class < 200) {
    return m.random.between(1, 600);
  }
  if (size_class < 500) {
    return m.random.between(600, 16384);
  }
  if (size_class < 800) {
    return m.random.between(16384, 200000);
  }
  if (size_class < 960) {
    return m.random.between(200000, 1000000);
  }
  return m.random.between(1000000, 2500000);
}

std::vector<straddle> plan_straddles(file_maker& m, std::size_t size) {
  std::vector<straddle> plan;
  const std::size_t n = size < 4096      ? 0
                        : size < 16384   ? m.random.below(3)
                        : size < 200000  ? m.random.below(5)
                        : size < 1000000 ? m.random.between(1, 6)
                                         : m.random.between(2, 8);
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<std::size_t> fitting;
    for (const std::size_t b : boundaries) {
      if (b <= size) {
        fitting.push_back(b);
      }
    }
    const std::size_t boundary = m.random.pick(fitting);
    plan.push_back({boundary * m.random.between(1, size / boundary), boundary});
  }
  std::sort(plan.begin(), plan.end(),
            [](const straddle& a, const straddle& b) { return a.offset < b.offset; });
  // Each placement needs room for the lines that lead up to it.
  std::vector<straddle> apart;
  for (const straddle& s : plan) {
    if (apart.empty() || s.offset >= apart.back().offset + placement_room) {
      apart.push_back(s);
    }
  }
  return apart;
}

std::vector<long_plan> plan_long_lines(file_maker& m, std::size_t size) {
  std::vector<long_plan> plan;
  const std::size_t n = size < 4096      ? 0
                        : size < 16384   ? (m.random.percent(30) ? 1 : 0)
                        : size < 200000  ? m.random.below(3)
                        : size < 1000000 ? m.random.below(4)
                                         : m.random.below(5);
  for (std::size_t i = 0; i < n; ++i) {
    plan.push_back(long_length(m, m.random.below(size), size));
  }
  std::sort(plan.begin(), plan.end(),
            [](const long_plan& a, const long_plan& b) { return a.offset < b.offset; });
  return plan;
}

// The finished file read back: what it holds, by the rule the tool's rewrite
// applies (a line's text ends at its first CR; the section's lines hold "="
// and the pattern before any NUL).
void read_back(file_maker& m) {
  const std::string_view all = m.out;
  if (all.empty()) {
    m.count("seen: empty file");
  } else if (all.back() != '\n') {
    m.count("seen: no final line feed");
  }
  if (!all.empty()) {
    if (all.size() % 131072 == 0) {
      m.count("seen: size a multiple of 131072");
    } else if (all.size() % 65536 == 0) {
      m.count("seen: size a multiple of 65536 (not of 131072)");
    } else if (all.size() % 4096 == 0) {
      m.count("seen: size a multiple of 4096 (not of 65536)");
    }
  }
  std::array<std::size_t, 4> section_lines{};
  std::array<bool, 4> last{};
  bool first = true;
  std::size_t from = 0;
  while (from < all.size()) {
    std::size_t lf = all.find('\n', from);
    lf = lf == std::string_view::npos ? all.size() : lf;
    const std::string_view raw = all.substr(from, lf - from);
    if (raw.size() > 524288) {
      m.count("seen: line over 512 KiB");
    }
    if (raw.size() > 131072) {
      m.count("seen: line over 128 KiB");
    }
    if (raw.size() > 65536) {
      m.count("seen: line over 64 KiB");
    }
    std::string_view text = raw.substr(0, raw.find('\r'));
    text = text.substr(0, text.find('\0'));
    const bool has_equals = text.find('=') != std::string_view::npos;
    for (std::size_t t = 0; t < targets().size(); ++t) {
      last[t] = has_equals && text.find(targets()[t].pattern) != std::string_view::npos;
      section_lines[t] += last[t] ? 1 : 0;
      if (first && last[t]) {
        m.count("seen: first line is " + std::string(targets()[t].token) + "'s");
      }
    }
    first = false;
    from = lf + 1;
  }
  for (std::size_t t = 0; t < targets().size(); ++t) {
    if (last[t]) {
      m.count("seen: last line is " + std::string(targets()[t].token) + "'s");
    }
    if (section_lines[t] == 0) {
      m.count("seen: no " + std::string(targets()[t].token) + " line");
    } else if (section_lines[t] > 1) {
      m.count("seen: " + std::string(targets()[t].token) + " lines twice or more");
    }
  }
}

std::string make_file(std::uint64_t seed, std::size_t index, feature_counts& counts) {
  file_maker m(seed * 0x100000001b3ULL + index);
  const std::size_t size = target_size(m);
  if (size == 0) {
    read_back(m);
    counts = m.counts;
    return m.out;
  }
  m.crlf_file = m.random.percent(5);
  if (m.crlf_file) {
    m.count("file: CRLF endings throughout");
  }
  for (bool& present : m.present) {
    present = m.random.percent(80);
  }
  const bool first_forced = m.random.percent(12);
  const bool last_forced = m.random.percent(12);
  const bool no_final_lf = m.random.percent(15);
  const bool end_on_boundary = m.random.percent(size < 4096 ? 8 : 25);
  std::vector<straddle> straddles = plan_straddles(m, size);
  std::vector<long_plan> longs = plan_long_lines(m, size);
  std::size_t next_straddle = 0;
  std::size_t next_long = 0;

  if (first_forced && present_target(m) != targets().size()) {
    m.count("file: made to start with a section line");
    m.out += joined({section_line(m), ending(m)});
  }
  while (m.out.size() < size) {
    if (next_straddle < straddles.size() &&
        straddles[next_straddle].offset < m.out.size() + placement_room) {
      place_straddle(m, straddles[next_straddle++]);
      continue;
    }
    const std::size_t limit =
        next_straddle < straddles.size() ? straddles[next_straddle].offset : SIZE_MAX;
    if (next_long < longs.size() && longs[next_long].offset <= m.out.size()) {
      if (m.out.size() + longs[next_long].length + 10 * placement_room < limit) {
        m.out += long_line(m, longs[next_long].length, longs[next_long].length_class);
      }
      ++next_long;
      continue;
    }
    m.out += random_line(m);
  }
  while (next_straddle < straddles.size()) {
    place_straddle(m, straddles[next_straddle++]);
  }

  // The last line: a section's when so chosen, perhaps without its line feed.
  std::string last;
  if (last_forced && present_target(m) != targets().size()) {
    m.count("file: made to end with a section line");
    last = joined({section_line(m), ending(m)});
  } else {
    last = random_line(m);
  }
  if (no_final_lf) {
    while (!last.empty() && last.back() == '\n') {
      last.pop_back();
    }
    if (last.empty()) {
      last = other_line(m);
    }
  }
  if (end_on_boundary) {
    std::vector<std::size_t> fitting;
    for (const std::size_t b : boundaries) {
      if (b <= std::max<std::size_t>(size, 4096)) {
        fitting.push_back(b);
      }
    }
    const std::size_t boundary = m.random.pick(fitting);
    const std::size_t shift = m.random.below(5);  // 0: one before, 4: one after, else on it
    std::size_t end = (m.out.size() + last.size() + 600) / boundary * boundary + boundary;
    end = shift == 0 ? end - 1 : shift == 4 ? end + 1 : end;
    place(m, last, last.size() - 1, end - 1);
    m.count(shift == 0   ? "placed: file ends one byte before a boundary"
            : shift == 4 ? "placed: file ends one byte after a boundary"
                         : "placed: file ends on a boundary");
    count_boundary(m, boundary);
  } else {
    m.out += last;
  }

  for (const auto& [offset, bytes] : m.expected) {
    if (m.out.compare(offset, bytes.size(), bytes) != 0) {
      std::fprintf(stderr, "generate: file %zu: placement at %zu is wrong\n", index, offset);
      std::exit(1);
    }
  }
  read_back(m);
  counts = m.counts;
  return m.out;
}

bool write_file(const std::string& path, const std::string& content) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return false;
  }
  const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: generate SEED COUNT DIR\n");
    return 64;
  }
  const std::uint64_t seed = std::strtoull(argv[1], nullptr, 10);
  const std::size_t count = std::strtoull(argv[2], nullptr, 10);
  const std::string dir = argv[3];
  feature_counts files{};
  feature_counts total{};
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    feature_counts counts{};
    const std::string content = make_file(seed, i, counts);
    std::array<char, 32> file{};
    std::snprintf(file.data(), file.size(), "/%05zu.settings", i);
    if (!write_file(dir + file.data(), content)) {
      std::fprintf(stderr, "generate: cannot write %s%s: %s\n", dir.c_str(), file.data(),
                   std::strerror(errno));
      return 1;
    }
    bytes += content.size();
    for (const auto& [name, times] : counts) {
      ++files[name];
      total[name] += times;
    }
  }
  std::printf("generated %zu files, %zu bytes, seed %llu\n", count, bytes,
              static_cast<unsigned long long>(seed));
  std::printf("%8s %10s  %s\n", "files", "times", "kind");
  for (const auto& [name, times] : total) {
    std::printf("%8zu %10zu  %s\n", files[name], times, name.c_str());
  }
  return 0;
}
