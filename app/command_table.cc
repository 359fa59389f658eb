#include "app/command_table.h"

#include "hosts/file_system.h"
#include "hosts/hosts_file.h"

namespace app {

std::int32_t InstallDns() { return hosts::UpdateHostsFile(true); }

std::int32_t UninstallDns() { return hosts::UpdateHostsFile(false); }

int RunCommand(const CommandTable& table, const std::string& option) {
  // Exact match only: whole text, case-sensitive, no prefixes.
  const auto row = table.lower_bound(option);
  if (row == table.end() || option < row->first || row->second == nullptr) return 0;
  return row->second() < 0 ? -1 : 0;
}

int HostsEntryMain(int argc, const char* const* argv) {
  // Before anything else, whatever the command line says.
  hosts::HardenProcess();
  CommandTable table;
  // Without an option there is nothing to do. A count below 2 also covers a
  // start-up that passed no program name at all.
  if (argc < 2 || argv == nullptr || argv[1] == nullptr) return 0;
  table[kInstallOption] = InstallDns;
  table[kUninstallOption] = UninstallDns;
  // Only the first option counts; later arguments are never looked at.
  return RunCommand(table, std::string(argv[1]));
}

}  // namespace app
