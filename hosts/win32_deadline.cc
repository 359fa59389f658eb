// How the Windows layer bounds a run (see win32_deadline.h).

#include "hosts/win32_deadline.h"

#include <cstdio>

namespace hosts {
namespace {

// How often a waiting call is cancelled again during the grace period: the
// update may have gone on into another call that waits.
constexpr DWORD kCancelEveryMs = 100;

struct Work {
  const std::function<int()>* update;
  int result = -1;
};

DWORD WINAPI RunWork(void* argument) {
  auto* work = static_cast<Work*>(argument);
  work->result = (*work->update)();
  return 0;
}

}  // namespace

int Deadline::Run(const std::function<int()>& update) {
  Work work{&update};
  const HANDLE thread = api_.CreateThread(nullptr, 0, RunWork, &work, 0, nullptr);
  // Without a thread of its own the update runs as it always could.
  if (thread == nullptr) return update();
  const ULONGLONG end = GetTickCount64() + limit_ms_;
  DWORD waited;
  while ((waited = WaitForSingleObject(thread, kCancelEveryMs)) == WAIT_TIMEOUT &&
         GetTickCount64() < end) {
    CancelOptional(thread);
  }
  bool ended = false;  // the process was ended here
  if (waited == WAIT_TIMEOUT) {
    expired_in_ = step_.load();
    expired_ = true;
    const ULONGLONG grace_end = GetTickCount64() + grace_ms_;
    do {
      api_.CancelSynchronousIo(thread);
    } while (WaitForSingleObject(thread, kCancelEveryMs) == WAIT_TIMEOUT &&
             GetTickCount64() < grace_end);
    if (WaitForSingleObject(thread, 0) == WAIT_TIMEOUT) {
      std::string subject;
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        subject = subject_;
      }
      std::fprintf(stderr,
                   "hosts_entry_tool: %s: %s: no answer within %lu s, nor when cancelled; the "
                   "run ends here, and every step leaves the file whole\n",
                   subject.c_str(), step_.load(), static_cast<unsigned long>(limit_ms_ / 1000));
      std::fflush(stderr);
      // TerminateProcess does not return when it ends this process.
      if (!api_.TerminateProcess(GetCurrentProcess(), static_cast<UINT>(-1))) {
        ExitProcess(static_cast<UINT>(-1));
      }
      ended = true;
    }
  }
  // Where the process goes on after all (a test's model), the thread must
  // end before `work` does.
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return ended ? -1 : work.result;
}

void Deadline::CancelOptional(HANDLE thread) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (optional_until_ != 0 && GetTickCount64() >= optional_until_) {
    api_.CancelSynchronousIo(thread);
  }
}

Status Deadline::Step(const char* step) {
  step_ = step;
  if (!expired_) return Status();
  return Status::Failed(std::string("not begun: the run's time limit passed while it waited to ") +
                        expired_in_.load());
}

void Deadline::Subject(const std::string& subject) {
  const std::lock_guard<std::mutex> lock(mutex_);
  subject_ = subject;
}

Deadline::Optional::Optional(Deadline& deadline, const char* step) : deadline_(deadline) {
  deadline_.step_ = step;
  const std::lock_guard<std::mutex> lock(deadline_.mutex_);
  deadline_.optional_until_ = GetTickCount64() + kOptionalMs;
}

Deadline::Optional::~Optional() {
  const std::lock_guard<std::mutex> lock(deadline_.mutex_);
  deadline_.optional_until_ = 0;
}

}  // namespace hosts
