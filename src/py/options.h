// What a run records beyond the defaults: the keyword-only options of
// Tracer (include, exclude, max_depth, min_duration, lossless), checked
// before anything is touched, and passed on to the processes a run starts.
#pragma once

#include <optional>

#include "core/filters.h"
#include "py/pyref.h"

namespace morvex::py {

struct RunOptions {
  core::FilterSettings filters;
  bool lossless = false;

  bool any() const { return filters.any() || lossless; }
};

// The options from their Python values (each null when not given). Raises
// TypeError or ValueError naming the option and the value that is wrong.
std::optional<RunOptions> parse_options(PyObject* include, PyObject* exclude, PyObject* max_depth,
                                        PyObject* min_duration, PyObject* lossless);

// The options as Tracer's keyword arguments (a dict holding only those that
// differ from the defaults), or null with an exception set.
PyRef options_dict(const RunOptions& options);

// The same as the text of MORVEX_CHILD_OPTIONS: JSON.
PyRef options_text(const RunOptions& options);

// Where this interpreter keeps its standard library and installed packages,
// read once per run (Python calls; never fails, at worst it knows less).
core::CodePlaces code_places();

}  // namespace morvex::py
