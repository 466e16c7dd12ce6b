// Saying out loud what a `morvex run` lost: the tally its processes tell
// their counts to (app/loss_note.h), and the one line it ends with.
//
// Threads: everything here runs attached to the interpreter.
#pragma once

#include <sys/types.h>

#include <string>

#include "py/pyref.h"
#include "py/tracer.h"

namespace morvex::py {

// The tally file a child run tells its counts to: the variable `morvex run`
// exported, if there is one ("" otherwise).
std::string inherited_tally();

// Appends this process's line to the tally file, best effort: a tally that
// is gone (its run has ended) is not made again.
void tell_tally(const std::string& path, const FinishedRun& run);

// The tally of one `morvex run`, made after its tracer started and read
// once it stopped. Never fails the run: without a tally file the line
// counts the run's own process only.
class RunTally {
 public:
  RunTally();
  RunTally(const RunTally&) = delete;
  RunTally& operator=(const RunTally&) = delete;
  ~RunTally();

  // Makes the tally file and exports its path to the processes the run starts.
  void publish();
  // Adds up the tracer's own counts and those the other processes told,
  // removes the tally, and says on stderr what was lost, if anything was.
  // A forked child that returns through the run leaves all that to the
  // process that made the tally: it has told its counts as its run ended.
  void report(PyObject* tracer, const std::string& output, bool lossless);

 private:
  bool ours() const;

  std::string path_;
  const pid_t owner_;  // the run's own process
};

}  // namespace morvex::py
