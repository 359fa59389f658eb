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
  const HANDLE thread = CreateThread(nullptr, 0, RunWork, &work, 0, nullptr);
  // Without a thread of its own the update runs as it always could.
  if (thread == nullptr) return update();
  if (WaitForSingleObject(thread, limit_ms_) == WAIT_TIMEOUT) {
    expired_ = true;
    const ULONGLONG end = GetTickCount64() + grace_ms_;
    do {
      api_.CancelSynchronousIo(thread);
    } while (WaitForSingleObject(thread, kCancelEveryMs) == WAIT_TIMEOUT && GetTickCount64() < end);
    if (WaitForSingleObject(thread, 0) == WAIT_TIMEOUT) {
      std::string subject;
      {
        const std::lock_guard<std::mutex> lock(subject_mutex_);
        subject = subject_;
      }
      std::fprintf(stderr,
                   "hosts_entry_tool: %s: %s: no answer within %lu s, nor when cancelled; the "
                   "run ends here, and every step leaves the file whole\n",
                   subject.c_str(), step_.load(), static_cast<unsigned long>(limit_ms_ / 1000));
      std::fflush(stderr);
      api_.TerminateProcess(GetCurrentProcess(), static_cast<UINT>(-1));
      // Where the process goes on after all (a test's model), the thread
      // must end before `work` does.
      WaitForSingleObject(thread, INFINITE);
      CloseHandle(thread);
      return -1;
    }
  }
  CloseHandle(thread);
  return work.result;
}

Status Deadline::Step(const char* step) {
  step_ = step;
  if (!expired_) return Status();
  return Status::Failed("not begun: the run's time limit has passed");
}

void Deadline::Subject(const std::string& subject) {
  const std::lock_guard<std::mutex> lock(subject_mutex_);
  subject_ = subject;
}

}  // namespace hosts
