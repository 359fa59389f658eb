#include "hosts/hosts_text.h"
#include "hosts/hosts_text_internal.h"
#include "tests/reference_rewrite.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace hosts {
namespace {

using std::string_literals::operator""s;

const std::string kAlias = LocalAliasHost;
const std::string kService = ServiceClientHost;
const std::string kAliasLine = "127.0.0.1\t" + kAlias;
const std::string kServiceLine = "127.0.0.1\t" + kService;
const std::string kManagedTail = kAliasLine + "\r\n" + kServiceLine + "\r\n";

std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  ForEachLine(text, [&](std::string_view line, std::size_t) { lines.emplace_back(line); });
  return lines;
}

TEST(HostsTextTest, SplitsLinesByTheFilesRules) {
  struct Case {
    std::string text;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"a", {"a"}},
      {"a\n", {"a"}},
      {"a\r\n", {"a"}},
      {"a\nb", {"a", "b"}},
      {"\n\n", {"", ""}},
      {"\r\n", {""}},
      // A carriage return not directly before a line feed stays in the line.
      {"a\r", {"a\r"}},
      {"a\rb\n", {"a\rb"}},
      {"a\r\r\n", {"a\r"}},
      {"\r", {"\r"}},
      // Any other byte is data, 0x1A and NUL included.
      {"x\0y\n"s, {"x\0y"s}},
      {"\x1a\nz", {"\x1a", "z"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Lines(c.text), c.lines) << "text: " << c.text;
}

TEST(HostsTextTest, ReadsTheFirstTwoTokens) {
  struct Case {
    std::string line, address, host;
  };
  const std::vector<Case> cases = {
      {"", "", ""},
      {"   ", "", ""},
      {"127.0.0.1", "127.0.0.1", ""},
      {"127.0.0.1 a b c", "127.0.0.1", "a"},
      {" \t\v\f\r127.0.0.1\t\t a#x", "127.0.0.1", "a#x"},
      // Only the six classic white-space bytes separate tokens.
      {"1\xa0"
       "2 3",
       "1\xa0"
       "2",
       "3"},
      {"1\x85 2", "1\x85", "2"},
      {"a\0b c"s, "a\0b"s, "c"},
  };
  for (const Case& c : cases) {
    const LineTokens tokens = ReadTokens(c.line);
    EXPECT_EQ(tokens.address, c.address) << "line: " << c.line;
    EXPECT_EQ(tokens.host, c.host) << "line: " << c.line;
  }
}

TEST(HostsTextTest, RecognisesManagedLines) {
  struct Case {
    std::string line;
    bool managed;
  };
  std::string upper = kAlias;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::vector<Case> cases = {
      {kAliasLine, true},
      {kServiceLine, true},
      {"127.0.0.1 " + kAlias, true},
      {"127.0.0.1   " + kService + "   # comment", true},
      {"  \t127.0.0.1\t" + kAlias, true},
      {"127.0.0.1 " + kAlias + " other.name", true},
      {"127.0.0.1 " + kAlias + "\r", true},
      {"127.0.0.1 " + kAlias + "#", false},
      {"127.0.0.1", false},
      {"127.0.0.2 " + kAlias, false},
      {"0.0.0.0 " + kAlias, false},
      {kAlias + " 127.0.0.1", false},
      {"127.0.0.1 " + upper, false},
      {"127.0.0.1 localhost " + kAlias, false},
      {"#127.0.0.1 " + kAlias, false},
      {"# 127.0.0.1 " + kAlias, false},
      {"   # 127.0.0.1 " + kAlias, false},
      {"\xEF\xBB\xBF"
       "127.0.0.1 " +
           kAlias,
       false},
      {"127.000.0.1 " + kAlias, false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsManagedLine(c.line), c.managed) << "line: " << c.line;
  // Any of the white-space bytes a line can hold may indent it, separate its
  // tokens and follow them.
  for (const char space : {' ', '\t', '\v', '\f', '\r'}) {
    const std::string s(1, space);
    for (const std::string& line : {s + "127.0.0.1" + s + kAlias, "127.0.0.1" + s + kService + s,
                                    s + s + "127.0.0.1" + s + s + kAlias + s + "x"}) {
      EXPECT_TRUE(IsManagedLine(line)) << "byte " << int{space} << ": " << line;
    }
  }
  // Every byte before a managed line's, or in place of its first: wherever
  // the rule takes such a line for a managed one, the rewrite drops it also
  // among 40 lines the fast paths pass over, on either side.
  std::string others;
  for (int i = 0; i < 40; ++i) others += "0.0.0.0 ads" + std::to_string(i) + ".example\r\n";
  for (int byte = 0; byte < 256; ++byte) {
    if (byte == '\n') continue;
    const std::string b(1, static_cast<char>(byte));
    for (const std::string& line : {b + kAliasLine, b + kServiceLine.substr(1),
                                    b + " " + kAliasLine, b + kServiceLine + "\r"}) {
      const std::string text = others + line + "\r\n" + others;
      EXPECT_EQ(RewrittenHostsText(text, false), reference::Rewrite(text, false))
          << "byte " << byte << ": " << line;
      std::size_t same = 0;
      EXPECT_EQ(JudgeRewrite(text, true, "", &same) == Verdict::kSame,
                reference::Rewrite(text, false) == text)
          << "byte " << byte << ": " << line;
    }
  }
}

TEST(HostsTextTest, RecognisesUtf16ByItsByteOrderMark) {
  struct Case {
    std::string start;
    bool utf16;
  };
  const std::vector<Case> cases = {
      {"\xFF\xFE", true},      {"\xFE\xFF#\0"s, true},
      {"\xFF\xFE\0\0"s, true}, {"\xEF\xBB\xBF#", false},
      {"\xFF", false},         {"\xFE", false},
      {"\xFF\xFF", false},     {"", false},
      {"#\xFF\xFE", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsUtf16Text(c.start), c.utf16) << c.start;
}

TEST(HostsTextTest, RewritesFiles) {
  struct Case {
    const char* name;
    std::string input;
    std::string installed;
    std::string uninstalled;
  };
  const std::string windows_default =
      "# Copyright (c) 1993-2009 Microsoft Corp.\r\n#\r\n"
      "#\t127.0.0.1       localhost\r\n#\t::1             localhost\r\n";
  const std::vector<Case> cases = {
      {"empty", "", kManagedTail, ""},
      {"windows default", windows_default, windows_default + kManagedTail, windows_default},
      {"already installed", "a\r\n" + kManagedTail, "a\r\n" + kManagedTail, "a\r\n"},
      {"managed lines move to the end", kServiceLine + "\r\n" + kAliasLine + "\nx\n",
       "x\r\n" + kManagedTail, "x\r\n"},
      {"spaces and a comment", "127.0.0.1  " + kAlias + "  # vpn\n", kManagedTail, ""},
      {"further names go too", "127.0.0.1 " + kService + " extra.name\n", kManagedTail, ""},
      {"kept lines keep their bytes", "0.0.0.0 " + kAlias + "\n\n  # x\n\x80\xff\0\r z\n"s,
       "0.0.0.0 " + kAlias + "\r\n\r\n  # x\r\n\x80\xff\0\r z\r\n"s + kManagedTail,
       "0.0.0.0 " + kAlias + "\r\n\r\n  # x\r\n\x80\xff\0\r z\r\n"s},
      {"a last line without a line end", "a\nb", "a\r\nb\r\n" + kManagedTail, "a\r\nb\r\n"},
      {"0x1A is data", "a\n\x1a\nb\n", "a\r\n\x1a\r\nb\r\n" + kManagedTail, "a\r\n\x1a\r\nb\r\n"},
      {"byte-order mark", "\xEF\xBB\xBF# c\n", "\xEF\xBB\xBF# c\r\n" + kManagedTail,
       "\xEF\xBB\xBF# c\r\n"},
      {"only managed lines", kAliasLine + "\n" + kAliasLine, kManagedTail, ""},
      {"the entries spaced otherwise, as long",
       "a\r\n127.0.0.1 " + kAlias + "\r\n127.0.0.1 " + kService + "\r\n", "a\r\n" + kManagedTail,
       "a\r\n"},
      {"the entries ending in a lone CR", "a\r\n" + kAliasLine + "\r\n" + kServiceLine + "\r",
       "a\r\n" + kManagedTail, "a\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RewrittenHostsText(c.input, true), c.installed) << c.name;
    EXPECT_EQ(RewrittenHostsText(c.input, false), c.uninstalled) << c.name;
    // Judged whole, the rewrite keeps the file exactly when it gives its bytes.
    for (const bool install : {true, false}) {
      std::size_t same = 0;
      const bool kept = (install ? c.installed : c.uninstalled) == c.input;
      EXPECT_EQ(JudgeRewrite(c.input, true, install ? kManagedTail : "", &same),
                kept ? Verdict::kSame : Verdict::kChanges)
          << c.name << (install ? " install" : " uninstall");
    }
  }
}

// Feeds `text` to RewriteLines in pieces of at most `piece` new bytes, the
// way the update reads a file.
std::string RewriteInPieces(std::string_view text, bool install, std::size_t piece) {
  std::string out;
  std::string pending;
  std::size_t fed = 0;
  for (;;) {
    const std::size_t take = std::min(piece, text.size() - fed);
    pending.append(text.substr(fed, take));
    fed += take;
    const bool last = fed == text.size();
    pending.erase(0, RewriteLines(pending, last, &out));
    if (last) break;
  }
  if (install) AppendManagedLines(&out);
  return out;
}

// Random mixes of line ends, white space, dropped lines and growth give the
// same bytes as the rule written out independently, at once or piece by
// piece, wherever the pieces are cut.
TEST(HostsTextTest, RewriteMatchesTheRuleWhereverPiecesAreCut) {
  const std::vector<std::string> pieces = {"\n",
                                           "\r\n",
                                           "\r",
                                           "a",
                                           " ",
                                           "#",
                                           "\t",
                                           "\v",
                                           "\f",
                                           kAliasLine,
                                           kServiceLine,
                                           kAlias,
                                           kService,
                                           "\x1a",
                                           "\0"s,
                                           "127.0.0.1",
                                           "\xa0",
                                           "\x85",
                                           "0.0.0.0 x.example"};
  std::mt19937 random(12345);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int count = static_cast<int>(random() % 40);
    for (int i = 0; i < count; ++i) text += pieces[random() % pieces.size()];
    for (const bool install : {true, false}) {
      const std::string expected = reference::Rewrite(text, install);
      ASSERT_EQ(RewrittenHostsText(text, install), expected) << "input: " << text;
      const std::size_t piece = 1 + random() % 16;
      ASSERT_EQ(RewriteInPieces(text, install, piece), expected) << "pieces of " << piece;
      // Judged piece by piece: the verdict is the rewrite's, and the bytes it
      // keeps as they are start the rewrite.
      std::size_t same = 0;
      Verdict verdict = Verdict::kReadOn;
      for (std::size_t fed = 0; verdict == Verdict::kReadOn;) {
        fed = std::min(text.size(), fed + piece);
        verdict = JudgeRewrite(std::string_view(text).substr(0, fed), fed == text.size(),
                               install ? kManagedTail : "", &same);
      }
      ASSERT_EQ(verdict, expected == text ? Verdict::kSame : Verdict::kChanges)
          << "input: " << text;
      ASSERT_EQ(expected.compare(0, same, text, 0, same), 0) << "input: " << text;
    }
    // The lines the rewrite keeps as they are: exactly as far as its output
    // equals its input, whole lines.
    const std::size_t kept = UnchangedLines(text);
    const std::string rewritten = RewrittenHostsText(text, false);
    std::size_t equal = 0;
    while (equal < std::min(text.size(), rewritten.size()) && text[equal] == rewritten[equal]) {
      ++equal;
    }
    const std::size_t line_end = text.rfind('\n', equal == 0 ? 0 : equal - 1);
    ASSERT_EQ(kept, equal == 0 || line_end == std::string::npos ? 0 : line_end + 1)
        << "input: " << text;
  }
}

}  // namespace
}  // namespace hosts
