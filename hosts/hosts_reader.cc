// Reads the hosts file once (see hosts_reader.h).

#include "hosts/hosts_reader.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "hosts/hosts_text.h"

namespace hosts {
namespace {

// How much of the hosts file is read at a time.
constexpr std::size_t kReadSize = std::size_t{1} << 20;

constexpr char kUtf16Message[] =
    "the file is UTF-16 text, which this tool does not edit; it was left as it is";

}  // namespace

HostsReader::HostsReader(FileSystem& fs, HeldFile* source, std::uint64_t size, Step step)
    : fs_(fs), source_(source), step_(step), at_end_(source == nullptr), size_(size) {}

HostsReader::~HostsReader() { fs_.FreeHold(buffer_, capacity_); }

Status HostsReader::Next() {
  // Until a line feed comes in with the new bytes: whoever reads on from
  // here looks at what is held from its last unfinished line on, so a line
  // that takes many reads is looked at once, when it is whole.
  bool line_ended = false;
  while (!at_end_ && !line_ended) {
    const std::size_t from = filled_;
    if (Status status = ReadMore(); !status.ok()) return status.In(StepName(step_));
    line_ended = std::memchr(buffer_ + from, '\n', filled_ - from) != nullptr;
    if (!encoding_checked_ && (filled_ >= 2 || at_end_)) {
      if (IsUtf16Text(text())) return Status::Failed(kUtf16Message);
      encoding_checked_ = true;
    }
  }
  return Status();
}

Status HostsReader::ReadToEnd() {
  Status status;
  while (status.ok() && !at_end_) status = Next();
  return status;
}

Status HostsReader::ReadMore() {
  if (filled_ == capacity_) {
    // One byte more than the size, so that the end shows as a read of
    // nothing; more only if the file grew meanwhile.
    const std::uint64_t want =
        capacity_ == 0 ? size_ + 1 : capacity_ + std::max(capacity_ / 2, kReadSize);
    if (Status status = Grow(want); !status.ok()) return status;
  }
  std::size_t got = 0;
  Status status = source_->Read(buffer_ + filled_, std::min(kReadSize, capacity_ - filled_), &got);
  if (!status.ok()) return status;
  at_end_ = got == 0;
  filled_ += got;
  return Status();
}

void HostsReader::Drop(std::size_t used) {
  if (used == 0) return;
  std::memmove(buffer_, buffer_ + used, filled_ - used);
  filled_ -= used;
}

void HostsReader::Release() {
  fs_.FreeHold(buffer_, capacity_);
  buffer_ = nullptr;
  capacity_ = filled_ = 0;
  at_end_ = true;
}

Status HostsReader::Grow(std::uint64_t capacity) {
  const std::size_t size = static_cast<std::size_t>(capacity);
  char* grown = size == capacity ? fs_.AllocateHold(size) : nullptr;
  if (grown == nullptr) {
    return Status::Failed("not enough memory to hold " + std::to_string(capacity) + " bytes");
  }
  if (filled_ > 0) std::memcpy(grown, buffer_, filled_);
  fs_.FreeHold(buffer_, capacity_);
  buffer_ = grown;
  capacity_ = size;
  return Status();
}

}  // namespace hosts
