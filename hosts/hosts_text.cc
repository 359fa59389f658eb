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

void RewriteHostsText(std::string* text, bool install) {
  std::array<std::string, ManagedEntries.size()> appended;
  std::size_t appended_size = 0;
  if (install) {
    for (std::size_t i = 0; i < ManagedEntries.size(); ++i) {
      appended[i] = FormatManagedLine(ManagedEntries[i]);
      appended_size += appended[i].size() + kLineEnd.size();
    }
  }

  // First pass: measure the kept lines and how far the output ever runs
  // ahead of the input. Lines that gain a carriage return push the output
  // past the input; moving the input up by that much lets the second pass
  // write from the front without overtaking bytes it has yet to read.
  const std::size_t in_size = text->size();
  std::size_t out_size = 0;
  std::size_t lead = 0;
  ForEachLine(*text, [&](std::string_view line, std::size_t next) {
    if (IsManagedLine(line)) return;
    out_size += line.size() + kLineEnd.size();
    if (out_size > next) lead = std::max(lead, out_size - next);
  });
  const std::size_t final_size = out_size + appended_size;

  text->resize(std::max(in_size + lead, final_size));
  char* const data = text->data();
  if (lead > 0) std::memmove(data + lead, data, in_size);

  // Second pass: copy each kept line down to the write position. The write
  // position never passes the start of the next unread line.
  std::size_t out = 0;
  ForEachLine(std::string_view(data + lead, in_size), [&](std::string_view line, std::size_t) {
    if (IsManagedLine(line)) return;
    if (line.data() != data + out) std::memmove(data + out, line.data(), line.size());
    out += line.size();
    std::memcpy(data + out, kLineEnd.data(), kLineEnd.size());
    out += kLineEnd.size();
  });
  for (std::size_t i = 0; install && i < appended.size(); ++i) {
    const std::string& line = appended[i];
    std::memcpy(data + out, line.data(), line.size());
    out += line.size();
    std::memcpy(data + out, kLineEnd.data(), kLineEnd.size());
    out += kLineEnd.size();
  }
  text->resize(final_size);
}

std::string RewrittenHostsText(std::string_view text, bool install) {
  std::string copy(text);
  RewriteHostsText(&copy, install);
  return copy;
}

}  // namespace hosts
