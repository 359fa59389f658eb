// The run's time limit, as a layer around any file system: the update runs
// on a thread of its own, and at the deadline the call it is waiting in is
// cancelled; a call that does not end even then ends the process. Each call
// of the seam is a step (steps.h): once the time is up no step begins but
// those that must still happen, and a step the run can do without is
// cancelled after kOptionalStepMs of waiting, without the run's time being
// spent on it. Only the thread and the cancelling are the platform's.

#ifndef HOSTS_DEADLINE_H_
#define HOSTS_DEADLINE_H_

#include <functional>
#include <memory>

#include "hosts/file_system.h"

namespace hosts {

// The thread a run's update goes on, as the platform makes, waits for and
// stops it.
class Worker {
 public:
  virtual ~Worker() = default;
  // Starts `work` on a thread of its own; false where none can be made, and
  // the run then goes on without a deadline, as it always could.
  virtual bool Start(std::function<void()> work) = 0;
  // Waits up to `milliseconds` (forever when negative) for it to end; true
  // once it has.
  virtual bool Wait(int milliseconds) = 0;
  // Cancels the call it is waiting in, if any.
  virtual void CancelWaitingCall() = 0;
  // Ends the process with -1; returns only where it cannot (a test's model).
  virtual void EndProcess() = 0;
};

// `inner` within a deadline of `limit_ms`, a cancelled call then having
// `grace_ms` to end. Without a worker (nullptr) the run has no deadline.
std::unique_ptr<FileSystem> WithDeadline(std::unique_ptr<FileSystem> inner,
                                         std::unique_ptr<Worker> worker, int limit_ms,
                                         int grace_ms);

}  // namespace hosts

#endif  // HOSTS_DEADLINE_H_
