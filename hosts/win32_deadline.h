// How the Windows layer bounds a run: the update runs on a thread of its
// own, and at the run's deadline the call it is waiting in is cancelled; a
// call that does not end even then ends the process.

#ifndef HOSTS_WIN32_DEADLINE_H_
#define HOSTS_WIN32_DEADLINE_H_

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "hosts/status.h"
#include "hosts/win32_api.h"

namespace hosts {

// How long a run may take, and how long a cancelled call then has to end.
inline constexpr DWORD kRunDeadlineMs = 60000;
inline constexpr DWORD kCancelGraceMs = 5000;

class Deadline {
 public:
  Deadline(const Win32Api& api, DWORD limit_ms, DWORD grace_ms)
      : api_(api), limit_ms_(limit_ms), grace_ms_(grace_ms) {}

  // Runs `update` on a thread of its own and returns its result. At the
  // deadline the thread's waiting call is cancelled (CancelSynchronousIo),
  // again and again, for the grace period; if the update has not ended by
  // then, one line on standard error says what it was waiting for, and the
  // process ends with -1. Every step of the update leaves the hosts file
  // whole, so ending there loses nothing.
  int Run(const std::function<int()>& update);

  // Says what the update does from now on: `subject` (the file) and `step`
  // name it in the line printed if the process must be ended. Answers a
  // failure, to return at once, once the deadline has passed.
  Status Step(const char* step);
  void Subject(const std::string& subject);

 private:
  const Win32Api& api_;
  const DWORD limit_ms_;
  const DWORD grace_ms_;
  std::atomic<bool> expired_{false};
  std::atomic<const char*> step_{"start"};
  std::mutex subject_mutex_;
  std::string subject_ = "SystemRoot";
};

}  // namespace hosts

#endif  // HOSTS_WIN32_DEADLINE_H_
