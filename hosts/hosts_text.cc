// The pure transform: which lines are the tool's own, and the rewrite of the
// file's bytes without them (and with them appended), judged and written a
// piece at a time.

#include "hosts/hosts_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

// Sixteen bytes at a time where every x86-64 processor can: SSE2 is part of
// the architecture. Elsewhere the scan goes line by line.
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define HOSTS_TEXT_SSE2 1
#endif

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

// The one statement of which lines are managed, from which every fast path
// here is derived: a line whose first two tokens are an entry's address and
// host name. It can start only with white space, which the tokens skip, or
// with the first byte of an entry's address; '#' starts a comment line,
// which is never managed.
constexpr bool CanStartManagedLine(unsigned char first) {
  if (IsHostsSpace(static_cast<char>(first))) return true;
  for (const ManagedEntry& entry : ManagedEntries) {
    if (first == static_cast<unsigned char>(entry.address.front())) return true;
  }
  return false;
}

constexpr bool CanStartManagedLine(char first) {
  return CanStartManagedLine(static_cast<unsigned char>(first));
}

#ifdef HOSTS_TEXT_SSE2
// The bytes that can start a managed line, as runs of consecutive bytes,
// for the block skip's sixteen-byte compares.
struct ByteRun {
  unsigned char first = 0;
  unsigned char last = 0;
};
struct StarterRuns {
  ByteRun runs[8];
  int count = 0;
};
constexpr StarterRuns FindStarterRuns() {
  StarterRuns found;
  for (int c = 0; c < 256; ++c) {
    if (!CanStartManagedLine(static_cast<unsigned char>(c))) continue;
    if (found.count > 0 && found.runs[found.count - 1].last == c - 1) {
      found.runs[found.count - 1].last = static_cast<unsigned char>(c);
    } else if (found.count < 8) {
      found.runs[found.count++] = {static_cast<unsigned char>(c), static_cast<unsigned char>(c)};
    } else {
      found.count = 9;  // more runs than the skip compares
      break;
    }
  }
  return found;
}
constexpr StarterRuns kStarterRuns = FindStarterRuns();
constexpr bool StarterRunsFit() {
  if (kStarterRuns.count > 8) return false;
  // The compares are signed: every run lies between 0x01 and 0x7E.
  for (int i = 0; i < kStarterRuns.count; ++i) {
    if (kStarterRuns.runs[i].first < 1 || kStarterRuns.runs[i].last > 0x7E) return false;
  }
  return true;
}
static_assert(StarterRunsFit(), "the bytes that can start a managed line fit the block skip");

// Which of the sixteen bytes `bytes` can start a managed line.
inline __m128i CanStart(__m128i bytes) {
  __m128i can = _mm_setzero_si128();
  for (int i = 0; i < kStarterRuns.count; ++i) {
    const ByteRun run = kStarterRuns.runs[i];
    if (run.first == run.last) {
      can = _mm_or_si128(can, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(run.first))));
    } else {
      const __m128i above = _mm_cmpgt_epi8(bytes, _mm_set1_epi8(static_cast<char>(run.first - 1)));
      const __m128i below = _mm_cmplt_epi8(bytes, _mm_set1_epi8(static_cast<char>(run.last + 1)));
      can = _mm_or_si128(can, _mm_and_si128(above, below));
    }
  }
  return can;
}

// From `start`, a line start whose first byte cannot start a managed line,
// skips whole lines the rewrite copies byte for byte sixteen bytes at a
// time: a block passes when each line feed in it follows a carriage return
// and precedes a byte that cannot start a managed line. Returns a line start
// such that every line before it (from `start`) is such a line; the lines
// from there are left to the exact check, line by line.
std::size_t SkipUnchangedBlocks(std::string_view chunk, std::size_t start) {
  const char* const base = chunk.data();
  const auto load = [&](std::size_t at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + at));
  };
  const __m128i line_feed = _mm_set1_epi8('\n');
  const __m128i carriage_return = _mm_set1_epi8('\r');
  // The block [at, at + 16), with the byte before it and the one after it.
  std::size_t at = start + 1;
  int bad = 0;
  for (; at + 17 <= chunk.size(); at += 16) {
    const __m128i risky = CanStart(load(at + 1));
    const __m128i good_end = _mm_andnot_si128(risky, _mm_cmpeq_epi8(load(at - 1), carriage_return));
    bad = _mm_movemask_epi8(_mm_andnot_si128(good_end, _mm_cmpeq_epi8(load(at), line_feed)));
    if (bad != 0) break;
  }
  std::size_t end = at;  // every line feed before this one passed
  if (bad != 0) {
    while ((bad & 1) == 0) {
      bad >>= 1;
      ++end;
    }
    // Only the line after it is in question: the lines up to it pass.
    if (base[end - 1] == '\r') return end + 1;
  }
  // Back to the start of the line that holds `end`.
  while (end > start && base[end - 1] != '\n') --end;
  return end;
}
#endif

// From the line starting at `start`, skips the lines that the rewrite copies
// byte for byte: lines that cannot be managed and already end in CR LF, the
// line end every written line gets, so that their bytes are already the
// output's. A line ending in a bare LF is not one of them: it must get its CR.
// Returns where the first other line, or an unfinished one, starts.
std::size_t SkipUnchangedLines(std::string_view chunk, std::size_t start) {
  const char* const base = chunk.data();
  const std::size_t size = chunk.size();
  while (start < size && !CanStartManagedLine(base[start])) {
#ifdef HOSTS_TEXT_SSE2
    start = SkipUnchangedBlocks(chunk, start);
    if (start == size || CanStartManagedLine(base[start])) break;
#endif
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
  if (line.empty() || !CanStartManagedLine(line.front())) return false;
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

std::size_t RewriteLines(std::string_view chunk, bool last, RewriteSink& sink) {
  // Kept lines that already end in CR LF come out byte for byte, so runs of
  // them are handed over in one piece; any other line is handed over line by
  // line.
  std::size_t run_start = 0;
  std::size_t run_end = 0;
  std::size_t start = 0;
  const auto end_run = [&](std::size_t next) {
    if (run_end != run_start) sink.KeepAsIs(chunk.substr(run_start, run_end - run_start));
    run_start = run_end = next;
  };
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
      end_run(span.next);
      if (kept) sink.KeepLine(line);
    }
    start = span.next;
  }
  end_run(start);
  return start;
}

std::size_t RewriteLines(std::string_view chunk, bool last, std::string* out) {
  class Appender : public RewriteSink {
   public:
    explicit Appender(std::string* out) : out_(out) {}
    void KeepAsIs(std::string_view lines) override { out_->append(lines); }
    void KeepLine(std::string_view line) override {
      out_->append(line);
      out_->append(kLineEnd);
    }

   private:
    std::string* out_;
  };
  Appender appender(out);
  return RewriteLines(chunk, last, appender);
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

Verdict JudgeRewrite(std::string_view start, bool whole, std::string_view appended,
                     std::size_t* same) {
  *same += UnchangedLines(start.substr(*same));
  // What follows begins with a line that changes, or one not yet whole.
  const std::string_view rest = start.substr(*same);
  if (whole) return rest == appended ? Verdict::kSame : Verdict::kChanges;
  if (rest.find('\n') == std::string_view::npos) return Verdict::kReadOn;
  // A line that changes is the rewrite's own only as the start of `appended`.
  return rest.size() <= appended.size() && appended.substr(0, rest.size()) == rest
             ? Verdict::kReadOn
             : Verdict::kChanges;
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
