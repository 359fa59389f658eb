// libFuzzer target for the hosts file transform. For any input bytes it
// checks what install and uninstall promise about the rewritten file, and
// stops on the first broken promise.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/hosts_text.h"
#include "hosts/hosts_text_internal.h"

namespace {

void Check(bool holds, const char* promise) {
  if (holds) return;
  std::fprintf(stderr, "broken promise: %s\n", promise);
  std::abort();
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  hosts::ForEachLine(text, [&](std::string_view line, std::size_t) { lines.push_back(line); });
  return lines;
}

// Every line ends in CR LF, and no line feed stands anywhere else.
bool AllLinesEndInCrLf(std::string_view text) {
  if (!text.empty() && text.back() != '\n') return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string installed = hosts::RewrittenHostsText(input, true);
  const std::string uninstalled = hosts::RewrittenHostsText(input, false);

  std::string tail;
  for (const hosts::ManagedEntry& entry : hosts::ManagedEntries) {
    tail += hosts::FormatManagedLine(entry) + "\r\n";
  }

  Check(AllLinesEndInCrLf(installed), "install: every line ends in CR LF");
  Check(AllLinesEndInCrLf(uninstalled), "uninstall: every line ends in CR LF");

  Check(installed.size() >= tail.size() &&
            installed.compare(installed.size() - tail.size(), tail.size(), tail) == 0,
        "install: the file ends with the managed lines");
  const std::vector<std::string_view> installed_lines = Lines(installed);
  for (std::size_t i = 0; i + hosts::ManagedEntries.size() < installed_lines.size(); ++i) {
    Check(!hosts::IsManagedLine(installed_lines[i]), "install: no other managed line");
  }
  for (std::string_view line : Lines(uninstalled)) {
    Check(!hosts::IsManagedLine(line), "uninstall: no managed line");
  }

  Check(hosts::RewrittenHostsText(installed, true) == installed, "install twice = install once");
  Check(hosts::RewrittenHostsText(installed, false) == uninstalled,
        "uninstall after install = uninstall");
  Check(installed == uninstalled + tail, "install = uninstall plus the managed lines");

  // Every line that is not managed comes through, in order, byte for byte.
  std::vector<std::string_view> kept;
  for (std::string_view line : Lines(input)) {
    if (!hosts::IsManagedLine(line)) kept.push_back(line);
  }
  Check(Lines(uninstalled) == kept, "kept lines keep their order and bytes");

  // Read piece by piece, as the update reads a file, the result is the same
  // wherever the pieces are cut.
  const std::size_t piece = size == 0 ? 1 : 1 + data[0] % 64;
  std::string streamed;
  std::string pending;
  for (std::size_t fed = 0;;) {
    const std::size_t take = std::min(piece, size - fed);
    pending.append(input.substr(fed, take));
    fed += take;
    const bool last = fed == size;
    pending.erase(0, hosts::RewriteLines(pending, last, &streamed));
    if (last) break;
  }
  Check(streamed == uninstalled, "piece by piece = all at once");
  return 0;
}
