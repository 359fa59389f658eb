// libFuzzer target for the hosts file transform. For any input bytes it
// checks what install and uninstall promise about the rewritten file, and
// stops on the first broken promise.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "hosts/hosts_text.h"
#include "tests/reference_rewrite.h"

namespace {

void Check(bool holds, const char* promise) {
  if (holds) return;
  std::fprintf(stderr, "broken promise: %s\n", promise);
  std::abort();
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

  Check(AllLinesEndInCrLf(installed), "install: every line ends in CR LF");
  Check(AllLinesEndInCrLf(uninstalled), "uninstall: every line ends in CR LF");
  // The rule, written out independently of the product's scanners.
  Check(installed == hosts::reference::Rewrite(input, true), "install follows the rule");
  Check(uninstalled == hosts::reference::Rewrite(input, false), "uninstall follows the rule");
  Check(hosts::RewrittenHostsText(installed, true) == installed, "install twice = install once");
  Check(hosts::RewrittenHostsText(installed, false) == uninstalled,
        "uninstall after install = uninstall");

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

  // Judged piece by piece, as the update reads a file: the verdict is the
  // rewrite's, and the bytes kept as they are start the rewrite.
  std::string appended;
  hosts::AppendManagedLines(&appended);
  for (const bool install : {true, false}) {
    const std::string& rewritten = install ? installed : uninstalled;
    std::size_t same = 0;
    hosts::Verdict verdict = hosts::Verdict::kReadOn;
    for (std::size_t fed = 0; verdict == hosts::Verdict::kReadOn;) {
      fed = std::min(size, fed + piece);
      verdict =
          hosts::JudgeRewrite(input.substr(0, fed), fed == size, install ? appended : "", &same);
    }
    Check(verdict == (rewritten == input ? hosts::Verdict::kSame : hosts::Verdict::kChanges),
          "the verdict is the rewrite's");
    Check(same <= size && rewritten.compare(0, same, input.substr(0, same)) == 0,
          "what is kept as it is starts the rewrite");
  }
  return 0;
}
