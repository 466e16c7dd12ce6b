// The keyword-only options of Tracer (include, exclude, max_depth,
// min_duration, lossless, ..., async_tasks) checked into a RunOptions before anything is
// touched, and that value passed on to the processes a run starts.
#pragma once

#include <optional>

#include "core/filters.h"
#include "core/run_options.h"
#include "py/pyref.h"

namespace morvex::py {

using core::RunOptions;

// The options from their Python values (each null when not given). Raises
// TypeError or ValueError naming the option and the value that is wrong.
std::optional<RunOptions> parse_options(PyObject* include, PyObject* exclude, PyObject* max_depth,
                                        PyObject* min_duration, PyObject* lossless,
                                        PyObject* spool, PyObject* compress,
                                        PyObject* c_calls, PyObject* async_tasks);

// The text of MORVEX_CHILD_OPTIONS: Tracer's keyword arguments as a JSON
// object holding only those that differ from the defaults; null with an
// exception set.
PyRef options_text(const RunOptions& options);

// Where this interpreter keeps its standard library and installed packages,
// read once per run (Python calls; never fails, at worst it knows less).
core::CodePlaces code_places();

}  // namespace morvex::py
