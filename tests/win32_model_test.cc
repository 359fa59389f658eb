// The Windows file system layer against a model of Windows' documented
// behaviour. Each row puts one documented outcome of a Win32 call in front of
// the real call (Wine's, here) and checks the promise: exit status 0 and the
// new content, or -1, the file as it stood and one line on standard error.

#include <gtest/gtest.h>
#include <windows.h>
// windows.h first
#include <sddl.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "hosts/hosts_file.h"
#include "hosts/hosts_text.h"
#include "hosts/win32_api.h"

namespace hosts {
namespace {

constexpr char kTemp0[] = "hosts.hosts_entry_tool-0.tmp";
const std::string kOriginal = "# hosts\r\n127.0.0.1 localhost\r\n127.0.0.1 " +
                              std::string(LocalAliasHost) + "\n0.0.0.0 ads.example\r\n";

// What the model makes the calls answer. Counters count down to zero.
struct Model {
  std::string root;  // SystemRoot
  std::string etc;
  std::string hosts;
  int writer_holds = 0;               // opens of the hosts file: ERROR_SHARING_VIOLATION
  bool pending_delete_temp0 = false;  // CREATE_NEW on name 0: ERROR_ACCESS_DENIED, still listed
  bool folder_takes_no_file = false;  // CREATE_NEW: ERROR_ACCESS_DENIED
  int posix_rename_refusals = 0;      // FileRenameInfoEx: rename_error, then unsupported
  int rename_refusals = 0;            // FileRenameInfo: rename_error
  DWORD rename_error = ERROR_SHARING_VIOLATION;
  DWORD flush_error = 0;                // FlushFileBuffers on the temporary file
  DWORD write_error = 0;                // WriteFile on the temporary file
  bool disposition_refused = false;     // FileDispositionInfo: ERROR_ACCESS_DENIED
  bool live_temp0 = false;              // DeleteFileA of name 0: ERROR_SHARING_VIOLATION
  bool owner_refused = false;           // SetKernelObjectSecurity: ERROR_INVALID_OWNER
  int mutex_timeouts = 0;               // WaitForSingleObject: WAIT_TIMEOUT
  bool mutex_abandoned = false;         // WaitForSingleObject: WAIT_ABANDONED
  DWORD links = 0;                      // nNumberOfLinks of the hosts file
  std::string link_target;              // the hosts name is a symbolic link to this file
  DWORD final_path_error = 0;           // GetFinalPathNameByHandleA, for that link
  DWORD read_error = 0;                 // ReadFile
  bool mutex_refused = false;           // CreateMutexA: ERROR_ACCESS_DENIED
  int identify_refusals = 0;            // opening the hosts name without access
  bool security_unreadable = false;     // GetKernelObjectSecurity: ERROR_ACCESS_DENIED
  int end_of_file_refusals = 0;         // SetEndOfFile: ERROR_USER_MAPPED_FILE
  std::function<void()> before_rename;  // another program, just before a rename
  std::vector<char> descriptor;         // the hosts file's security descriptor, as read
  std::vector<char> copied;             // what was set on the temporary file
  // What happened.
  int in_place_opens = 0;
  int slept_ms = 0;
  std::vector<std::string> created;
};

Model* model = nullptr;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

DWORD WINAPI ModelGetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  if (std::strcmp(name, "SystemRoot") != 0) return ::GetEnvironmentVariableA(name, buffer, size);
  const DWORD length = static_cast<DWORD>(model->root.size());
  if (size <= length) return length + 1;
  std::memcpy(buffer, model->root.c_str(), length + 1);
  return length;
}

HANDLE WINAPI ModelCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                               DWORD disposition, DWORD flags, HANDLE templ) {
  const std::string path = name;
  if (disposition == CREATE_NEW) {
    model->created.push_back(path.substr(path.find_last_of('\\') + 1));
    if (model->folder_takes_no_file) return Fail(ERROR_ACCESS_DENIED);
    if (model->pending_delete_temp0 && EndsWith(path, kTemp0)) return Fail(ERROR_ACCESS_DENIED);
  }
  if (path == model->hosts && (access & GENERIC_WRITE)) ++model->in_place_opens;
  if (path == model->hosts && access == 0 && model->identify_refusals > 0) {
    --model->identify_refusals;
    return Fail(ERROR_ACCESS_DENIED);  // as for a file whose delete is pending
  }
  if (path == model->hosts && (access & (GENERIC_READ | GENERIC_WRITE)) &&
      model->writer_holds > 0) {
    --model->writer_holds;
    return Fail(ERROR_SHARING_VIOLATION);
  }
  return ::CreateFileA(name, access, share, sa, disposition, flags, templ);
}

BOOL WINAPI ModelWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                           LPOVERLAPPED overlapped) {
  if (model->write_error != 0) {
    SetLastError(model->write_error);
    return FALSE;
  }
  return ::WriteFile(file, data, size, written, overlapped);
}

BOOL WINAPI ModelReadFile(HANDLE file, LPVOID data, DWORD size, LPDWORD read,
                          LPOVERLAPPED overlapped) {
  if (model->read_error != 0) {
    SetLastError(model->read_error);
    return FALSE;
  }
  return ::ReadFile(file, data, size, read, overlapped);
}

BOOL WINAPI ModelSetEndOfFile(HANDLE file) {
  if (model->end_of_file_refusals > 0) {
    --model->end_of_file_refusals;
    SetLastError(ERROR_USER_MAPPED_FILE);
    return FALSE;
  }
  return ::SetEndOfFile(file);
}

HANDLE WINAPI ModelCreateMutexA(LPSECURITY_ATTRIBUTES sa, BOOL owned, LPCSTR name) {
  if (model->mutex_refused) {
    SetLastError(ERROR_ACCESS_DENIED);  // another account's mutex of that name
    return nullptr;
  }
  return ::CreateMutexA(sa, owned, name);
}

BOOL WINAPI ModelFlushFileBuffers(HANDLE file) {
  if (model->flush_error != 0) {
    SetLastError(model->flush_error);
    return FALSE;
  }
  return ::FlushFileBuffers(file);
}

BOOL WINAPI ModelGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  const BOOL ok = ::GetFileInformationByHandle(file, info);
  if (ok && model->links != 0) info->nNumberOfLinks = model->links;
  return ok;
}

DWORD WINAPI ModelGetFileAttributesA(LPCSTR name) {
  const DWORD attributes = ::GetFileAttributesA(name);
  if (!model->link_target.empty() && name == model->hosts) {
    return attributes | FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return attributes;
}

DWORD WINAPI ModelGetFinalPathNameByHandleA(HANDLE file, LPSTR buffer, DWORD size, DWORD flags) {
  if (model->link_target.empty()) return ::GetFinalPathNameByHandleA(file, buffer, size, flags);
  if (model->final_path_error != 0) {
    SetLastError(model->final_path_error);
    return 0;
  }
  const std::string final_path = "\\\\?\\" + model->link_target;
  if (size <= final_path.size()) return static_cast<DWORD>(final_path.size() + 1);
  std::memcpy(buffer, final_path.c_str(), final_path.size() + 1);
  return static_cast<DWORD>(final_path.size());
}

BOOL WINAPI ModelSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                            LPVOID info, DWORD size) {
  const int kind_number = static_cast<int>(kind);
  if (kind_number == 22 || kind == FileRenameInfo) {  // FileRenameInfoEx, FileRenameInfo
    if (model->before_rename) model->before_rename();
    int& refusals = kind_number == 22 ? model->posix_rename_refusals : model->rename_refusals;
    if (refusals > 0) {
      --refusals;
      SetLastError(model->rename_error);
      return FALSE;
    }
    if (kind_number == 22) {  // as on a Windows or volume without POSIX renames
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  }
  if (kind == FileDispositionInfo && model->disposition_refused) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return ::SetFileInformationByHandle(file, kind, info, size);
}

HANDLE WINAPI ModelFindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA found) {
  if (model->pending_delete_temp0 && EndsWith(name, kTemp0)) {
    // The entry stays listed until the last handle to it is closed.
    const HANDLE search = ::FindFirstFileA(model->hosts.c_str(), found);
    std::strcpy(found->cFileName, kTemp0);
    return search;
  }
  return ::FindFirstFileA(name, found);
}

BOOL WINAPI ModelDeleteFileA(LPCSTR name) {
  if (model->live_temp0 && EndsWith(name, kTemp0)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  return ::DeleteFileA(name);
}

BOOL WINAPI ModelGetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION what,
                                         PSECURITY_DESCRIPTOR descriptor, DWORD size,
                                         LPDWORD needed) {
  if (model->security_unreadable) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (model->descriptor.empty()) {
    return ::GetKernelObjectSecurity(object, what, descriptor, size, needed);
  }
  *needed = static_cast<DWORD>(model->descriptor.size());
  if (size < *needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(descriptor, model->descriptor.data(), *needed);
  return TRUE;
}

BOOL WINAPI ModelSetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION what,
                                         PSECURITY_DESCRIPTOR descriptor) {
  if (model->owner_refused && (what & OWNER_SECURITY_INFORMATION)) {
    SetLastError(ERROR_INVALID_OWNER);
    return FALSE;
  }
  const char* bytes = static_cast<const char*>(descriptor);
  model->copied.assign(bytes, bytes + ::GetSecurityDescriptorLength(descriptor));
  return ::SetKernelObjectSecurity(object, what, descriptor);
}

BOOL WINAPI ModelAdjustTokenPrivileges(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES,
                                       PDWORD) {
  SetLastError(ERROR_NOT_ALL_ASSIGNED);  // the privilege is not held
  return TRUE;
}

DWORD WINAPI ModelWaitForSingleObject(HANDLE object, DWORD milliseconds) {
  if (model->mutex_timeouts > 0) {
    --model->mutex_timeouts;
    return WAIT_TIMEOUT;
  }
  const DWORD waited = ::WaitForSingleObject(object, milliseconds);
  return model->mutex_abandoned && waited == WAIT_OBJECT_0 ? WAIT_ABANDONED : waited;
}

void WINAPI ModelSleep(DWORD milliseconds) { model->slept_ms += static_cast<int>(milliseconds); }

Win32Api ModelApi() {
  Win32Api api;
  api.GetEnvironmentVariableA = ModelGetEnvironmentVariableA;
  api.CreateFileA = ModelCreateFileA;
  api.ReadFile = ModelReadFile;
  api.WriteFile = ModelWriteFile;
  api.SetEndOfFile = ModelSetEndOfFile;
  api.CreateMutexA = ModelCreateMutexA;
  api.FlushFileBuffers = ModelFlushFileBuffers;
  api.GetFileInformationByHandle = ModelGetFileInformationByHandle;
  api.GetFileAttributesA = ModelGetFileAttributesA;
  api.GetFinalPathNameByHandleA = ModelGetFinalPathNameByHandleA;
  api.SetFileInformationByHandle = ModelSetFileInformationByHandle;
  api.FindFirstFileA = ModelFindFirstFileA;
  api.DeleteFileA = ModelDeleteFileA;
  api.GetKernelObjectSecurity = ModelGetKernelObjectSecurity;
  api.SetKernelObjectSecurity = ModelSetKernelObjectSecurity;
  api.AdjustTokenPrivileges = ModelAdjustTokenPrivileges;
  api.WaitForSingleObject = ModelWaitForSingleObject;
  api.Sleep = ModelSleep;
  return api;
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileText(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::vector<std::string> Leftovers(const std::string& etc) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const HANDLE search = ::FindFirstFileA((etc + "\\hosts.hosts_entry_tool-*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(found.cFileName);
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return names;
}

class Win32ModelTest : public testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ::GetTempPathA(MAX_PATH, temp);
    base_ = std::string(temp) + "hosts_model_" + std::to_string(::GetCurrentProcessId());
    for (const char* part : {"", "\\System32", "\\System32\\drivers", "\\System32\\drivers\\etc"}) {
      ::CreateDirectoryA((base_ + part).c_str(), nullptr);
    }
  }
  void TearDown() override {
    for (const std::string& name : Leftovers(Etc())) ::DeleteFileA((Etc() + "\\" + name).c_str());
    ::DeleteFileA((Etc() + "\\hosts").c_str());
    ::DeleteFileA((base_ + "\\linked_hosts").c_str());
    for (const char* part : {"\\System32\\drivers\\etc", "\\System32\\drivers", "\\System32", ""}) {
      ::RemoveDirectoryA((base_ + part).c_str());
    }
  }
  std::string Etc() const { return base_ + "\\System32\\drivers\\etc"; }

  // Runs an update with `m` in front of the real calls.
  int Run(Model& m, bool install, std::string* err) {
    m.root = base_;
    m.etc = Etc();
    m.hosts = Etc() + "\\hosts";
    model = &m;
    const std::unique_ptr<FileSystem> fs = MakeWin32FileSystem(ModelApi());
    testing::internal::CaptureStderr();
    const int status = UpdateHostsFile(install, *fs);
    *err = testing::internal::GetCapturedStderr();
    model = nullptr;
    return status;
  }

  std::string base_;
};

TEST_F(Win32ModelTest, EveryDocumentedOutcomeKeepsThePromise) {
  struct Row {
    const char* outcome;  // the documented behaviour the row plays
    std::function<void(Model&)> set;
    int status;
    const char* says;  // what the error line names
    bool in_place;     // whether the file is rewritten in place
  };
  const std::vector<Row> rows = {
      {"nothing in the way", [](Model&) {}, 0, "", false},
      {"CreateFile: ERROR_SHARING_VIOLATION while a writer holds the file, 3 times",
       [](Model& m) { m.writer_holds = 3; }, 0, "", false},
      {"CreateFile: ERROR_SHARING_VIOLATION, the writer never lets go",
       [](Model& m) { m.writer_holds = 1000; }, -1, "read: ", false},
      {"CreateFile CREATE_NEW: ERROR_ACCESS_DENIED on a name whose delete is pending",
       [](Model& m) { m.pending_delete_temp0 = true; }, 0, "", false},
      {"CreateFile CREATE_NEW: ERROR_ACCESS_DENIED, the folder takes no new file",
       [](Model& m) { m.folder_takes_no_file = true; }, 0, "", true},
      {"SetFileInformationByHandle FileRenameInfoEx: ERROR_SHARING_VIOLATION, a reader that "
       "does not share delete, 3 times",
       [](Model& m) { m.posix_rename_refusals = 3; }, 0, "", false},
      {"SetFileInformationByHandle FileRenameInfo: ERROR_ACCESS_DENIED, the target is open, "
       "4 times",
       [](Model& m) {
         m.rename_refusals = 4;
         m.rename_error = ERROR_ACCESS_DENIED;
       },
       0, "", false},
      {"SetFileInformationByHandle FileRenameInfo: ERROR_SHARING_VIOLATION throughout",
       [](Model& m) { m.rename_refusals = 1000; }, -1, "replace: ", false},
      {"SetFileInformationByHandle FileRenameInfo: ERROR_NOT_SAME_DEVICE, the name takes no "
       "replacement",
       [](Model& m) {
         m.rename_refusals = 1;
         m.rename_error = ERROR_NOT_SAME_DEVICE;
       },
       0, "", true},
      {"FlushFileBuffers: ERROR_IO_DEVICE", [](Model& m) { m.flush_error = ERROR_IO_DEVICE; }, -1,
       "flush temporary file", false},
      {"WriteFile: ERROR_DISK_FULL", [](Model& m) { m.write_error = ERROR_DISK_FULL; }, -1,
       "write temporary file", false},
      {"DeleteFile of a live run's temporary file: ERROR_SHARING_VIOLATION",
       [](Model& m) {
         m.live_temp0 = true;
         WriteFileText(m.etc + "\\" + kTemp0, "a live run's");
       },
       0, "", false},
      {"SetKernelObjectSecurity: ERROR_INVALID_OWNER, and SeRestorePrivilege not held",
       [](Model& m) { m.owner_refused = true; }, 0, "", true},
      {"WaitForSingleObject: WAIT_TIMEOUT while another run updates, 3 times",
       [](Model& m) { m.mutex_timeouts = 3; }, 0, "", false},
      {"WaitForSingleObject: WAIT_ABANDONED, a killed run held the lock",
       [](Model& m) { m.mutex_abandoned = true; }, 0, "", false},
      {"GetFileInformationByHandle: nNumberOfLinks 2", [](Model& m) { m.links = 2; }, -1,
       "hard links", false},
      {"ReadFile: ERROR_IO_DEVICE", [](Model& m) { m.read_error = ERROR_IO_DEVICE; }, -1,
       "read: ", false},
      {"CreateMutexA: ERROR_ACCESS_DENIED, another account's lock: goes on without it",
       [](Model& m) { m.mutex_refused = true; }, 0, "", false},
      {"CreateFile of the name without access: ERROR_ACCESS_DENIED, its delete is pending",
       [](Model& m) { m.identify_refusals = 1; }, -1, "check for changes", false},
      {"GetKernelObjectSecurity: ERROR_ACCESS_DENIED",
       [](Model& m) { m.security_unreadable = true; }, 0, "", true},
      {"SetEndOfFile: ERROR_USER_MAPPED_FILE while rewriting in place, once",
       [](Model& m) {
         m.folder_takes_no_file = true;
         m.end_of_file_refusals = 1;
       },
       -1, "the original content was written back", true},
      {"GetFinalPathNameByHandleA: ERROR_PATH_NOT_FOUND for a symbolic link",
       [](Model& m) {
         m.link_target = m.etc + "\\elsewhere";
         m.final_path_error = ERROR_PATH_NOT_FOUND;
       },
       -1, "follow the symbolic link", false},
  };
  for (const Row& row : rows) {
    for (const bool install : {true, false}) {
      const std::string label = std::string(row.outcome) + (install ? " (install)" : "");
      WriteFileText(Etc() + "\\hosts", kOriginal);
      Model m;
      m.etc = Etc();
      row.set(m);
      std::string err;
      const int status = Run(m, install, &err);
      EXPECT_EQ(status, row.status) << label << err;
      if (status == 0) {
        EXPECT_EQ(ReadFileText(Etc() + "\\hosts"), RewrittenHostsText(kOriginal, install)) << label;
        EXPECT_EQ(err, "") << label;
      } else {
        EXPECT_EQ(ReadFileText(Etc() + "\\hosts"), kOriginal) << label;
        EXPECT_EQ(err.find("hosts_entry_tool: "), 0u) << label << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << label << err;
        EXPECT_NE(err.find(row.says), std::string::npos) << label << err;
      }
      EXPECT_EQ(m.in_place_opens > 0, row.in_place) << label;
      EXPECT_LE(m.slept_ms, 3000) << label;
      // Only a live run's file stays beside the hosts file.
      EXPECT_EQ(Leftovers(Etc()),
                m.live_temp0 ? std::vector<std::string>{kTemp0} : std::vector<std::string>())
          << label;
      if (m.live_temp0) ::DeleteFileA((Etc() + "\\" + kTemp0).c_str());
    }
  }
}

// A temporary file that cannot be removed is named in the error line, and
// the next run removes it.
TEST_F(Win32ModelTest, ATemporaryFileThatCannotBeRemovedIsReportedAndRemovedNextTime) {
  WriteFileText(Etc() + "\\hosts", kOriginal);
  Model failing;
  failing.flush_error = ERROR_IO_DEVICE;
  failing.disposition_refused = true;
  std::string err;
  EXPECT_EQ(Run(failing, true, &err), -1);
  EXPECT_NE(err.find(std::string(kTemp0) + " could not be removed"), std::string::npos) << err;
  EXPECT_EQ(ReadFileText(Etc() + "\\hosts"), kOriginal);
  EXPECT_EQ(Leftovers(Etc()), std::vector<std::string>{kTemp0});
  Model plain;
  EXPECT_EQ(Run(plain, true, &err), 0) << err;
  EXPECT_EQ(Leftovers(Etc()), std::vector<std::string>());
}

// The new file gets the original's owner, group and DACL byte for byte (Wine
// keeps no security descriptors of its own, so the model plays the one read).
TEST_F(Win32ModelTest, CopiesOwnerGroupAndDacl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ULONG size = 0;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA(
      "O:SYG:SYD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)", SDDL_REVISION_1, &descriptor,
      &size));
  Model m;
  m.descriptor.assign(static_cast<char*>(descriptor), static_cast<char*>(descriptor) + size);
  ::LocalFree(descriptor);
  WriteFileText(Etc() + "\\hosts", kOriginal);
  std::string err;
  EXPECT_EQ(Run(m, true, &err), 0) << err;
  EXPECT_EQ(m.copied, m.descriptor);
}

// The hosts name is a symbolic link (a reparse point whose final path is
// another file): the link stays and the file it leads to is rewritten.
TEST_F(Win32ModelTest, FollowsASymbolicLink) {
  const std::string target = base_ + "\\linked_hosts";
  WriteFileText(Etc() + "\\hosts", "the link");
  WriteFileText(target, kOriginal);
  Model m;
  m.link_target = target;
  std::string err;
  EXPECT_EQ(Run(m, true, &err), 0) << err;
  EXPECT_EQ(ReadFileText(target), RewrittenHostsText(kOriginal, true));
  EXPECT_EQ(ReadFileText(Etc() + "\\hosts"), "the link");
}

// No file yet, and another program creates one just before the rename: the
// rename does not replace it (ERROR_ALREADY_EXISTS), and the update starts
// over on that file.
TEST_F(Win32ModelTest, AFileCreatedMeanwhileIsNotReplaced) {
  Model m;
  bool created = false;
  m.before_rename = [&] {
    if (!created) WriteFileText(m.hosts, kOriginal);
    created = true;
  };
  std::string err;
  EXPECT_EQ(Run(m, true, &err), 0) << err;
  EXPECT_EQ(ReadFileText(Etc() + "\\hosts"), RewrittenHostsText(kOriginal, true));
}

}  // namespace
}  // namespace hosts
