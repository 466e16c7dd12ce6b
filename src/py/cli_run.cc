// `morvex run`: a script or a module under a Tracer, as `python` would run
// it: sys.argv and sys.path as the program expects them, the program's own
// exceptions and exit status passed on, and non-daemon threads waited for
// before the trace is finished, as the interpreter waits for them.
//
// runpy's part (finding the module, reading the script, building the
// `__main__` namespace) is done by morvex._launch before the trace starts;
// the trace then starts around the program's code object alone, so its
// `<module>` is the first slice (and depth 1 for --max-depth) and the first
// frame of its tracebacks, as under `python script.py`.
#include <optional>
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

// morvex._launch's `name`, called with the target and whether it is a module.
PyRef call_launch(PyObject* launch, const char* name, PyObject* target, bool module_mode) {
  return PyRef::steal(
      PyObject_CallMethod(launch, name, "OO", target, module_mode ? Py_True : Py_False));
}

// What a run changed in sys and has to put back: the caller's sys.argv
// object, the sys.path entry it added, sys.modules['__main__'] and the
// first item of the program's argv list (as runpy puts them back).
class SysChanges {
 public:
  explicit SysChanges(PyRef sys)
      : sys_(std::move(sys)), key_(PyRef::steal(PyUnicode_InternFromString(MAIN))) {}

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

  // The program's own `__main__` module in sys.modules, and `argv0` as the
  // first item of `argv` (the list replace_argv installed), while it runs.
  bool enter_main(PyObject* module, PyObject* argv, PyObject* argv0) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (!key_) return false;
    PyObject* old = PyDict_GetItemWithError(modules, key_.get());  // borrowed
    if (old == nullptr && PyErr_Occurred()) return false;
    saved_main_ = old ? PyRef::borrow(old) : PyRef();
    main_replaced_ = true;
    if (PyDict_SetItemString(modules, MAIN, module) != 0) return false;
    PyRef first = PyRef::steal(PySequence_GetItem(argv, 0));
    if (!first || PySequence_SetItem(argv, 0, argv0) != 0) return false;
    argv_ = PyRef::borrow(argv);
    saved_argv0_ = std::move(first);
    return true;
  }

  // Puts everything back; a failure leaves its exception set (the first
  // one, if several fail).
  bool undo() {
    PyRef failure;
    auto keep = [&failure] {
      PyRef e = PyRef::steal(PyErr_GetRaisedException());
      if (!failure) failure = std::move(e);
    };
    if (saved_argv0_ && PySequence_SetItem(argv_.get(), 0, saved_argv0_.get()) != 0) keep();
    saved_argv0_.reset();
    argv_.reset();
    if (main_replaced_ && !restore_main()) keep();
    main_replaced_ = false;
    if (added_dir_ && !remove_added_dir()) keep();
    if (saved_argv_ && PyObject_SetAttrString(sys_.get(), "argv", saved_argv_.get()) != 0) keep();
    saved_argv_.reset();
    if (!failure) return true;
    PyErr_SetRaisedException(failure.release());
    return false;
  }

 private:
  static constexpr const char* MAIN = "__main__";

  bool restore_main() {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (saved_main_) {
      PyRef main = std::move(saved_main_);
      return PyDict_SetItemString(modules, MAIN, main.get()) == 0;
    }
    if (PyDict_DelItemString(modules, MAIN) == 0) return true;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
    PyErr_Clear();
    return true;
  }

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
  PyRef key_;
  PyRef saved_argv_;
  PyRef added_dir_;
  bool main_replaced_ = false;
  PyRef saved_main_;
  PyRef argv_;
  PyRef saved_argv0_;
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

// A failure of the preparation (morvex._launch.prepare): the program's own
// when some of its code ran (a parent package of a -m module raised), its
// traceback then starting at the program's first frame; otherwise the
// command's (a script that cannot be read, a directory without
// __main__.py, a module that cannot be found). Answers whether it is the
// command's, or null (exception set) if that cannot be told.
std::optional<bool> claim_preparation_error(PyObject* launch, PyObject* exc) {
  PyRef tb = PyRef::steal(PyException_GetTraceback(exc));
  PyRef program_tb = PyRef::steal(
      PyObject_CallMethod(launch, "program_traceback", "O", tb ? tb.get() : Py_None));
  if (!program_tb) return std::nullopt;
  if (program_tb.get() != Py_None) {
    if (PyException_SetTraceback(exc, program_tb.get()) != 0) return std::nullopt;
    return false;
  }
  if (PyErr_GivenExceptionMatches(exc, PyExc_ImportError) ||
      PyErr_GivenExceptionMatches(exc, PyExc_OSError))
    return true;
  // A script that does not compile: python shows the error without a
  // traceback.
  if (PyException_SetTraceback(exc, Py_None) != 0) return std::nullopt;
  return false;
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

// morvex._launch.show_from_program for the program's exception, with the
// traceback it has now; best effort.
void show_from_program(PyObject* launch, PyObject* exc) {
  KeptException keep;
  PyRef tb = PyRef::steal(PyException_GetTraceback(exc));
  PyRef r = PyRef::steal(PyObject_CallMethod(launch, "show_from_program", "OO", exc,
                                             tb ? tb.get() : Py_None));
  PyErr_Clear();
}

}  // namespace

PyObject* run(const RunArgs& a, const OwnErrors& errors) {
  PyRef tracer = new_tracer(a.output, a.format, a.options);
  if (!tracer) return nullptr;
  // Before anything of the run is done: the parent's trace would see it.
  leave_inherited_trace();

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
  PyRef launch = PyRef::steal(PyImport_ImportModule("morvex._launch"));
  PyRef dir = launch ? call_launch(launch.get(), "search_dir", target_obj.get(), module_mode)
                     : PyRef();
  PyRef sys = PyRef::steal(PyImport_ImportModule("sys"));
  if (!dir || !sys) return nullptr;

  SysChanges changes(std::move(sys));
  if (!changes.replace_argv(new_argv.get())) return nullptr;
  if (!changes.prepend_path(std::move(dir))) return undo_and_fail(changes);
  // Everything runpy would do before the program's first line, untraced:
  // (code, module, argv0), or what stopped it.
  PyRef prepared = call_launch(launch.get(), "prepare", target_obj.get(), module_mode);
  PyRef run_error = prepared ? PyRef() : PyRef::steal(PyErr_GetRaisedException());
  PyObject* code = nullptr;  // borrowed from `prepared`
  PyObject* globals = nullptr;
  if (prepared) {
    PyObject* module = nullptr;
    PyObject* argv0 = nullptr;
    if (!PyArg_ParseTuple(prepared.get(), "OOO", &code, &module, &argv0) ||
        !(globals = PyModule_GetDict(module)) ||
        !changes.enter_main(module, new_argv.get(), argv0))
      return undo_and_fail(changes);
  }
  if (!tracer_enter(tracer.get())) {
    undo_and_fail(changes);
    bool cannot_open = PyErr_ExceptionMatches(PyExc_OSError);
    return errors.fail(cannot_open ? "cannot open trace file '" + a.output + "'"
                                   : "cannot start tracing",
                       cannot_open);
  }
  RunTally tally;
  tally.publish();

  // The only frame the trace sees begin here is the program's <module>.
  if (code != nullptr) {
    PyRef ran = PyRef::steal(PyEval_EvalCode(code, globals, globals));
    if (!ran) run_error = PyRef::steal(PyErr_GetRaisedException());
  }
  // Whether the program ended or raised, the interpreter would wait now.
  wait_for_threads();
  PyRef exited = tracer_exit(tracer.get(), run_error && PyErr_GivenExceptionMatches(
                                                          run_error.get(), PyExc_KeyboardInterrupt));
  PyRef exit_error = exited ? PyRef() : PyRef::steal(PyErr_GetRaisedException());
  // Whatever else the end says, and however it ends.
  tally.report(tracer.get(), a.output, a.options.lossless);
  bool command_failed = false;
  if (run_error && code == nullptr) {
    std::optional<bool> claimed = claim_preparation_error(launch.get(), run_error.get());
    if (!claimed) {
      // Cannot happen short of memory: shown as raised.
      PyErr_Clear();
    } else {
      command_failed = *claimed;
    }
  }
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
  // However the program ended, the trace it asked to see is shown, once: a
  // run ends by itself, as its caller expects.
  PyRef served;
  if (a.open) {
    served = PyRef::steal(
        serve_trace(fs_text(a.output).get(), app::kPerfettoPort, true, true, {}, errors));
    if (!served && !run_error) return nullptr;
  }
  if (run_error) {
    if (errors.as_lines() && command_failed) {
      PyErr_SetRaisedException(run_error.release());
      return errors.fail(module_mode ? "cannot run module" : "cannot run script");
    }
    // On its way to the interpreter's top level the exception passes the
    // command's own frames (the console script, morvex's entry point);
    // python shows it from the program's first frame.
    if (errors.as_lines() && !PyErr_GivenExceptionMatches(run_error.get(), PyExc_SystemExit))
      show_from_program(launch.get(), run_error.get());
    PyErr_SetRaisedException(run_error.release());
    return nullptr;
  }
  return served ? served.release() : PyLong_FromLong(0);
}

}  // namespace morvex::py
