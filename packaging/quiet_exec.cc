// QuietExec: a Windows Installer custom action (a DLL in the package's Binary
// table) that runs hosts_entry_tool and puts what happened into the
// installer's log. A program run directly by the installer (custom action
// types 2 and 18) leaves only "Return value" there: the tool's exit status
// and its one-line reason reach nobody. This action
//   - takes the command line from CustomActionData, the property a deferred
//     action reads (set by a type 51 action named after it), for example
//     "C:\Program Files\Example VPN Client\hosts_entry_tool.exe" --install-dns;
//   - runs it without a console window, its standard output and error into
//     one pipe, and waits for it;
//   - logs one line, `QuietExec: COMMAND exited with STATUS (UNSIGNED): OUTPUT`,
//     as an informational message, which `msiexec /l*v` writes to the log;
//   - returns ERROR_SUCCESS for exit status 0 and ERROR_INSTALL_FAILURE for
//     anything else (or when the program could not be run), so that the
//     action's Return="check" fails the installation and Return="ignore"
//     goes on.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>

namespace {

// The most output kept for the log; the rest is read and dropped, so that the
// program never blocks on a full pipe.
constexpr size_t kMaxOutput = 16 * 1024;

// Closes a kernel handle when it goes out of scope.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~ScopedHandle() { Close(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE* Receive() { return &handle_; }
  HANDLE get() const { return handle_; }
  void Close() {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
};

std::wstring ErrorText(const wchar_t* step, DWORD error) {
  return std::wstring(step) + L" failed (error " + std::to_wstring(error) + L")";
}

// The property's value, or an empty string when it is unset or unreadable.
std::wstring GetProperty(MSIHANDLE install, const wchar_t* name) {
  wchar_t empty[1] = L"";
  DWORD size = 0;
  if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) return L"";
  std::wstring value(size + 1, L'\0');
  size = static_cast<DWORD>(value.size());
  if (MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) return L"";
  value.resize(size);
  return value;
}

// The program's output as the text it is: the tool writes in the system's
// ANSI code page. Bytes that cannot be converted show as '?'.
std::wstring FromAnsi(const std::string& bytes) {
  if (bytes.empty()) return L"";
  const int length = static_cast<int>(bytes.size());
  const int needed = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
  std::wstring text(needed > 0 ? needed : 0, L'\0');
  if (needed <= 0 ||
      MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, text.data(), needed) != needed) {
    text.clear();
    for (char byte : bytes) text += (byte & 0x80) ? L'?' : static_cast<wchar_t>(byte);
  }
  return text;
}

// Writes `text` to the installer's log as it is: the installer formats field
// 0 of a message, so '[' and ']' are escaped as [\[] and [\]], and line ends
// become spaces to keep it one line. A log that cannot be written changes
// nothing else: the exit status still decides the action's result.
void Log(MSIHANDLE install, const std::wstring& text) {
  std::wstring escaped;
  for (wchar_t c : text) {
    if (c == L'[' || c == L']') {
      escaped += L"[\\";
      escaped += c;
      escaped += L']';
    } else if (c == L'\r' || c == L'\n') {
      if (!escaped.empty() && escaped.back() != L' ') escaped += L' ';
    } else {
      escaped += c;
    }
  }
  while (!escaped.empty() && escaped.back() == L' ') escaped.pop_back();
  const MSIHANDLE record = MsiCreateRecord(0);
  if (record == 0) return;
  if (MsiRecordSetStringW(record, 0, escaped.c_str()) == ERROR_SUCCESS) {
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
  }
  MsiCloseHandle(record);
}

// Runs `command` without a window and waits for it: true with its exit status
// and output, or false with the step that failed in `failure`.
bool Run(std::wstring command, DWORD* status, std::string* output, std::wstring* failure) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  ScopedHandle read_end;
  ScopedHandle write_end;
  if (!CreatePipe(read_end.Receive(), write_end.Receive(), &inherit, 0)) {
    *failure = ErrorText(L"CreatePipe", GetLastError());
    return false;
  }
  // Only the write end goes to the program.
  if (!SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0)) {
    *failure = ErrorText(L"SetHandleInformation", GetLastError());
    return false;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end.get();
  startup.hStdError = write_end.get();
  PROCESS_INFORMATION process = {};
  // The installer runs this action alone in its custom action server, so no
  // other inheritable handle of that process is made meanwhile.
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    *failure = ErrorText(L"CreateProcess", GetLastError());
    return false;
  }
  ScopedHandle process_handle(process.hProcess);
  CloseHandle(process.hThread);
  // The program's end closes the last write end, which ends the reads.
  write_end.Close();
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read_end.get(), buffer, sizeof(buffer), &got, nullptr)) {
    output->append(buffer, got < kMaxOutput - output->size() ? got : kMaxOutput - output->size());
  }
  const DWORD read_error = GetLastError();
  if (read_error != ERROR_BROKEN_PIPE) {
    // The output is lost from here on, not the exit status.
    output->append("[output cut: ReadFile failed (error " + std::to_string(read_error) + ")]");
  }
  if (WaitForSingleObject(process_handle.get(), INFINITE) == WAIT_FAILED) {
    *failure = ErrorText(L"WaitForSingleObject", GetLastError());
    return false;
  }
  if (!GetExitCodeProcess(process_handle.get(), status)) {
    *failure = ErrorText(L"GetExitCodeProcess", GetLastError());
    return false;
  }
  return true;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall QuietExec(MSIHANDLE install) {
  const std::wstring command = GetProperty(install, L"CustomActionData");
  if (command.empty()) {
    Log(install, L"QuietExec: no command line in CustomActionData; nothing was run");
    return ERROR_INSTALL_FAILURE;
  }
  DWORD status = 0;
  std::string output;
  std::wstring failure;
  if (!Run(command, &status, &output, &failure)) {
    Log(install, L"QuietExec: " + command + L" could not be run: " + failure);
    return ERROR_INSTALL_FAILURE;
  }
  std::wstring line = L"QuietExec: " + command + L" exited with " +
                      std::to_wstring(static_cast<int>(status)) + L" (" + std::to_wstring(status) +
                      L")";
  if (!output.empty()) line += L": " + FromAnsi(output);
  Log(install, line);
  return status == 0 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}
