#include "hosts/hosts_text.h"

#include <algorithm>
#include <cstdio>

#include "hosts/hosts_text_internal.h"

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

// Whether a line starting with `first` can be a managed line: it must start
// with white space or with the first byte of an entry's address. ('#'
// starts a comment line, which is never managed.)
bool CouldStartManagedLine(char first) {
  bool could = IsHostsSpace(first);
  for (const ManagedEntry& entry : ManagedEntries) could |= first == entry.address.front();
  return could;
}

// From the line starting at `start`, skips the lines that the rewrite copies
// byte for byte: lines that cannot be managed and already end in CR LF, the
// line end every written line gets, so that their bytes are already the
// output's. A line ending in a bare LF is not one of them: it must get its CR.
// Returns where the first other line, or an unfinished one, starts.
std::size_t SkipUnchangedLines(std::string_view chunk, std::size_t start) {
  const char* const base = chunk.data();
  const std::size_t size = chunk.size();
  while (start < size && !CouldStartManagedLine(base[start])) {
    const void* found = std::memchr(base + start, '\n', size - start);
    if (found == nullptr) break;
    const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(found) - base);
    if (base[end - 1] != '\r') break;  // end > start: base[start] is no line feed
    start = end + 1;
  }
  return start;
}

}  // namespace

bool IsUtf16Text(std::string_view start) {
  return start.size() >= 2 &&
         ((start[0] == '\xFF' && start[1] == '\xFE') || (start[0] == '\xFE' && start[1] == '\xFF'));
}

LineTokens ReadTokens(std::string_view line) {
  std::size_t pos = 0;
  LineTokens tokens;
  tokens.address = NextToken(line, &pos);
  tokens.host = NextToken(line, &pos);
  return tokens;
}

bool IsManagedLine(std::string_view line) {
  // Most lines of a large file fail on their first byte, before any token is
  // read.
  if (line.empty() || !CouldStartManagedLine(line.front())) return false;
  const LineTokens tokens = ReadTokens(line);
  for (const ManagedEntry& entry : ManagedEntries) {
    if (tokens.host == entry.host && tokens.address == entry.address) return true;
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
  // Kept lines that already end in CR LF come out byte for byte, so runs of
  // them are appended in one piece; any other line is written line by line.
  std::size_t run_start = 0;
  std::size_t run_end = 0;
  std::size_t start = 0;
  // Whether the last line ended in CR LF: after one that did not, the next
  // most likely does not either, and looking for unchanged lines would only
  // search for its line feed twice.
  bool crlf = true;
  while (start < chunk.size()) {
    if (crlf) {
      // The run always ends where the next line starts, so it takes in the
      // unchanged lines as they are.
      const std::size_t unchanged_end = SkipUnchangedLines(chunk, start);
      if (unchanged_end != start) {
        start = run_end = unchanged_end;
        continue;
      }
    }
    const LineSpan span = LineAt(chunk, start);
    const bool terminated = chunk[span.next - 1] == '\n';
    if (!terminated && !last) break;
    const std::string_view line = span.line;
    const bool kept = !IsManagedLine(line);
    crlf = span.next - start == line.size() + kLineEnd.size();
    if (kept && crlf) {
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

std::size_t UnchangedLines(std::string_view chunk) {
  std::size_t start = 0;
  for (;;) {
    start = SkipUnchangedLines(chunk, start);
    if (start == chunk.size()) return start;
    // A line that could be managed: kept as it is only if it is not, and
    // already ends in CR LF.
    const LineSpan span = LineAt(chunk, start);
    if (chunk[span.next - 1] != '\n' || span.next - start != span.line.size() + kLineEnd.size() ||
        IsManagedLine(span.line)) {
      return start;
    }
    start = span.next;
  }
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
