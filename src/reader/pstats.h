// `morvex convert` to pstats: the file cProfile's dump_stats writes and
// Python's pstats.Stats(path) loads, for snakeviz, gprof2dot and friends.
//
// It is Python's marshal serialisation of one dict
//   {(file, line, funcname): (cc, nc, tt, ct, callers)}
// with cc the primitive calls (not made inside a call of the same
// function), nc all calls, tt the self time and ct the total time in
// seconds (recursion counted once), and callers
//   {(file, line, funcname): (nc, cc, tt, ct)}
// in the order cProfile writes and pstats reads them (nc first), for the
// slices each caller began.
//
// Keys are the function's file, first line and qualified name from the
// trace, so functions of one name in different files, or at different
// lines, are entries of their own. Functions whose file the trace does not
// know (Perfetto traces written before they carried source locations) get
// file "~" and line 0, as cProfile gives built-ins; user spans
// become "[span] NAME" with file "~". Calls are starts, as in the report: a
// generator's resumes are not calls here, where cProfile counts each one
// (a generator run to its end once, yielding 10 values: 1 call here, 11 in
// cProfile); its times cover every slice either way. Names and files are valid
// UTF-8 (the model replaced invalid bytes).
//
// Threads: pure functions of the Trace.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "reader/model.h"

namespace morvex::reader {

// The pstats bytes of a trace read with callers (ReadOptions::callers);
// without them every callers dict is empty.
std::string render_pstats(const Trace& trace);

// The marshal encodings used above (format version 2 and later).
namespace marshal {
void put_dict_begin(std::string& out);  // then key, value, key, value...
void put_dict_end(std::string& out);
void put_tuple(std::string& out, size_t size);  // then `size` values
void put_str(std::string& out, std::string_view utf8);
void put_int(std::string& out, int64_t value);  // 'i', or 'l' beyond 32 bits
void put_float(std::string& out, double value);
}  // namespace marshal

}  // namespace morvex::reader
