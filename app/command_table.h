// The command front end: the table that maps option texts to commands and
// the entry that runs one of them.

#ifndef APP_COMMAND_TABLE_H_
#define APP_COMMAND_TABLE_H_

#include <cstdint>
#include <map>
#include <string>

namespace app {

// A command: no arguments, a status that is negative on failure.
using CommandHandler = std::int32_t (*)();

// Option text to command, ordered byte for byte.
using CommandTable = std::map<std::string, CommandHandler>;

inline constexpr char kInstallOption[] = "--install-dns";
inline constexpr char kUninstallOption[] = "--uninstall-dns";

// Rewrite the hosts file with, or without, the managed entries.
std::int32_t InstallDns();
std::int32_t UninstallDns();

// Runs the command `option` names in `table`: -1 when it fails, 0 when it
// succeeds or when no command has that exact name.
int RunCommand(const CommandTable& table, const std::string& option);

// The process entry: the exit status for the given argument vector.
int HostsEntryMain(int argc, const char* const* argv);

}  // namespace app

#endif  // APP_COMMAND_TABLE_H_
