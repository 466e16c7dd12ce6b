// os._exit finishes the running trace first (exit_hook.cc says how).
//
// Threads: called attached to the interpreter.
#pragma once

namespace morvex::py {

// While a run is installed, os._exit finishes its trace before the process
// goes; unhooked when the run stops.
void hook_os_exit();
void unhook_os_exit();

}  // namespace morvex::py
