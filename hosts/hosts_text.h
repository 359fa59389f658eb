// The pure text side of the hosts file update: how the file splits into
// lines and tokens, which lines belong to this tool, and the rewritten bytes.
// Nothing here touches the file system, so it can be tested and fuzzed alone.

#ifndef HOSTS_HOSTS_TEXT_H_
#define HOSTS_HOSTS_TEXT_H_

#include <array>
#include <cstddef>
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

// True when `line` (without its line end) is a data line whose address and
// host name tokens equal one of ManagedEntries, byte for byte.
bool IsManagedLine(std::string_view line);

// True when a file that starts with `start` is UTF-16 text: it begins with a
// UTF-16 byte-order mark (FF FE or FE FF). Rewriting such a file byte by byte
// would corrupt it.
bool IsUtf16Text(std::string_view start);

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

// Where RewriteLines puts the kept lines when they are not appended to a
// string: runs of lines that come out as they are, handed over as views of
// the input (so that they can be written from where they were read, without
// a copy), and the other kept lines one by one.
class RewriteSink {
 public:
  // Whole lines of the input that already end in CR LF: the output's bytes.
  virtual void KeepAsIs(std::string_view lines) = 0;
  // A kept line without its line end; the output is the line and CR LF.
  virtual void KeepLine(std::string_view line) = 0;

 protected:
  ~RewriteSink() = default;
};
std::size_t RewriteLines(std::string_view chunk, bool last, RewriteSink& sink);

// Whether the rewrite of a file gives the file's own bytes, as far as its
// first bytes tell.
enum class Verdict {
  kReadOn,   // the bytes so far do not tell: read more
  kChanges,  // the rewrite differs from the file
  kSame,     // the rewrite is the file, byte for byte
};

// Judges the rewrite of a file that begins with `start`; `whole` says that
// `start` is all of it, and `appended` is what the rewrite appends after the
// last line (the managed lines from AppendManagedLines when installing,
// nothing when uninstalling). `*same` is how many bytes at the start are
// whole lines that the rewrite keeps as they are: pass 0 first, then what
// the last call left, as `start` grows. Each call looks only at the bytes
// from there on, so a file read piece by piece is judged in one pass. The
// rewrite keeps the file exactly when what follows those lines is exactly
// `appended`.
Verdict JudgeRewrite(std::string_view start, bool whole, std::string_view appended,
                     std::size_t* same);

// How many bytes at the start of `chunk` are whole lines that the rewrite
// keeps byte for byte (lines that are not managed and already end in CR
// LF): the rewrite of that prefix is the prefix itself. Copies nothing.
std::size_t UnchangedLines(std::string_view chunk);

// Appends the managed lines, each with CR LF, in ManagedEntries order.
void AppendManagedLines(std::string* out);

}  // namespace hosts

#endif  // HOSTS_HOSTS_TEXT_H_
