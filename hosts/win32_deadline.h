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

  // A step the update can do without (a cleanup): if it waits longer than
  // kOptionalMs, it is cancelled, without the run's time being spent on it.
  // It lasts until the returned object goes.
  class Optional {
   public:
    Optional(Deadline& deadline, const char* step);
    Optional(const Optional&) = delete;
    Optional& operator=(const Optional&) = delete;
    ~Optional();

   private:
    Deadline& deadline_;
  };

 private:
  // Cancels the update's waiting call while the optional step that is
  // waiting in it lasts.
  void CancelOptional(HANDLE thread);

  const Win32Api& api_;
  const DWORD limit_ms_;
  const DWORD grace_ms_;
  std::atomic<bool> expired_{false};
  std::atomic<const char*> step_{"start"};
  std::atomic<const char*> expired_in_{""};  // the step the deadline passed in
  std::mutex mutex_;                         // the subject, and an optional step's end
  std::string subject_ = "SystemRoot";
  ULONGLONG optional_until_ = 0;  // when the optional step under way must end; 0: none
};

// How long an optional step may wait.
inline constexpr DWORD kOptionalMs = 2000;

}  // namespace hosts

#endif  // HOSTS_WIN32_DEADLINE_H_
