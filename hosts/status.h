// How an operation on the file system ended, carried from the platform layer
// up to the one line the tool prints.

#ifndef HOSTS_STATUS_H_
#define HOSTS_STATUS_H_

#include <string>
#include <utility>

namespace hosts {

enum class Code {
  kOk,
  kNotFound,     // there is no such file
  kExists,       // the name is taken, or its file is still being deleted
  kBusy,         // another program holds the file, or the lock, right now
  kHeldHere,     // the system cannot do this while this process has the file open
  kInPlaceOnly,  // no twin of the file can be made beside it, or its name takes no
                 // replacement: only a rewrite in place can change it
  kChanged,      // the file changed since it was read; nothing was written
  kFailed,       // anything else
};

// A code and, when it is not kOk, what went wrong: the system's reason, with
// the steps that led to it in front ("replace: Access is denied (error 5)").
class Status {
 public:
  Status() = default;
  Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}
  static Status Failed(std::string message) { return Status(Code::kFailed, std::move(message)); }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }

  // Puts the step that failed in front of the reason.
  Status& In(const std::string& step) {
    message_ = message_.empty() ? step : step + ": " + message_;
    return *this;
  }
  // Adds what else happened after the failure.
  Status& Also(const std::string& note) {
    message_ += "; " + note;
    return *this;
  }

 private:
  Code code_ = Code::kOk;
  std::string message_;
};

}  // namespace hosts

#endif  // HOSTS_STATUS_H_
