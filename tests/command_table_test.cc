#include "app/command_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace app {
namespace {

// Only the whole option, byte for byte, runs its command; the exit status is
// -1 for any negative result and 0 for everything else.
TEST(CommandTableTest, RunsOnlyAnExactMatchAndMapsItsStatus) {
  static std::int32_t result = 0;
  static int calls = 0;
  CommandTable table;
  table[kInstallOption] = [] { return ++calls, result; };
  table[kUninstallOption] = [] { return ++calls, result; };
  const std::vector<std::string> misses = {"",
                                           "--INSTALL-DNS",
                                           "--Install-Dns",
                                           "--install-dn",
                                           "--install-dns=1",
                                           "-install-dns",
                                           "--install-dnss",
                                           "--install",
                                           "install-dns",
                                           "--uninstall",
                                           "--install-dns ",
                                           " --install-dns",
                                           "*"};
  result = -1;
  for (const std::string& option : misses) EXPECT_EQ(RunCommand(table, option), 0) << option;
  EXPECT_EQ(calls, 0);
  struct Case {
    const char* option;
    std::int32_t result;
    int exit_status;
  };
  const std::vector<Case> hits = {{kInstallOption, 0, 0},
                                  {kUninstallOption, 7, 0},
                                  {kInstallOption, -1, -1},
                                  {kUninstallOption, -42, -1}};
  for (const Case& c : hits) {
    result = c.result;
    EXPECT_EQ(RunCommand(table, c.option), c.exit_status) << c.option << " " << c.result;
  }
  EXPECT_EQ(calls, 4);
}

TEST(CommandTableTest, EntryIgnoresAMissingOrUnknownOption) {
  const char* const none[] = {"hosts_entry_tool", nullptr};
  const char* const unknown[] = {"hosts_entry_tool", "--help", nullptr};
  const char* const empty[] = {nullptr};
  EXPECT_EQ(HostsEntryMain(1, none), 0);
  EXPECT_EQ(HostsEntryMain(2, unknown), 0);
  EXPECT_EQ(HostsEntryMain(0, empty), 0);
}

}  // namespace
}  // namespace app
