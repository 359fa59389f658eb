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
  if (IsCommentLine(line)) return false;
  // Most lines of a large file fail on the address; only then read the host.
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

namespace {

// Appends `line` and a line end at `*out`, moving the line down when it is
// not already there.
void PutLine(char* data, std::size_t* out, std::string_view line) {
  if (line.data() != data + *out) std::memmove(data + *out, line.data(), line.size());
  *out += line.size();
  std::memcpy(data + *out, kLineEnd.data(), kLineEnd.size());
  *out += kLineEnd.size();
}

}  // namespace

void RewriteHostsText(std::string* text, bool install) {
  const std::size_t in_size = text->size();
  char* data = text->data();

  // First, copy kept lines down from the front for as long as the output
  // stays behind the input. Lines that already end in CR LF never overtake,
  // so for most files this one pass is all there is.
  std::size_t out = 0;
  std::size_t start = 0;
  while (start < in_size) {
    const LineSpan span = LineAt(std::string_view(data, in_size), start);
    const std::string_view line = span.line;
    const std::size_t next = span.next;
    if (!IsManagedLine(line)) {
      // A line that gains a carriage return here would overwrite the start
      // of the next line before it is read.
      if (out + line.size() + kLineEnd.size() > next) break;
      PutLine(data, &out, line);
    }
    start = next;
  }

  // The rest of the input, from the first line that would overtake: measure
  // how far the output runs ahead of it, move it up by that much, then copy
  // its kept lines down. The write position never passes the start of the
  // next unread line.
  const std::size_t rest = in_size - start;
  std::size_t rest_out = out;
  std::size_t lead = 0;
  ForEachLine(std::string_view(data + start, rest), [&](std::string_view line, std::size_t next) {
    if (IsManagedLine(line)) return;
    rest_out += line.size() + kLineEnd.size();
    if (rest_out > start + next) lead = std::max(lead, rest_out - (start + next));
  });

  std::array<std::string, ManagedEntries.size()> appended;
  std::size_t final_size = rest_out;
  if (install) {
    for (std::size_t i = 0; i < ManagedEntries.size(); ++i) {
      appended[i] = FormatManagedLine(ManagedEntries[i]);
      final_size += appended[i].size() + kLineEnd.size();
    }
  }

  text->resize(std::max(in_size + lead, final_size));
  data = text->data();
  if (lead > 0) std::memmove(data + start + lead, data + start, rest);
  ForEachLine(std::string_view(data + start + lead, rest), [&](std::string_view line, std::size_t) {
    if (!IsManagedLine(line)) PutLine(data, &out, line);
  });
  for (std::size_t i = 0; install && i < appended.size(); ++i) PutLine(data, &out, appended[i]);
  text->resize(final_size);
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
  std::string copy(text);
  RewriteHostsText(&copy, install);
  return copy;
}

}  // namespace hosts
