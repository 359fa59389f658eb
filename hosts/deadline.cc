// The run's time limit around any file system (see deadline.h): the clock
// and the steps here, every call of the seam passed through to the file
// system inside.

#include "hosts/deadline.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "hosts/limits.h"
#include "hosts/steps.h"

namespace hosts {
namespace {

using Clock = std::chrono::steady_clock;

// Where the run is, and whether its time is up; shared by the update's
// thread and the one that watches it.
class Deadline {
 public:
  Deadline(std::unique_ptr<Worker> worker, int limit_ms, int grace_ms)
      : worker_(std::move(worker)), limit_(limit_ms), grace_(grace_ms), limit_ms_(limit_ms) {}

  int Run(const std::function<int()>& update) {
    int result = -1;
    if (worker_ == nullptr || !worker_->Start([&] { result = update(); })) return update();
    const Clock::time_point end = Clock::now() + limit_;
    bool done = false;
    while (!(done = worker_->Wait(kCancelEveryMs)) && Clock::now() < end) CancelOptional();
    bool ended = false;  // the process was ended here
    if (!done) {
      expired_in_ = step_.load();
      expired_ = true;
      // A rewrite in place is never cut short: its grace period begins
      // again once it has ended.
      Clock::time_point grace_end = Clock::now() + grace_;
      for (;;) {
        const bool rewriting = CancelUnlessRewriting();
        if (worker_->Wait(kCancelEveryMs)) break;
        if (rewriting) {
          grace_end = Clock::now() + grace_;
        } else if (Clock::now() >= grace_end) {
          break;
        }
      }
      if (!worker_->Wait(0)) {
        EndProcess();
        ended = true;
      }
    }
    // Where the process goes on after all (a test's model), the thread must
    // end before `result` does.
    worker_->Wait(-1);
    return ended ? -1 : result;
  }

  // What the update works on, for the line printed if the process must be
  // ended.
  void Subject(const std::string& subject) {
    const std::lock_guard<std::mutex> lock(mutex_);
    subject_ = subject;
  }

  // A step under way for as long as this lives, treated as its row in the
  // table of steps says: refused once the run's time is up unless it must
  // still happen (late() says so, and the caller returns it at once); given
  // up after kOptionalStepMs of waiting where the run can do without it;
  // neither cancelled nor cut short, with the process, where that could
  // leave a mixture.
  class Scope {
   public:
    Scope(Deadline& deadline, Step step)
        : deadline_(deadline), info_(InfoOf(step)), late_(deadline.Begin(step)) {
      if (!late_.ok()) return;
      const std::lock_guard<std::mutex> lock(deadline_.mutex_);
      if (info_.optional) {
        deadline_.optional_until_ = Clock::now() + std::chrono::milliseconds(kOptionalStepMs);
      }
      if (info_.uncut) deadline_.rewriting_ = true;
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    ~Scope() {
      if (!late_.ok()) return;
      const std::lock_guard<std::mutex> lock(deadline_.mutex_);
      if (info_.optional) deadline_.optional_until_ = Clock::time_point();
      if (info_.uncut) deadline_.rewriting_ = false;
    }
    const Status& late() const { return late_; }

   private:
    Deadline& deadline_;
    const StepInfo& info_;
    const Status late_;
  };

 private:
  // Says that the update begins `step`; a failure, to return at once, once
  // the run's time is up and the step is not one that must still happen.
  Status Begin(Step step) {
    step_ = step;
    if (!expired_ || InfoOf(step).after_deadline) return Status();
    return Status::Failed(
        std::string("not begun: the run's time limit passed while it waited to ") +
        StepName(expired_in_.load()));
  }

  // Cancels the update's waiting call while the optional step waiting in it
  // has had its time.
  void CancelOptional() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (optional_until_ != Clock::time_point() && Clock::now() >= optional_until_) {
      worker_->CancelWaitingCall();
    }
  }

  // Cancels the update's waiting call, unless it is rewriting the file in
  // place; true when it is.
  bool CancelUnlessRewriting() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!rewriting_) worker_->CancelWaitingCall();
    return rewriting_;
  }

  void EndProcess() {
    std::string subject;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      subject = subject_;
    }
    std::fprintf(stderr,
                 "hosts_entry_tool: %s: %s: no answer within %d s, nor when cancelled; the run "
                 "ends here, and every step leaves the file whole\n",
                 subject.c_str(), StepName(step_.load()), limit_ms_ / 1000);
    std::fflush(stderr);
    worker_->EndProcess();
  }

  const std::unique_ptr<Worker> worker_;
  const std::chrono::milliseconds limit_;
  const std::chrono::milliseconds grace_;
  const int limit_ms_;
  std::atomic<bool> expired_{false};
  std::atomic<Step> step_{Step::kCheckSystemRoot};
  std::atomic<Step> expired_in_{Step::kCheckSystemRoot};  // the step the deadline passed in
  std::mutex mutex_;                                      // the subject, and an optional step's end
  std::string subject_ = "SystemRoot";
  Clock::time_point optional_until_;  // when the optional step under way must end
  bool rewriting_ = false;            // a rewrite in place is under way
};

class DeadlineHeldFile : public HeldFile {
 public:
  DeadlineHeldFile(Deadline& deadline, std::unique_ptr<HeldFile> inner)
      : deadline_(deadline), inner_(std::move(inner)) {}
  Status Read(char* buffer, std::size_t size, std::size_t* got) override {
    const Deadline::Scope scope(deadline_, Step::kRead);
    if (!scope.late().ok()) return scope.late();
    return inner_->Read(buffer, size, got);
  }
  const HeldFile* inner() const { return inner_.get(); }

 private:
  Deadline& deadline_;
  const std::unique_ptr<HeldFile> inner_;
};

class DeadlineInPlaceFile : public InPlaceFile {
 public:
  DeadlineInPlaceFile(Deadline& deadline, std::unique_ptr<InPlaceFile> inner)
      : deadline_(deadline), inner_(std::move(inner)) {}
  Status Read(char* buffer, std::size_t size, std::size_t* got) override {
    const Deadline::Scope scope(deadline_, Step::kReadInPlace);
    if (!scope.late().ok()) return scope.late();
    return inner_->Read(buffer, size, got);
  }
  Status Overwrite(std::string_view data) override {
    const Deadline::Scope scope(deadline_, Step::kRewriteInPlace);
    if (!scope.late().ok()) return scope.late();
    return inner_->Overwrite(data);
  }

 private:
  Deadline& deadline_;
  const std::unique_ptr<InPlaceFile> inner_;
};

class DeadlineLock : public UpdateLock {
 public:
  DeadlineLock(Deadline& deadline, std::unique_ptr<UpdateLock> inner)
      : deadline_(deadline), inner_(std::move(inner)) {}
  ~DeadlineLock() override {
    const Deadline::Scope scope(deadline_, Step::kReleaseLock);
    inner_.reset();
  }

 private:
  Deadline& deadline_;
  std::unique_ptr<UpdateLock> inner_;
};

class DeadlineTempFile : public TempFile {
 public:
  DeadlineTempFile(Deadline& deadline, std::unique_ptr<TempFile> inner)
      : TempFile(inner->name()), deadline_(deadline), inner_(std::move(inner)) {}
  Status Write(std::string_view data) override {
    const Deadline::Scope scope(deadline_, Step::kWriteTemp);
    if (!scope.late().ok()) return scope.late();
    return inner_->Write(data);
  }
  Status Sync() override {
    const Deadline::Scope scope(deadline_, Step::kFlushTemp);
    if (!scope.late().ok()) return scope.late();
    return inner_->Sync();
  }
  Status Commit(const std::string& target, const FileInfo& expected) override {
    const Deadline::Scope scope(deadline_, Step::kReplace);
    if (!scope.late().ok()) return scope.late();
    return inner_->Commit(target, expected);
  }
  Status Discard() override {
    const Deadline::Scope scope(deadline_, Step::kRemoveTemp);
    return inner_->Discard();
  }

 private:
  Deadline& deadline_;
  const std::unique_ptr<TempFile> inner_;
};

class DeadlineFolder : public Folder {
 public:
  DeadlineFolder(Deadline& deadline, std::unique_ptr<Folder> inner)
      : Folder(inner->path()), deadline_(deadline), inner_(std::move(inner)) {}

  Status Lock(std::unique_ptr<UpdateLock>* lock) override {
    const Deadline::Scope scope(deadline_, Step::kTakeLock);
    if (!scope.late().ok()) return scope.late();
    std::unique_ptr<UpdateLock> taken;
    Status status = inner_->Lock(&taken);
    if (status.ok()) *lock = std::make_unique<DeadlineLock>(deadline_, std::move(taken));
    return status;
  }
  Status List(const std::string& prefix, std::vector<std::string>* names) override {
    const Deadline::Scope scope(deadline_, Step::kListFolder);
    return inner_->List(prefix, names);
  }
  Status RemoveStale(const std::string& name, const std::string& beside) override {
    const Deadline::Scope scope(deadline_, Step::kRemoveLeftover);
    if (!scope.late().ok()) return scope.late();
    return inner_->RemoveStale(name, beside);
  }
  Status OpenHeld(const std::string& name, std::unique_ptr<HeldFile>* file,
                  FileInfo* info) override {
    const Deadline::Scope scope(deadline_, Step::kRead);
    if (!scope.late().ok()) return scope.late();
    std::unique_ptr<HeldFile> opened;
    Status status = inner_->OpenHeld(name, &opened, info);
    if (status.ok()) *file = std::make_unique<DeadlineHeldFile>(deadline_, std::move(opened));
    return status;
  }
  Status Identify(const std::string& name, FileInfo* info) override {
    const Deadline::Scope scope(deadline_, Step::kCheckForChanges);
    if (!scope.late().ok()) return scope.late();
    return inner_->Identify(name, info);
  }
  Status CreateTemp(const std::string& name, const HeldFile* original,
                    std::unique_ptr<TempFile>* file) override {
    const Deadline::Scope scope(deadline_, Step::kCreateTemp);
    if (!scope.late().ok()) return scope.late();
    const HeldFile* inner_original =
        original == nullptr ? nullptr : static_cast<const DeadlineHeldFile*>(original)->inner();
    std::unique_ptr<TempFile> created;
    Status status = inner_->CreateTemp(name, inner_original, &created);
    if (status.ok()) *file = std::make_unique<DeadlineTempFile>(deadline_, std::move(created));
    return status;
  }
  Status OpenInPlace(const std::string& name, std::unique_ptr<InPlaceFile>* file,
                     FileInfo* info) override {
    const Deadline::Scope scope(deadline_, Step::kOpenInPlace);
    if (!scope.late().ok()) return scope.late();
    std::unique_ptr<InPlaceFile> opened;
    Status status = inner_->OpenInPlace(name, &opened, info);
    if (status.ok()) *file = std::make_unique<DeadlineInPlaceFile>(deadline_, std::move(opened));
    return status;
  }

 private:
  Deadline& deadline_;
  const std::unique_ptr<Folder> inner_;
};

class DeadlineFileSystem : public FileSystem {
 public:
  DeadlineFileSystem(std::unique_ptr<FileSystem> inner, std::unique_ptr<Worker> worker,
                     int limit_ms, int grace_ms)
      : inner_(std::move(inner)), deadline_(std::move(worker), limit_ms, grace_ms) {}

  int Run(const std::function<int()>& update) override {
    return deadline_.Run([&] { return inner_->Run(update); });
  }
  Status GetEnv(const char* name, std::string* value) override {
    return inner_->GetEnv(name, value);
  }
  Status CheckSystemRoot(const std::string& root, std::string* checked) override {
    const Deadline::Scope scope(deadline_, Step::kCheckSystemRoot);
    if (!scope.late().ok()) return scope.late();
    return inner_->CheckSystemRoot(root, checked);
  }
  Status OpenFolderOf(const std::string& path, std::unique_ptr<Folder>* folder,
                      std::string* name) override {
    deadline_.Subject(path);
    const Deadline::Scope scope(deadline_, Step::kOpenFolder);
    if (!scope.late().ok()) return scope.late();
    std::unique_ptr<Folder> opened;
    Status status = inner_->OpenFolderOf(path, &opened, name);
    if (!status.ok()) return status;
    deadline_.Subject(JoinPath(opened->path(), *name));
    *folder = std::make_unique<DeadlineFolder>(deadline_, std::move(opened));
    return status;
  }
  char* AllocateHold(std::size_t size) override { return inner_->AllocateHold(size); }
  void FreeHold(char* data, std::size_t size) override { inner_->FreeHold(data, size); }
  void Sleep(int milliseconds) override { inner_->Sleep(milliseconds); }

 private:
  const std::unique_ptr<FileSystem> inner_;
  Deadline deadline_;
};

}  // namespace

std::unique_ptr<FileSystem> WithDeadline(std::unique_ptr<FileSystem> inner,
                                         std::unique_ptr<Worker> worker, int limit_ms,
                                         int grace_ms) {
  return std::make_unique<DeadlineFileSystem>(std::move(inner), std::move(worker), limit_ms,
                                              grace_ms);
}

}  // namespace hosts
