// The run's deadline on Windows: the thread the update goes on (deadline.h).

#ifndef HOSTS_WIN32_DEADLINE_H_
#define HOSTS_WIN32_DEADLINE_H_

#include <memory>

#include "hosts/deadline.h"
#include "hosts/win32_api.h"

namespace hosts {

// A thread made with CreateThread; its waiting call cancelled with
// CancelSynchronousIo, the process ended with TerminateProcess, all through
// `api`.
std::unique_ptr<Worker> MakeWin32Worker(const Win32Api& api);

}  // namespace hosts

#endif  // HOSTS_WIN32_DEADLINE_H_
