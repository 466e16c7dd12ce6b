// Where renderers put their bytes: a string, or an output file that appears
// under its name only once it is complete.
//
// OutputFile writes to a temporary file next to the target (so the final
// rename stays on one file system) and renames it over the target in
// commit(). A conversion that fails part way, or is never committed, leaves
// no partial output and no temporary file behind. A symbolic link stays a
// link: the file it points to is the one replaced, keeping its permissions.
// A target that is not a regular file (/dev/null, a FIFO, a terminal) cannot
// be replaced, and renaming over it would destroy it: the bytes go straight
// into it instead. A signal that ends the process at once cannot run the
// destructor: its handler calls remove_temporary_files() first.
//
// Threads: one thread at a time; remove_temporary_files() on any.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/ioerror.h"
#include "reader/stop.h"

namespace morvex::reader {

class Sink {
 public:
  virtual ~Sink() = default;
  // Never fails here; a file reports its first error at commit().
  virtual void write(std::string_view bytes) = 0;
  // Says that about `bytes` more are coming: a file fails now, before
  // writing them, when its file system has not that much room left.
  virtual core::Status expect(uint64_t bytes) {
    (void)bytes;
    return {};
  }
};

class StringSink final : public Sink {
 public:
  void write(std::string_view bytes) override { text.append(bytes); }
  std::string text;
};

class OutputFile final : public Sink {
 public:
  // Errors read "cannot write PATH: REASON". `stop` is asked when a signal
  // interrupts the open (of a FIFO, which waits for a reader) and before
  // each write; true fails the file with EINTR's error.
  static core::Result<OutputFile> create(const std::string& path, StopCheck stop = {});

  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  OutputFile(const OutputFile&) = delete;
  ~OutputFile();

  void write(std::string_view bytes) override;
  // Errors read "cannot write PATH: it would take 3.64 TiB, and its file
  // system has 12.0 GiB free". Only a file that replaces its target is
  // checked: a device or FIFO takes what comes.
  core::Status expect(uint64_t bytes) override;
  // Writes what is buffered, closes the file and gives it its name.
  core::Status commit();

  // A directory for scratch files of the same conversion: the target's own,
  // or the temporary directory when the target is not a regular file.
  const std::string& scratch_dir() const { return scratch_dir_; }

 private:
  OutputFile(std::string path, std::string target, std::string temp, std::string scratch_dir,
             int fd, StopCheck stop, int slot);
  void flush();
  core::IoError error(int code) const;

  std::string path_;    // as given, for messages
  std::string target_;  // the file temp_ replaces: path_, or where its link points
  std::string temp_;    // empty: writing straight into path_
  std::string scratch_dir_;
  int fd_ = -1;
  int errno_ = 0;  // first write error
  std::string buffer_;
  StopCheck stop_;
  int slot_ = -1;  // temp_'s entry for remove_temporary_files(), if it has one
};

// Unlinks the temporary file of every OutputFile not yet committed or
// destroyed, for the handler of a signal that is about to end the process.
// Async-signal-safe.
void remove_temporary_files();

}  // namespace morvex::reader
