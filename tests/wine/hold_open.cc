// Test helper for Windows: holds a file open the way another program might
// (a scanner, an editor) while the tool runs.
//   hold_open PATH read|all MILLISECONDS
// "read" shares the file for reading only; "all" shares it for reading,
// writing and deleting. Prints "holding" once the file is open.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: hold_open PATH read|all MILLISECONDS\n");
    return 2;
  }
  const DWORD share = std::strcmp(argv[2], "all") == 0
                          ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                          : FILE_SHARE_READ;
  const HANDLE file = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "hold_open: cannot open %s: error %lu\n", argv[1], GetLastError());
    return 1;
  }
  std::printf("holding\n");
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(std::atoi(argv[3])));
  CloseHandle(file);
  return 0;
}
