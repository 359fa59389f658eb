// Test helper for Windows: plays another program that touches the hosts file
// while the tool runs.
//   peer hold PATH read|write|all MILLISECONDS
//       holds PATH open: "read" reads sharing reading only, "write" writes
//       sharing reading and writing, "all" reads sharing everything.
//   peer scan DIRECTORY MILLISECONDS MICROSECONDS
//       a virus scanner or indexer: opens every file in DIRECTORY, again and
//       again, for reading, sharing reading and writing but not deleting,
//       for MICROSECONDS at a time.
//   peer append PATH MILLISECONDS
//       an editor: opens PATH for writing (sharing reading and writing),
//       waits, appends a line and closes.
// Prints "ready" once it holds the file or has started.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char kAppendedLine[] = "10.9.8.7\tappended.by.an.editor\r\n";

void Ready() {
  std::printf("ready\n");
  std::fflush(stdout);
}

void BusyWaitMicroseconds(long long microseconds) {
  LARGE_INTEGER frequency;
  LARGE_INTEGER start;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  do {
    QueryPerformanceCounter(&now);
  } while ((now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart < microseconds);
}

int Hold(const char* path, const std::string& mode, DWORD milliseconds) {
  const DWORD access = mode == "write" ? GENERIC_WRITE : GENERIC_READ;
  const DWORD share = mode == "all"     ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                      : mode == "write" ? FILE_SHARE_READ | FILE_SHARE_WRITE
                                        : FILE_SHARE_READ;
  const HANDLE file =
      CreateFileA(path, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "peer: cannot open %s: error %lu\n", path, GetLastError());
    return 1;
  }
  Ready();
  Sleep(milliseconds);
  CloseHandle(file);
  return 0;
}

int Scan(const std::string& directory, DWORD milliseconds, long long hold_us) {
  Ready();
  const ULONGLONG end = GetTickCount64() + milliseconds;
  while (GetTickCount64() < end) {
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      const HANDLE file = CreateFileA((directory + "\\" + found.cFileName).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) continue;
      BusyWaitMicroseconds(hold_us);
      CloseHandle(file);
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  return 0;
}

int Append(const char* path, DWORD milliseconds) {
  const HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "peer: cannot open %s: error %lu\n", path, GetLastError());
    return 1;
  }
  Ready();
  Sleep(milliseconds);
  DWORD written = 0;
  const bool ok = SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
                  WriteFile(file, kAppendedLine, sizeof kAppendedLine - 1, &written, nullptr);
  CloseHandle(file);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "hold" && argc == 5)
    return Hold(argv[2], argv[3], std::strtoul(argv[4], nullptr, 10));
  if (mode == "scan" && argc == 5) {
    return Scan(argv[2], std::strtoul(argv[3], nullptr, 10), std::strtoll(argv[4], nullptr, 10));
  }
  if (mode == "append" && argc == 4) return Append(argv[2], std::strtoul(argv[3], nullptr, 10));
  std::fprintf(stderr,
               "usage: peer hold PATH read|write|all MS | scan DIR MS US | append PATH MS\n");
  return 2;
}
