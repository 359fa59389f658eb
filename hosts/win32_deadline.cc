// The run's deadline on Windows (see win32_deadline.h).

#include "hosts/win32_deadline.h"

#include <windows.h>

#include <functional>
#include <utility>

namespace hosts {
namespace {

class Win32Worker : public Worker {
 public:
  explicit Win32Worker(const Win32Api& api) : api_(api) {}
  ~Win32Worker() override {
    if (thread_ != nullptr) CloseHandle(thread_);
  }

  bool Start(std::function<void()> work) override {
    work_ = std::move(work);
    thread_ = api_.CreateThread(nullptr, 0, Run, this, 0, nullptr);
    return thread_ != nullptr;
  }

  bool Wait(int milliseconds) override {
    const DWORD wait = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
    return WaitForSingleObject(thread_, wait) != WAIT_TIMEOUT;
  }

  void CancelWaitingCall() override { api_.CancelSynchronousIo(thread_); }

  void EndProcess() override {
    // TerminateProcess does not return when it ends this process.
    if (!api_.TerminateProcess(GetCurrentProcess(), static_cast<UINT>(-1))) {
      ExitProcess(static_cast<UINT>(-1));
    }
  }

 private:
  static DWORD WINAPI Run(void* self) {
    static_cast<Win32Worker*>(self)->work_();
    return 0;
  }

  const Win32Api api_;
  std::function<void()> work_;
  HANDLE thread_ = nullptr;
};

}  // namespace

std::unique_ptr<Worker> MakeWin32Worker(const Win32Api& api) {
  return std::make_unique<Win32Worker>(api);
}

}  // namespace hosts
