#include "hosts/hosts_text.h"

#include <algorithm>
#include <cstdio>

namespace hosts {
namespace {

// Skips white space from `pos` and returns the run of non-white bytes that
// follows; `pos` ends just past it.
std::string_view NextToken(std::string_view line, std::size_t* pos) {
  std::size_t i = *pos;
  while (i < line.size() && IsHostsSpace(line[i])) ++i;
  const std::size_t begin = i;
  while (i < line.size() && !IsHostsSpace(line[i])) ++i;
  *pos = i;
  return line.substr(begin, i - begin);
}

}  // namespace

LineTokens ReadTokens(std::string_view line) {
  std::size_t pos = 0;
  LineTokens tokens;
  tokens.address = NextToken(line, &pos);
  tokens.host = NextToken(line, &pos);
  return tokens;
}

bool IsManagedLine(std::string_view line) {
  if (line.empty()) return false;
  // Most lines of a large file fail on their first byte: a managed line
  // starts with white space or with the first byte of an entry's address.
  // ('#' starts a comment line, which is never managed.)
  const char first = line.front();
  bool could_match = IsHostsSpace(first);
  for (const ManagedEntry& entry : ManagedEntries) could_match |= first == entry.address.front();
  if (!could_match) return false;
  // Then on the address; only then read the host name.
  std::size_t pos = 0;
  const std::string_view address = NextToken(line, &pos);
  bool address_matches = false;
  for (const ManagedEntry& entry : ManagedEntries) address_matches |= address == entry.address;
  if (!address_matches) return false;
  const std::string_view host = NextToken(line, &pos);
  for (const ManagedEntry& entry : ManagedEntries) {
    if (host == entry.host && address == entry.address) return true;
  }
  return false;
}

std::string FormatManagedLine(const ManagedEntry& entry) {
  // The build guarantees that address, tab and host name fit in 255 bytes.
  std::array<char, 256> line{};
  const int length =
      std::snprintf(line.data(), line.size(), "%.*s\t%.*s", static_cast<int>(entry.address.size()),
                    entry.address.data(), static_cast<int>(entry.host.size()), entry.host.data());
  if (length < 0) return std::string();
  return std::string(line.data(), std::min(static_cast<std::size_t>(length), line.size() - 1));
}

std::size_t RewriteLines(std::string_view chunk, bool last, std::string* out) {
  // Kept lines that already end in CR LF come out unchanged, so runs of them
  // are appended in one piece.
  std::size_t run_start = 0;
  std::size_t run_end = 0;
  std::size_t start = 0;
  while (start < chunk.size()) {
    const LineSpan span = LineAt(chunk, start);
    const bool terminated = chunk[span.next - 1] == '\n';
    if (!terminated && !last) break;
    const std::string_view line = span.line;
    const bool kept = !IsManagedLine(line);
    if (kept && span.next - start == line.size() + kLineEnd.size()) {
      run_end = span.next;  // the run goes on: it always ends where this line starts
    } else {
      out->append(chunk.substr(run_start, run_end - run_start));
      run_start = run_end = span.next;
      if (kept) {
        out->append(line);
        out->append(kLineEnd);
      }
    }
    start = span.next;
  }
  out->append(chunk.substr(run_start, run_end - run_start));
  return start;
}

void AppendManagedLines(std::string* out) {
  for (const ManagedEntry& entry : ManagedEntries) {
    out->append(FormatManagedLine(entry));
    out->append(kLineEnd);
  }
}

std::string RewrittenHostsText(std::string_view text, bool install) {
  std::string out;
  out.reserve(text.size() + text.size() / 16 + 256);
  RewriteLines(text, true, &out);
  if (install) AppendManagedLines(&out);
  return out;
}

}  // namespace hosts
