// `morvex run`: a script or a module under a Tracer, as `python` would run
// it: sys.argv and sys.path as the program expects them, the program's own
// exceptions and exit status passed on, and non-daemon threads waited for
// before the trace is finished, as the interpreter waits for them.
#include <string>
#include <vector>

#include "py/cli_internal.h"
#include "py/errors.h"
#include "py/loss_report.h"
#include "py/options.h"
#include "py/tracer.h"

namespace morvex::py {
namespace {

using app::RunArgs;

PyRef argument_object(const std::string& arg) { return fs_text(arg); }

// Raises `exc` (stolen) with `context` (stolen, may be null) as its
// __context__, as Python does for an exception raised while another one was
// being handled.
PyObject* raise_with_context(PyRef exc, PyRef context) {
  if (context) PyException_SetContext(exc.get(), context.release());
  PyErr_SetRaisedException(exc.release());
  return nullptr;
}

PyRef run_target(PyObject* runpy, PyObject* target, bool module_mode) {
  if (!module_mode) {
    return PyRef::steal(PyObject_CallMethod(runpy, "run_path", "OOs", target, Py_None, "__main__"));
  }
  PyRef kwargs = PyRef::steal(PyDict_New());
  PyRef run_name = PyRef::steal(PyUnicode_FromString("__main__"));
  if (!kwargs || !run_name || PyDict_SetItemString(kwargs.get(), "run_name", run_name.get()) != 0 ||
      PyDict_SetItemString(kwargs.get(), "alter_sys", Py_True) != 0)
    return {};
  PyRef run_module = PyRef::steal(PyObject_GetAttrString(runpy, "run_module"));
  PyRef args = PyRef::steal(PyTuple_Pack(1, target));
  if (!run_module || !args) return {};
  return PyRef::steal(PyObject_Call(run_module.get(), args.get(), kwargs.get()));
}

// The directory that `python script.py` or `python -m` puts first on
// sys.path, so that the target finds its sibling modules as it would there:
// the script's own directory (symlinks resolved), or the working directory.
// None for a directory target, which runpy puts first itself.
PyRef search_dir(PyObject* target, bool module_mode) {
  PyRef os = PyRef::steal(PyImport_ImportModule("os"));
  if (!os) return {};
  if (module_mode) {
    PyRef cwd = PyRef::steal(PyObject_CallMethod(os.get(), "getcwd", nullptr));
    // A working directory that no longer exists has nothing to import from.
    if (!cwd && PyErr_ExceptionMatches(PyExc_OSError)) {
      PyErr_Clear();
      return PyRef::borrow(Py_None);
    }
    return cwd;
  }
  PyRef path = PyRef::steal(PyObject_GetAttrString(os.get(), "path"));
  PyRef is_dir =
      path ? PyRef::steal(PyObject_CallMethod(path.get(), "isdir", "O", target)) : PyRef();
  if (!is_dir) return {};
  if (is_dir.get() == Py_True) return PyRef::borrow(Py_None);
  PyRef real = PyRef::steal(PyObject_CallMethod(path.get(), "realpath", "O", target));
  return real ? PyRef::steal(PyObject_CallMethod(path.get(), "dirname", "O", real.get())) : PyRef();
}

// What a run changed in sys and has to put back: the caller's sys.argv
// object, and the sys.path entry it added.
class SysChanges {
 public:
  explicit SysChanges(PyRef sys) : sys_(std::move(sys)) {}

  bool replace_argv(PyObject* argv) {
    saved_argv_ = PyRef::steal(PyObject_GetAttrString(sys_.get(), "argv"));
    if (!saved_argv_) return false;
    if (PyObject_SetAttrString(sys_.get(), "argv", argv) != 0) {
      saved_argv_.reset();
      return false;
    }
    return true;
  }

  bool prepend_path(PyRef dir) {
    if (dir.get() == Py_None) return true;
    PyRef path = PyRef::steal(PyObject_GetAttrString(sys_.get(), "path"));
    if (!path) return false;
    if (!PyList_Check(path.get())) return true;
    if (PyList_Insert(path.get(), 0, dir.get()) != 0) return false;
    added_dir_ = std::move(dir);
    return true;
  }

  // Puts everything back; a failure leaves its exception set (the first
  // one, if both fail).
  bool undo() {
    PyRef failure;
    if (added_dir_ && !remove_added_dir()) failure = PyRef::steal(PyErr_GetRaisedException());
    if (saved_argv_ && PyObject_SetAttrString(sys_.get(), "argv", saved_argv_.get()) != 0) {
      PyRef e = PyRef::steal(PyErr_GetRaisedException());
      if (!failure) failure = std::move(e);
    }
    saved_argv_.reset();
    if (!failure) return true;
    PyErr_SetRaisedException(failure.release());
    return false;
  }

 private:
  // Removes the very object added, wherever the program left it.
  bool remove_added_dir() {
    PyRef dir = std::move(added_dir_);
    PyRef path = PyRef::steal(PyObject_GetAttrString(sys_.get(), "path"));
    if (!path) return false;
    if (!PyList_Check(path.get())) return true;
    // New references item by item: threads the program left running may
    // still be changing the list.
    for (Py_ssize_t i = 0;; ++i) {
      PyRef item = PyRef::steal(PySequence_GetItem(path.get(), i));
      if (!item) {
        if (!PyErr_ExceptionMatches(PyExc_IndexError)) return false;
        PyErr_Clear();
        return true;
      }
      if (item.get() == dir.get()) return PySequence_DelItem(path.get(), i) == 0;
    }
  }

  PyRef sys_;
  PyRef saved_argv_;
  PyRef added_dir_;
};

// Undoes `changes` after a start that failed, keeping the pending exception.
PyObject* undo_and_fail(SysChanges& changes) {
  PyRef failure = PyRef::steal(PyErr_GetRaisedException());
  if (!changes.undo()) {
    return raise_with_context(PyRef::steal(PyErr_GetRaisedException()), std::move(failure));
  }
  PyErr_SetRaisedException(failure.release());
  return nullptr;
}

// A process started by a traced program joins that trace at start-up
// (morvex._child). Asked to trace into a file of its own, it leaves that
// trace first: the profiler slot has one holder.
void leave_inherited_trace() {
  PyObject* modules = PyImport_GetModuleDict();                      // borrowed
  PyObject* child = PyDict_GetItemString(modules, "morvex._child");  // borrowed
  if (child == nullptr) return;
  PyRef r = PyRef::steal(PyObject_CallMethod(child, "_stop", nullptr));
  if (!r) PyErr_Clear();
}

// threading._shutdown once the wait was interrupted: it raises the
// interruption (held in `self`, a list) the first time the interpreter calls
// it, and does nothing after that.
PyObject* interrupted_wait(PyObject* self, PyObject*) {
  Py_ssize_t n = PyList_GET_SIZE(self);
  if (n == 0) Py_RETURN_NONE;
  PyRef exc = PyRef::borrow(PyList_GET_ITEM(self, n - 1));
  if (PyList_SetSlice(self, 0, n, nullptr) != 0) return nullptr;
  PyErr_SetRaisedException(exc.release());
  return nullptr;
}

PyMethodDef INTERRUPTED_WAIT = {"_shutdown", interrupted_wait, METH_NOARGS, nullptr};

// What the interpreter does before it shuts down, done now, while the trace
// runs: threading._shutdown waits for the threads that are not daemons (and
// those they start meanwhile), whose events belong in the trace; the
// interpreter's own later call then finds it done. An interruption (Ctrl-C)
// shuts the wait short, as under python, and is handed to that later call,
// so the interpreter reports it in its own words and, having seen its wait
// fail, waits no more (3.15 would otherwise wait again). This thread's part
// of it is the interpreter's, not the program's, and is not traced.
void wait_for_threads() {
  PyThreadState* ts = PyThreadState_Get();
  PyThreadState_EnterTracing(ts);
  PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
  PyRef done = threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "_shutdown", nullptr))
                         : PyRef();
  PyThreadState_LeaveTracing(ts);
  if (done) return;
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  PyRef held = PyRef::steal(PyList_New(0));
  PyRef replacement = held ? PyRef::steal(PyCFunction_New(&INTERRUPTED_WAIT, held.get())) : PyRef();
  if (threading && exc && replacement && PyList_Append(held.get(), exc.get()) == 0 &&
      PyObject_SetAttrString(threading.get(), "_shutdown", replacement.get()) == 0)
    return;
  if (!exc) return;
  PyErr_SetRaisedException(exc.release());  // reported here, then, as a last resort
  PyErr_WriteUnraisable(threading.get());
}

// Whether `exc` came from runpy before any of the program's code ran (a
// script that cannot be read, a directory without __main__.py, a module that
// cannot be found): every frame of its traceback is runpy's. That is the
// command's failure, not the program's.
bool raised_before_the_program(PyObject* exc, PyObject* runpy) {
  if (!PyErr_GivenExceptionMatches(exc, PyExc_ImportError) &&
      !PyErr_GivenExceptionMatches(exc, PyExc_OSError))
    return false;
  PyObject* runpy_globals = PyModule_GetDict(runpy);  // borrowed
  PyRef tb = PyRef::steal(PyException_GetTraceback(exc));
  for (PyObject* t = tb.get(); t != nullptr && t != Py_None;
       t = reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(t)->tb_next)) {
    PyFrameObject* frame = reinterpret_cast<PyTracebackObject*>(t)->tb_frame;
    PyRef globals = PyRef::steal(PyFrame_GetGlobals(frame));
    if (globals.get() != runpy_globals) return false;
  }
  return true;
}

// The program's exception as python would print it at exit (a SystemExit
// says what it carries); the trace's failure is what decides the status.
void show_program_error(PyObject* exc) {
  KeptException keep;
  if (PyErr_GivenExceptionMatches(exc, PyExc_SystemExit)) {
    PyRef code = PyRef::steal(PyObject_GetAttrString(exc, "code"));
    if (code && code.get() != Py_None && !PyLong_Check(code.get())) {
      PyRef text = PyRef::steal(PyObject_Str(code.get()));
      Py_ssize_t n = 0;
      const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
      if (s != nullptr) write_text("stderr", std::string(s, size_t(n)) + "\n");
    }
  } else {
    PyRef print = import_attr("traceback", "print_exception");
    PyRef r = print ? PyRef::steal(PyObject_CallOneArg(print.get(), exc)) : PyRef();
  }
  PyErr_Clear();
}

}  // namespace

PyObject* run(const RunArgs& a, const OwnErrors& errors) {
  PyRef tracer = new_tracer(a.output, a.format, a.options);
  if (!tracer) return nullptr;

  const bool module_mode = !a.script.has_value();
  const std::string& target = module_mode ? a.module.front() : *a.script;
  std::vector<std::string> forwarded =
      module_mode ? std::vector<std::string>(a.module.begin() + 1, a.module.end()) : a.script_args;

  PyRef target_obj = argument_object(target);
  PyRef new_argv = PyRef::steal(PyList_New(Py_ssize_t(1 + forwarded.size())));
  if (!target_obj || !new_argv) return nullptr;
  PyList_SET_ITEM(new_argv.get(), 0, target_obj.new_ref().release());
  for (size_t i = 0; i < forwarded.size(); ++i) {
    PyRef arg = argument_object(forwarded[i]);
    if (!arg) return nullptr;
    PyList_SET_ITEM(new_argv.get(), Py_ssize_t(i + 1), arg.release());
  }
  PyRef dir = search_dir(target_obj.get(), module_mode);
  PyRef sys = PyRef::steal(PyImport_ImportModule("sys"));
  if (!dir || !sys) return nullptr;

  SysChanges changes(std::move(sys));
  if (!changes.replace_argv(new_argv.get())) return nullptr;
  if (!changes.prepend_path(std::move(dir))) return undo_and_fail(changes);
  PyRef runpy = PyRef::steal(PyImport_ImportModule("runpy"));
  if (!runpy) return undo_and_fail(changes);
  leave_inherited_trace();
  if (!tracer_enter(tracer.get())) {
    undo_and_fail(changes);
    bool cannot_open = PyErr_ExceptionMatches(PyExc_OSError);
    return errors.fail(cannot_open ? "cannot open trace file '" + a.output + "'"
                                   : "cannot start tracing",
                       cannot_open);
  }
  RunTally tally;
  tally.publish();

  PyRef ran = run_target(runpy.get(), target_obj.get(), module_mode);
  PyRef run_error = ran ? PyRef() : PyRef::steal(PyErr_GetRaisedException());
  // Whether the program ended or raised, the interpreter would wait now.
  wait_for_threads();
  PyRef exited = tracer_exit(tracer.get(), run_error && PyErr_GivenExceptionMatches(
                                                          run_error.get(), PyExc_KeyboardInterrupt));
  PyRef exit_error = exited ? PyRef() : PyRef::steal(PyErr_GetRaisedException());
  // Whatever else the end says, and however it ends.
  tally.report(tracer.get(), a.output, a.options.lossless);
  if (!changes.undo()) {
    return raise_with_context(PyRef::steal(PyErr_GetRaisedException()),
                              exit_error ? std::move(exit_error) : std::move(run_error));
  }
  // A trace that could not be finished outranks what the program raised:
  // otherwise a program ending in sys.exit(0) would report success over a
  // broken trace. The program's exception stays visible.
  // Ctrl-C while the trace was being finished: the stop said what became of
  // the trace; the program ends as interrupted, with its own interruption
  // if it had one.
  if (exit_error && PyErr_GivenExceptionMatches(exit_error.get(), PyExc_KeyboardInterrupt)) {
    const bool program_interrupted =
        run_error && PyErr_GivenExceptionMatches(run_error.get(), PyExc_KeyboardInterrupt);
    PyErr_SetRaisedException(program_interrupted ? run_error.release() : exit_error.release());
    return nullptr;
  }
  if (exit_error) {
    if (errors.as_lines()) {
      if (run_error) show_program_error(run_error.get());
      PyErr_SetRaisedException(exit_error.release());
      return errors.fail("the trace could not be finished");
    }
    return raise_with_context(std::move(exit_error), std::move(run_error));
  }
  // However the program ended, the trace it asked to see is shown.
  PyRef served;
  if (a.open) {
    served = PyRef::steal(serve_trace(fs_text(a.output).get(), app::kPerfettoPort, true, errors));
    if (!served && !run_error) return nullptr;
  }
  if (run_error) {
    bool command_failed =
        errors.as_lines() && raised_before_the_program(run_error.get(), runpy.get());
    PyErr_SetRaisedException(run_error.release());
    if (command_failed) return errors.fail(module_mode ? "cannot run module" : "cannot run script");
    return nullptr;
  }
  return served ? served.release() : PyLong_FromLong(0);
}

}  // namespace morvex::py
