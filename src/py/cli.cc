#include "py/cli.h"

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/cli_args.h"
#include "py/args.h"
#include "py/errors.h"
#include "py/tracer.h"

namespace morvex::py {
namespace {

using app::CliMessage;
using app::RunArgs;

// argv as bytes in the file-system encoding: arguments the operating system
// gave as undecodable bytes reach the traced program exactly as they came.
std::optional<std::vector<std::string>> argument_strings(PyObject* argv) {
  // A str is a sequence too, of one-letter strings: never what was meant.
  if (PyUnicode_Check(argv)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(argv)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'Sequence'",
                 Py_TYPE(argv)->tp_name);
    return std::nullopt;
  }
  // A snapshot, so that another thread changing the list cannot matter.
  PyRef items = PyRef::steal(PySequence_Tuple(argv));
  if (!items) return std::nullopt;
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(PyTuple_GET_SIZE(items.get())));
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyString'",
                   Py_TYPE(item)->tp_name);
      return std::nullopt;
    }
    PyRef bytes = PyRef::steal(PyUnicode_EncodeFSDefault(item));
    if (!bytes) return std::nullopt;
    out.emplace_back(PyBytes_AS_STRING(bytes.get()),
                     static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
  }
  return out;
}

PyRef argument_object(const std::string& arg) {
  return PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(arg.data(), Py_ssize_t(arg.size())));
}

// Help goes to sys.stdout, errors to sys.stderr. Printing is best effort: a
// closed stream must not turn help into an exception.
void print_message(const CliMessage& message) {
  PyRef stream = import_attr("sys", message.requested ? "stdout" : "stderr");
  if (stream && stream.get() != Py_None) {
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.text.data(), Py_ssize_t(message.text.size()), "replace"));
    PyRef written =
        text ? PyRef::steal(PyObject_CallMethod(stream.get(), "write", "O", text.get())) : PyRef();
    PyRef flushed =
        written ? PyRef::steal(PyObject_CallMethod(stream.get(), "flush", nullptr)) : PyRef();
  }
  PyErr_Clear();
}

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

PyObject* run(const RunArgs& a) {
  PyRef tracer = new_tracer(a.output, a.format.name(), nullptr);
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
  if (!tracer_enter(tracer.get())) return undo_and_fail(changes);

  PyRef ran = run_target(runpy.get(), target_obj.get(), module_mode);
  PyRef run_error = ran ? PyRef() : PyRef::steal(PyErr_GetRaisedException());
  PyRef exited = tracer_exit(tracer.get());
  PyRef exit_error = exited ? PyRef() : PyRef::steal(PyErr_GetRaisedException());
  if (!changes.undo()) {
    return raise_with_context(PyRef::steal(PyErr_GetRaisedException()),
                              exit_error ? std::move(exit_error) : std::move(run_error));
  }
  // A trace that could not be finished outranks what the program raised:
  // otherwise a program ending in sys.exit(0) would report success over a
  // broken trace. The program's exception stays visible as the context.
  if (exit_error) return raise_with_context(std::move(exit_error), std::move(run_error));
  if (run_error) {
    PyErr_SetRaisedException(run_error.release());
    return nullptr;
  }
  return PyLong_FromLong(0);
}

}  // namespace

PyObject* cli_main(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"argv"};
    PyObject* argv;
    if (!bind_arguments({"cli_main", names, 1, 1}, args, nargs, kwnames, &argv)) return nullptr;
    std::optional<std::vector<std::string>> strings = argument_strings(argv);
    if (!strings) return nullptr;
    std::variant<RunArgs, CliMessage> parsed = app::parse_command_line(*strings);
    if (const auto* message = std::get_if<CliMessage>(&parsed)) {
      print_message(*message);
      return PyLong_FromLong(message->exit_code());
    }
    return run(std::get<RunArgs>(parsed));
  });
}

}  // namespace morvex::py
