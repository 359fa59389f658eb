/* The least a crash-safe replace of a file must do, for the benchmark to
 * measure the tool against: read the file, write a copy beside it, flush the
 * copy, rename it over the file, and (POSIX) flush the folder so that the
 * rename lasts. No checks, no lock, no scan, no second name for anything.
 *
 *   replace_floor FILE
 *
 * POSIX: read and write a megabyte at a time, fsync, rename, fsync the
 * folder. On Linux each megabyte written is handed to the disk at once
 * (sync_file_range), the head start the tool takes too, so that the fsync
 * has less to wait for. Windows (built with mingw-w64, run under Wine here):
 * ReadFile and WriteFile a megabyte at a time, FlushFileBuffers, MoveFileExW
 * with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH, then
 * FlushFileBuffers of the file under its new name: Wine 8 takes
 * MOVEFILE_WRITE_THROUGH and does nothing with it (no fsync follows the
 * rename), so there only that flush makes the rename last, as the tool's own
 * flush after its rename does. Any failure ends the run with status 1 and one
 * line on standard error. */

#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kPiece = 1 << 20 };

#ifdef _WIN32
#include <windows.h>

static int Fail(const char* step, const wchar_t* path) {
  fprintf(stderr, "replace_floor: %s(%ls): error %lu\n", step, path, GetLastError());
  return 1;
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: replace_floor FILE\n");
    return 2;
  }
  const wchar_t* path = argv[1];
  static wchar_t copy[32768];
  if (_snwprintf(copy, 32767, L"%ls.floor.tmp", path) < 0) return Fail("name", path);
  HANDLE in = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (in == INVALID_HANDLE_VALUE) return Fail("open", path);
  HANDLE out =
      CreateFileW(copy, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (out == INVALID_HANDLE_VALUE) return Fail("create", copy);
  char* buffer = malloc(kPiece);
  if (buffer == NULL) return Fail("malloc", path);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, buffer, kPiece, &got, NULL)) return Fail("read", path);
    if (got == 0) break;
    DWORD put = 0;
    if (!WriteFile(out, buffer, got, &put, NULL) || put != got) return Fail("write", copy);
  }
  if (!FlushFileBuffers(out)) return Fail("flush", copy);
  if (!CloseHandle(out)) return Fail("close", copy);
  if (!CloseHandle(in)) return Fail("close", path);
  if (!MoveFileExW(copy, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Fail("rename", copy);
  }
  HANDLE moved = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (moved == INVALID_HANDLE_VALUE) return Fail("open", path);
  if (!FlushFileBuffers(moved)) return Fail("flush", path);
  CloseHandle(moved);
  free(buffer);
  return 0;
}

#else
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <unistd.h>

static int Fail(const char* step, const char* path) {
  fprintf(stderr, "replace_floor: %s(%s): %s\n", step, path, strerror(errno));
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: replace_floor FILE\n");
    return 2;
  }
  const char* path = argv[1];
  char copy[4096];
  char folder[4096];
  if (snprintf(copy, sizeof copy, "%s.floor.tmp", path) >= (int)sizeof copy) {
    errno = ENAMETOOLONG;
    return Fail("name", path);
  }
  snprintf(folder, sizeof folder, "%s", path);
  const int in = open(path, O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail("open", path);
  const int out = open(copy, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return Fail("create", copy);
  char* buffer = malloc(kPiece);
  if (buffer == NULL) return Fail("malloc", path);
  for (;;) {
    const ssize_t got = read(in, buffer, kPiece);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Fail("read", path);
    if (got == 0) break;
    for (ssize_t put = 0; put < got;) {
      const ssize_t n = write(out, buffer + put, (size_t)(got - put));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Fail("write", copy);
      put += n;
    }
#ifdef __linux__
    if (sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE) != 0) return Fail("write out", copy);
#endif
  }
  if (fsync(out) != 0) return Fail("fsync", copy);
  if (close(out) != 0) return Fail("close", copy);
  close(in);
  if (rename(copy, path) != 0) return Fail("rename", copy);
  const int dir = open(dirname(folder), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return Fail("open folder", path);
  if (fsync(dir) != 0) return Fail("fsync folder", path);
  close(dir);
  free(buffer);
  return 0;
}
#endif
