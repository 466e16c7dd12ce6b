// Ctrl-C while a run is on, as the run's own waits need to see it.
//
// A thread of a lossless run that waits for room in its ring does so inside
// a monitoring callback, holding the interpreter: the interpreter's SIGINT
// handler still runs (it only marks the signal), but the Python-level
// handler, and so KeyboardInterrupt, waits for the eval loop, which waits for
// the callback. So while a run is on, a handler of ours runs first, counts
// the signal and hands it to the one it displaced; a waiting thread that sees
// the count move stops waiting, and the interpreter raises KeyboardInterrupt
// as soon as the callback returns.
//
// The wait does not release the interpreter: the callback holds a borrowed
// pointer to the run's state, which a stop on another thread could free
// meanwhile, and a stop's flush relies on no thread being inside the
// recording path while it holds the interpreter.
//
// A handler installed with signal.signal() during the run replaces ours (the
// waits then see no Ctrl-C, as before); SIG_IGN and SIG_DFL are left alone.
//
// Threads: watch/unwatch run on a thread holding the interpreter (a run's
// start and stop); lossless_pause on any recording thread.
#pragma once

#include <chrono>

namespace morvex::py {

// Puts our handler in front of SIGINT's, if it has a handler to run.
void watch_interrupts();
// Puts the displaced handler back if ours is still installed.
void unwatch_interrupts();

// The lossless waiters' pause (EventQueue::WaitHook): sleeps, or says that
// Ctrl-C came since the run began watching.
bool lossless_pause(std::chrono::microseconds pause);

}  // namespace morvex::py
