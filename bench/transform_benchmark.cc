// Micro-benchmark of the hosts file rewrite alone, in bytes per second, to
// catch regressions in the transform. Build with the release preset and run
// build/release/bench/transform_benchmark.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>

#include "hosts/hosts_text.h"

namespace {

// An ad-blocking style list of `lines` lines with a few managed lines.
std::string MakeHostsText(int lines, const char* line_end) {
  std::mt19937 random(7);
  std::string text = std::string("# generated list") + line_end + "127.0.0.1 localhost" + line_end;
  for (int i = 0; i < lines; ++i) {
    if (i % 100000 == 50000) {
      text += std::string("127.0.0.1\t") + hosts::LocalAliasHost + line_end;
      continue;
    }
    text += "0.0.0.0 host" + std::to_string(random() % 1000000) + ".tracker" +
            std::to_string(i % 977) + ".example" + line_end;
  }
  return text;
}

void BM_Rewrite(benchmark::State& state, const char* line_end, bool install) {
  const std::string input = MakeHostsText(static_cast<int>(state.range(0)), line_end);
  // As the tool does it: a megabyte at a time into a reused buffer.
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  std::string out;
  out.reserve(kPiece + kPiece / 8);
  for (auto _ : state) {
    std::size_t start = 0;
    while (start < input.size()) {
      const std::size_t end = std::min(input.size(), start + kPiece);
      const bool last = end == input.size();
      start += hosts::RewriteLines(std::string_view(input).substr(start, end - start), last, &out);
      benchmark::DoNotOptimize(out.data());
      out.clear();
    }
    if (install) hosts::AppendManagedLines(&out);
    out.clear();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(input.size()));
}

// What the update does first: judge whether the rewrite changes the file,
// fed a megabyte at a time, here of a list already installed, which it reads
// to the end.
void BM_Judge(benchmark::State& state) {
  const std::string input =
      hosts::RewrittenHostsText(MakeHostsText(static_cast<int>(state.range(0)), "\r\n"), true);
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  std::string appended;
  hosts::AppendManagedLines(&appended);
  for (auto _ : state) {
    std::size_t same = 0;
    hosts::Verdict verdict = hosts::Verdict::kReadOn;
    for (std::size_t end = 0; verdict == hosts::Verdict::kReadOn;) {
      end = std::min(input.size(), end + kPiece);
      verdict = hosts::JudgeRewrite(std::string_view(input).substr(0, end), end == input.size(),
                                    appended, &same);
    }
    benchmark::DoNotOptimize(same);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(input.size()));
}

// The rewrite as the update writes it: runs of unchanged lines handed over
// where they are, not copied.
void BM_RewriteWithoutCopy(benchmark::State& state) {
  class Counter : public hosts::RewriteSink {
   public:
    void KeepAsIs(std::string_view lines) override { bytes += lines.size(); }
    void KeepLine(std::string_view line) override { bytes += line.size() + 2; }
    std::size_t bytes = 0;
  };
  const std::string input = MakeHostsText(static_cast<int>(state.range(0)), "\r\n");
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  Counter counter;
  for (auto _ : state) {
    for (std::size_t start = 0; start < input.size();) {
      const std::size_t end = std::min(input.size(), start + kPiece);
      start += hosts::RewriteLines(std::string_view(input).substr(start, end - start),
                                   end == input.size(), counter);
    }
    benchmark::DoNotOptimize(counter.bytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(input.size()));
}

BENCHMARK_CAPTURE(BM_Rewrite, install_crlf, "\r\n", true)->Arg(100000)->Arg(1000000);
BENCHMARK_CAPTURE(BM_Rewrite, uninstall_crlf, "\r\n", false)->Arg(100000)->Arg(1000000);
BENCHMARK_CAPTURE(BM_Rewrite, install_lf, "\n", true)->Arg(1000000);
BENCHMARK(BM_Judge)->Arg(1000000);
BENCHMARK(BM_RewriteWithoutCopy)->Arg(1000000);

}  // namespace

BENCHMARK_MAIN();
