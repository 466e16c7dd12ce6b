// Stopping a long read or write part way, as Ctrl-C asks: the work calls a
// StopCheck between chunks, and a true answer ends it with EINTR's error,
// leaving no output file (sink.h).
//
// Threads: called on the thread doing the work.
#pragma once

#include <functional>

namespace morvex::reader {

using StopCheck = std::function<bool()>;

}  // namespace morvex::reader
