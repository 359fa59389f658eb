// Process entry of hosts_entry_tool.

#include "app/command_table.h"

#ifdef __MINGW32__
// Take the argument vector as typed: the MinGW runtime would otherwise expand
// wildcards such as '*' into file names before main sees them.
extern "C" int _dowildcard;
int _dowildcard = 0;
#endif

int main(int argc, char** argv) { return app::HostsEntryMain(argc, argv); }
