// The rewrite as the README states it, written without the product's own
// line and token scanners, so that tests and the fuzzer compare the product
// with an independent statement of the rule:
//   - a line feed ends a line, and a carriage return right before it goes
//     with it; a last line without a line feed is still a line;
//   - a line is the tool's own when its first byte is not '#' and its first
//     two tokens, separated by the classic white-space bytes, are
//     "127.0.0.1" and one of the two names;
//   - every other line is kept, ending in CR LF; an install appends the two
//     managed lines.

#ifndef TESTS_REFERENCE_REWRITE_H_
#define TESTS_REFERENCE_REWRITE_H_

#include <locale>
#include <sstream>
#include <string>
#include <string_view>

#include "hosts/managed_hosts.h"

namespace hosts::reference {

inline bool IsOwnLine(const std::string& line) {
  if (!line.empty() && line[0] == '#') return false;
  std::istringstream tokens(line);
  tokens.imbue(std::locale::classic());
  std::string address, name;
  tokens >> address >> name;
  return address == "127.0.0.1" && (name == LocalAliasHost || name == ServiceClientHost);
}

inline std::string Rewrite(std::string_view text, bool install) {
  std::string out;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    const bool ended = end != std::string_view::npos;
    if (!ended) end = text.size();
    std::string line(text.substr(start, end - start));
    if (ended && !line.empty() && line.back() == '\r') line.pop_back();
    if (!IsOwnLine(line)) out += line + "\r\n";
    start = end + 1;
  }
  if (install) {
    out += std::string("127.0.0.1\t") + LocalAliasHost + "\r\n";
    out += std::string("127.0.0.1\t") + ServiceClientHost + "\r\n";
  }
  return out;
}

}  // namespace hosts::reference

#endif  // TESTS_REFERENCE_REWRITE_H_
