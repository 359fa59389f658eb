// The steps of a run, as its messages name them. The update puts a step's
// name in front of the reason a call of that step failed; the deadline
// (deadline.h) names the step a call waits in, and treats each step as its
// row here says: it refuses to begin one once the run's time is up, gives up
// one the run can do without when it waits too long, and never cuts short
// one that could leave a mixture.

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
  // Neither cancelled nor cut short once begun: ending it half-way could
  // leave a mixture of the old content and the new.
  bool uncut;
};

// Every step, in the order of Step.
inline constexpr StepInfo kSteps[] = {
    {Step::kCheckSystemRoot, "check SystemRoot", false, false, false},
    {Step::kOpenFolder, "open the folder", false, false, false},
    {Step::kTakeLock, "take the update lock", false, false, false},
    {Step::kReleaseLock, "let go of the update lock", true, true, false},
    {Step::kListFolder, "list the folder", true, true, false},
    {Step::kRemoveLeftover, "remove a leftover", true, false, false},
    {Step::kRead, "read", false, false, false},
    {Step::kCheckForChanges, "check for changes", false, false, false},
    {Step::kCreateTemp, "create temporary file", false, false, false},
    {Step::kWriteTemp, "write temporary file", false, false, false},
    {Step::kFlushTemp, "flush temporary file", false, false, false},
    {Step::kReplace, "replace", false, false, false},
    {Step::kRemoveTemp, "remove the temporary file", true, true, false},
    {Step::kOpenInPlace, "open for rewriting in place", false, false, false},
    {Step::kReadInPlace, "read before rewriting in place", false, false, false},
    // Writing the original back must still happen, and whole.
    {Step::kRewriteInPlace, "rewrite in place", false, true, true},
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
