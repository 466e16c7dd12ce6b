// Binding the arguments of a METH_FASTCALL | METH_KEYWORDS call to named
// parameters, with the interpreter's own TypeError messages.
#pragma once

#include <cstddef>
#include <span>

#include "py/pyref.h"

namespace morvex::py {

struct Parameters {
  const char* function;                // shown in messages, e.g. "__exit__"
  std::span<const char* const> names;  // every parameter, in order
  size_t required = 0;                 // the first `required` names must be given
  size_t positional = 0;               // how many may be given by position
};

// Fills `out` (one slot per parameter name) with borrowed references, null
// for an omitted optional parameter. False with TypeError set for too many
// positional arguments, an unknown or repeated keyword, or a missing one.
bool bind_arguments(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

}  // namespace morvex::py
