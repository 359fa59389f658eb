#include "app/command_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace app {
namespace {

std::int32_t Succeeds() { return 0; }
std::int32_t ReturnsPositive() { return 7; }
std::int32_t Fails() { return -1; }
std::int32_t FailsBadly() { return -42; }

TEST(CommandTableTest, MapsTheHandlersStatusToTheExitStatus) {
  struct Case {
    CommandHandler handler;
    int exit_status;
  };
  const std::vector<Case> cases = {
      {Succeeds, 0}, {ReturnsPositive, 0}, {Fails, -1}, {FailsBadly, -1}};
  for (const Case& c : cases) {
    CommandTable table;
    table[kInstallOption] = c.handler;
    EXPECT_EQ(RunCommand(table, kInstallOption), c.exit_status);
  }
}

TEST(CommandTableTest, MatchesOnlyTheWholeOptionExactly) {
  static int calls = 0;
  CommandTable table;
  table[kInstallOption] = [] { return ++calls, std::int32_t{-1}; };
  table[kUninstallOption] = [] { return ++calls, std::int32_t{-1}; };
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
  for (const std::string& option : misses) {
    EXPECT_EQ(RunCommand(table, option), 0) << option;
  }
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(RunCommand(table, kInstallOption), -1);
  EXPECT_EQ(RunCommand(table, kUninstallOption), -1);
  EXPECT_EQ(calls, 2);
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
