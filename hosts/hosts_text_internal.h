// How the transform splits the hosts file into lines and tokens. Used by the
// transform itself, its tests and its fuzzer; the update needs only
// hosts_text.h.

#ifndef HOSTS_HOSTS_TEXT_INTERNAL_H_
#define HOSTS_HOSTS_TEXT_INTERNAL_H_

#include <cstddef>
#include <cstring>
#include <string_view>

namespace hosts {

// The six bytes of the classic locale's white-space class.
constexpr bool IsHostsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The first two white-space separated tokens of a data line. A token that is
// not there is empty.
struct LineTokens {
  std::string_view address;
  std::string_view host;
};
LineTokens ReadTokens(std::string_view line);

// The line of `text` that starts at offset `start` (below text.size()):
// `line` excludes the line end (a line feed, together with a carriage return
// directly before it); `next` is the offset where the following line starts.
// A last line without a line end is still a line.
struct LineSpan {
  std::string_view line;
  std::size_t next;
};
inline LineSpan LineAt(std::string_view text, std::size_t start) {
  const char* const base = text.data();
  const void* found = std::memchr(base + start, '\n', text.size() - start);
  std::size_t end =
      found ? static_cast<std::size_t>(static_cast<const char*>(found) - base) : text.size();
  const std::size_t next = found ? end + 1 : text.size();
  if (found && end > start && base[end - 1] == '\r') --end;
  return {text.substr(start, end - start), next};
}

// Calls `visit(line, next)` for every line of `text`, in order; nothing
// follows a final line feed.
template <typename Visit>
void ForEachLine(std::string_view text, Visit&& visit) {
  for (std::size_t start = 0; start < text.size();) {
    const LineSpan span = LineAt(text, start);
    visit(span.line, span.next);
    start = span.next;
  }
}

}  // namespace hosts

#endif  // HOSTS_HOSTS_TEXT_INTERNAL_H_
