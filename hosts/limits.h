// Every limit of a run in one place: how long it waits for what other
// programs hold, how long it may take in all, and how many times it tries.
// The tests use these names, never the numbers.

#ifndef HOSTS_LIMITS_H_
#define HOSTS_LIMITS_H_

#include <string>

namespace hosts {

// How long, in all, the update waits for what another program holds. A
// writer (an editor saving the file) or another run of this tool is waited
// out for a few seconds; a reader that keeps the file from being replaced
// (the DNS Client parsing a large file, a backup tool) for half a minute.
inline constexpr int kBusyWaitMs = 2600;
inline constexpr int kRenameWaitMs = 30000;

// The waits between attempts: 1 ms, then twice as long each time up to this.
inline constexpr int kMaxBackoffMs = 500;

// How long a run may take where another program can keep a call waiting
// without limit (Windows: an opportunistic lock never acknowledged); how
// long a call cancelled then has to end before the process is ended; and
// how often it is cancelled again meanwhile, since the update may have gone
// on into another call that waits.
inline constexpr int kRunDeadlineMs = 60000;
inline constexpr int kCancelGraceMs = 5000;
inline constexpr int kCancelEveryMs = 100;

// How long a step the run can do without (a cleanup) may wait before it is
// cancelled, without the run's time being spent on it.
inline constexpr int kOptionalStepMs = 2000;

// How many passes an update makes at most, when another program keeps
// changing the file while this one rewrites it.
inline constexpr int kMaxPasses = 3;

// How many temporary names a run tries.
inline constexpr int kMaxTempNames = 100;

// How many symbolic links one path may lead through: as Linux allows, and
// on Windows as many links and junctions one after another as it follows.
#ifdef _WIN32
inline constexpr int kMaxLinks = 31;
#else
inline constexpr int kMaxLinks = 40;
#endif

// A wait as a message says it: "2.6" for 2600 ms, "30" for 30000.
inline std::string Seconds(int ms) {
  std::string seconds = std::to_string(ms / 1000);
  if (ms % 1000 != 0) seconds += "." + std::to_string(ms % 1000 / 100);
  return seconds;
}

}  // namespace hosts

#endif  // HOSTS_LIMITS_H_
