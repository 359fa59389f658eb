// The steps of a run, as its messages name them. The update puts a step's
// name in front of the reason a call of that step failed; the deadline
// (deadline.h) names the step a call waits in, refuses to begin one once the
// run's time is up, and gives up a step the run can do without when it
// waits too long.

#ifndef HOSTS_STEPS_H_
#define HOSTS_STEPS_H_

namespace hosts {

enum class Step {
  kCheckSystemRoot,
  kOpenFolder,
  kTakeLock,
  kReleaseLock,
  kListFolder,
  kRemoveLeftover,
  kRead,
  kCheckForChanges,
  kCreateTemp,
  kWriteTemp,
  kFlushTemp,
  kReplace,
  kRemoveTemp,
  kOpenInPlace,
  kReadInPlace,
  kRewriteInPlace,
};

struct StepInfo {
  Step step;
  const char* name;
  // The run can do without it: a wait in it is cancelled after
  // kOptionalStepMs, and the run goes on.
  bool optional;
  // Begun even once the run's time is up: a refusal would lose more than
  // the wait.
  bool after_deadline;
};

// Every step, in the order of Step.
inline constexpr StepInfo kSteps[] = {
    {Step::kCheckSystemRoot, "check SystemRoot", false, false},
    {Step::kOpenFolder, "open the folder", false, false},
    {Step::kTakeLock, "take the update lock", false, false},
    {Step::kReleaseLock, "let go of the update lock", true, true},
    {Step::kListFolder, "list the folder", true, true},
    {Step::kRemoveLeftover, "remove a leftover", true, false},
    {Step::kRead, "read", false, false},
    {Step::kCheckForChanges, "check for changes", false, false},
    {Step::kCreateTemp, "create temporary file", false, false},
    {Step::kWriteTemp, "write temporary file", false, false},
    {Step::kFlushTemp, "flush temporary file", false, false},
    {Step::kReplace, "replace", false, false},
    {Step::kRemoveTemp, "remove the temporary file", true, true},
    {Step::kOpenInPlace, "open for rewriting in place", false, false},
    {Step::kReadInPlace, "read before rewriting in place", false, false},
    // Writing the original back must still happen.
    {Step::kRewriteInPlace, "rewrite in place", false, true},
};

constexpr const StepInfo& InfoOf(Step step) { return kSteps[static_cast<int>(step)]; }

constexpr bool StepsInOrder() {
  for (int i = 0; i < static_cast<int>(sizeof kSteps / sizeof kSteps[0]); ++i) {
    if (static_cast<int>(kSteps[i].step) != i) return false;
  }
  return true;
}
static_assert(StepsInOrder(), "kSteps lists every step in the order of Step");

constexpr const char* StepName(Step step) { return InfoOf(step).name; }

}  // namespace hosts

#endif  // HOSTS_STEPS_H_
