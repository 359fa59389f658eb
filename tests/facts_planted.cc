// A DLL that sits beside the unit tests only: a planted DLL, which a process
// that loads DLLs from System32 alone must not find.

extern "C" __declspec(dllexport) int HostsFactsPlanted() { return 1; }
