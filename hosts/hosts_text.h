// The pure text side of the hosts file update: how the file splits into
// lines and tokens, which lines belong to this tool, and the rewritten bytes.
// Nothing here touches the file system, so it can be tested and fuzzed alone.

#ifndef HOSTS_HOSTS_TEXT_H_
#define HOSTS_HOSTS_TEXT_H_

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "hosts/managed_hosts.h"

namespace hosts {

// The address both managed entries point at.
inline constexpr char LoopbackAddress[] = "127.0.0.1";

// The line end every rewritten line gets.
inline constexpr std::string_view kLineEnd = "\r\n";

struct ManagedEntry {
  std::string_view address;
  std::string_view host;
};

// The tool's own entries, in the order an install appends them.
inline constexpr std::array<ManagedEntry, 2> ManagedEntries = {{
    {LoopbackAddress, LocalAliasHost},
    {LoopbackAddress, ServiceClientHost},
}};

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

// True when `line` (without its line end) is a data line whose address and
// host name tokens equal one of ManagedEntries, byte for byte.
bool IsManagedLine(std::string_view line);

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

// The bytes of a managed line as the tool writes it, without its line end:
// the address, one tab, the host name.
std::string FormatManagedLine(const ManagedEntry& entry);

// Rewrites hosts file contents: drops every managed line, ends every kept
// line with CR LF, and when `install` is set appends the managed lines.
std::string RewrittenHostsText(std::string_view text, bool install);

// The transform for a file read piece by piece. Rewrites the lines at the
// front of `chunk` that end in a line feed (every line when `last` is set),
// appending the kept ones to `*out` with CR LF, and returns how many bytes of
// `chunk` it used; the rest is an unfinished line to pass again with more
// bytes behind it. Feeding a file through this and then AppendManagedLines
// (when installing) gives the same bytes as RewrittenHostsText, wherever the
// pieces are cut.
std::size_t RewriteLines(std::string_view chunk, bool last, std::string* out);

// Appends the managed lines, each with CR LF, in ManagedEntries order.
void AppendManagedLines(std::string* out);

}  // namespace hosts

#endif  // HOSTS_HOSTS_TEXT_H_
