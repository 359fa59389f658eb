// Reads the hosts file once: a megabyte at a time, into one buffer sized for
// the whole file, so that what was read while judging the rewrite is written
// from memory, never read again.

#ifndef HOSTS_HOSTS_READER_H_
#define HOSTS_HOSTS_READER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "hosts/file_system.h"
#include "hosts/steps.h"

namespace hosts {

// Every byte from the start stays in the buffer until Drop lets it go. Only
// what is used is touched, so a file whose first change is near its start
// costs little more than a megabyte of memory. A file that turns out to be
// UTF-16 text is refused as soon as its first two bytes are in.
class HostsReader {
 public:
  // `source` is nullptr for a file that is not there, which reads as empty;
  // `size` is what the file held when it was opened. A failure to read is
  // reported as a failure of `step`.
  HostsReader(FileSystem& fs, HeldFile* source, std::uint64_t size, Step step);
  HostsReader(const HostsReader&) = delete;
  HostsReader& operator=(const HostsReader&) = delete;
  ~HostsReader();

  // Reads what follows, up to where a line ends or the file does.
  Status Next();
  // Reads everything that is left.
  Status ReadToEnd();

  std::string_view text() const { return std::string_view(buffer_, filled_); }
  bool at_end() const { return at_end_; }

  // Drops the first `used` bytes held; what is read next goes after the rest.
  void Drop(std::size_t used);

  // Lets go of everything held; nothing more is read.
  void Release();

 private:
  Status ReadMore();
  Status Grow(std::uint64_t capacity);

  FileSystem& fs_;
  HeldFile* const source_;
  const Step step_;
  char* buffer_ = nullptr;  // from the file system's AllocateHold
  std::size_t capacity_ = 0;
  std::size_t filled_ = 0;
  bool at_end_;
  bool encoding_checked_ = false;
  const std::uint64_t size_;
};

}  // namespace hosts

#endif  // HOSTS_HOSTS_READER_H_
