#include "py/annotate.h"

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "core/user_event.h"
#include "py/args.h"
#include "py/callbacks.h"
#include "py/errors.h"
#include "py/intern.h"

namespace morvex::py {

namespace {

using core::EventKind;
using core::UserValue;
using Words = std::vector<uint64_t>;

// Characters a name may have and still fit one event with no arguments
// whatever it encodes to: the length field and argument count take 3 bytes,
// and a lone surrogate's escape 6.
constexpr Py_ssize_t kNameAlwaysFits = (core::kMaxPayloadBytes - 3) / 6;

// ---- arguments --------------------------------------------------------------

std::optional<std::string> name_of(const char* what, PyObject* name) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "%s name must be a str, not %s", what, Py_TYPE(name)->tp_name);
    return std::nullopt;
  }
  std::optional<std::string> text = utf8_text(name);
  if (!text) PyErr_SetString(PyExc_ValueError, "name cannot be encoded");
  return text;
}

// One argument's value: str, int, float, bool or None. `text` keeps the
// bytes a Str value points at.
bool value_of(PyObject* key, PyObject* v, UserValue& out, std::string& text) {
  if (v == Py_None) {
    out = {UserValue::Type::None};
  } else if (PyBool_Check(v)) {
    out = {UserValue::Type::Bool, v == Py_True};
  } else if (PyLong_Check(v)) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow != 0) {
      if (PyRef k = shown(key))
        PyErr_Format(PyExc_OverflowError, "argument %U does not fit 64 bits", k.get());
      return false;
    }
    out = {UserValue::Type::Int, n};
  } else if (PyFloat_Check(v)) {
    out = {UserValue::Type::Double, 0, PyFloat_AS_DOUBLE(v)};
  } else if (PyUnicode_Check(v)) {
    std::optional<std::string> s = utf8_text(v);
    if (!s) return false;
    text = std::move(*s);
    out = {UserValue::Type::Str, 0, 0, text};
  } else {
    if (PyRef k = shown(key)) {
      PyErr_Format(PyExc_TypeError, "argument %U must be a str, int, float, bool or None, not %s",
                   k.get(), Py_TYPE(v)->tp_name);
    }
    return false;
  }
  return true;
}

// Name and keyword arguments as payload records; `shown_as` is the name as
// the caller gave it, for the message.
std::optional<Words> payload(const char* what, PyObject* shown_as, const std::string& name,
                             PyObject* const* values, PyObject* kwnames) {
  core::PayloadWriter w(name);
  Py_ssize_t n = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  std::string text;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    UserValue v;
    if (!value_of(key, values[i], v, text)) return std::nullopt;
    std::optional<std::string> k = utf8_text(key);
    if (!k) return std::nullopt;
    w.add(*k, v);
  }
  std::optional<Words> words = w.words();
  if (!words) {
    if (PyRef named = shown(shown_as)) {
      PyErr_Format(PyExc_ValueError,
                   "%s %U: its name and arguments take more than the %zu bytes one event carries",
                   what, named.get(), core::kMaxPayloadBytes);
    }
  }
  return words;
}

bool one_positional(const char* function, Py_ssize_t nargs) {
  if (nargs == 1) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument (the name) but %zd were given",
               function, nargs);
  return false;
}

// ---- Span ---------------------------------------------------------------------

// What a span holds is constructed in place once the object is allocated
// and destroyed in tp_dealloc.
struct SpanObject {
  struct Held {
    std::string name;
    Words begin;  // name and arguments
    Words end;    // the name
  };
  PyObject_HEAD Held held;
};

void enter_span(const SpanObject& s) {
  if (State* st = current_run()) record_user_event(*st, EventKind::SpanBegin, s.held.begin);
}

void exit_span(const SpanObject& s) {
  if (State* st = current_run()) record_user_event(*st, EventKind::SpanEnd, s.held.end);
}

PyObject* wrap(PyObject* span, PyObject* func);

PyObject* span_enter(PyObject* self, PyObject*) {
  enter_span(*reinterpret_cast<SpanObject*>(self));
  return Py_NewRef(self);
}

PyObject* span_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
  exit_span(*reinterpret_cast<SpanObject*>(self));
  Py_RETURN_FALSE;
}

PyObject* span_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* func = nullptr;
  if (!PyArg_UnpackTuple(args, "span", 1, 1, &func)) return nullptr;
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
    PyErr_SetString(PyExc_TypeError, "a span decorates a callable and takes nothing else");
    return nullptr;
  }
  return wrap(self, func);
}

PyObject* span_name(PyObject* self, void*) {
  const std::string& n = reinterpret_cast<SpanObject*>(self)->held.name;
  return PyUnicode_DecodeUTF8(n.data(), Py_ssize_t(n.size()), "replace");
}

PyObject* span_repr(PyObject* self) {
  PyRef name = PyRef::steal(span_name(self, nullptr));
  return name ? PyUnicode_FromFormat("<morvex.span %R>", name.get()) : nullptr;
}

void span_dealloc(PyObject* self) {
  reinterpret_cast<SpanObject*>(self)->held.~Held();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef SPAN_METHODS[] = {
    {"__enter__", as_pycfunction(span_enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_pycfunction(span_exit), METH_FASTCALL,
     "__exit__($self, *exc_info)\n--\n\nEnds the span; exceptions pass through."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef SPAN_GETSET[] = {
    {"name", span_name, nullptr, "The span's name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SPAN_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(span_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(span_call)},
    {Py_tp_repr, reinterpret_cast<void*>(span_repr)},
    {Py_tp_methods, SPAN_METHODS},
    {Py_tp_getset, SPAN_GETSET},
    {Py_tp_doc, const_cast<char*>("A stretch of time on the thread's track (morvex.span).")},
    {0, nullptr},
};

PyType_Spec SPAN_TYPE = {"morvex._core.Span", sizeof(SpanObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, SPAN_SLOTS};

PyObject* span_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&SPAN_TYPE);
  return type;
}

PyObject* new_span(std::string name, Words begin) {
  std::optional<Words> end = *core::PayloadWriter(name).words();
  PyObject* type = span_type();
  if (type == nullptr) return nullptr;
  auto* s = PyObject_New(SpanObject, reinterpret_cast<PyTypeObject*>(type));
  if (s == nullptr) return nullptr;
  // Moves only: nothing here can throw once the memory is there.
  new (&s->held) SpanObject::Held{std::move(name), std::move(begin), std::move(*end)};
  return reinterpret_cast<PyObject*>(s);
}

// ---- a function in a span -------------------------------------------------

struct SpanFunctionObject {
  PyObject_HEAD PyObject* span;  // a SpanObject
  PyObject* func;
  PyObject* dict;
  vectorcallfunc vectorcall;
};

PyObject* span_function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) {
  auto* f = reinterpret_cast<SpanFunctionObject*>(self);
  const SpanObject& s = *reinterpret_cast<SpanObject*>(f->span);
  enter_span(s);
  PyObject* result = PyObject_Vectorcall(f->func, args, nargsf, kwnames);
  {
    KeptException keep;  // the span ends whether the call raised or not
    exit_span(s);
  }
  return result;
}

// As a function in a class body: bound to the instance it is looked up on.
PyObject* span_function_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

// Everything else the instance lacks comes from the function inside, as
// functools.wraps would have copied it.
PyObject* span_function_getattro(PyObject* self, PyObject* name) {
  PyObject* found = PyObject_GenericGetAttr(self, name);
  if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
  PyErr_Clear();
  return PyObject_GetAttr(reinterpret_cast<SpanFunctionObject*>(self)->func, name);
}

// Attributes every object has from its type, which must be the function's.
PyObject* span_function_forward(PyObject* self, void* name) {
  return PyObject_GetAttrString(reinterpret_cast<SpanFunctionObject*>(self)->func,
                                static_cast<const char*>(name));
}

PyGetSetDef SPAN_FUNCTION_GETSET[] = {
    {"__doc__", span_function_forward, nullptr, nullptr, const_cast<char*>("__doc__")},
    {"__module__", span_function_forward, nullptr, nullptr, const_cast<char*>("__module__")},
    {"__name__", span_function_forward, nullptr, nullptr, const_cast<char*>("__name__")},
    {"__qualname__", span_function_forward, nullptr, nullptr, const_cast<char*>("__qualname__")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* span_function_repr(PyObject* self) {
  auto* f = reinterpret_cast<SpanFunctionObject*>(self);
  PyRef name = PyRef::steal(span_name(f->span, nullptr));
  return name ? PyUnicode_FromFormat("<morvex.span %R of %R>", name.get(), f->func) : nullptr;
}

int span_function_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<SpanFunctionObject*>(self);
  Py_VISIT(f->span);
  Py_VISIT(f->func);
  Py_VISIT(f->dict);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int span_function_clear(PyObject* self) {
  auto* f = reinterpret_cast<SpanFunctionObject*>(self);
  Py_CLEAR(f->span);
  Py_CLEAR(f->func);
  Py_CLEAR(f->dict);
  return 0;
}

void span_function_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  span_function_clear(self);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef SPAN_FUNCTION_MEMBERS[] = {
    {"__wrapped__", Py_T_OBJECT_EX, offsetof(SpanFunctionObject, func), Py_READONLY,
     "The function the span is around."},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(SpanFunctionObject, dict), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(SpanFunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot SPAN_FUNCTION_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(span_function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(span_function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(span_function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(span_function_get)},
    {Py_tp_getattro, reinterpret_cast<void*>(span_function_getattro)},
    {Py_tp_repr, reinterpret_cast<void*>(span_function_repr)},
    {Py_tp_members, SPAN_FUNCTION_MEMBERS},
    {Py_tp_getset, SPAN_FUNCTION_GETSET},
    {0, nullptr},
};

PyType_Spec SPAN_FUNCTION_TYPE = {
    "morvex._core.SpanFunction", sizeof(SpanFunctionObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_METHOD_DESCRIPTOR,
    SPAN_FUNCTION_SLOTS};

PyObject* wrap(PyObject* span, PyObject* func) {
  if (!PyCallable_Check(func)) {
    PyErr_Format(PyExc_TypeError, "a span decorates a callable, not %s", Py_TYPE(func)->tp_name);
    return nullptr;
  }
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&SPAN_FUNCTION_TYPE);
  if (type == nullptr) return nullptr;
  auto* f = PyObject_GC_New(SpanFunctionObject, reinterpret_cast<PyTypeObject*>(type));
  if (f == nullptr) return nullptr;
  f->span = Py_NewRef(span);
  f->func = Py_NewRef(func);
  f->dict = nullptr;
  f->vectorcall = span_function_vectorcall;
  PyObject_GC_Track(f);
  return reinterpret_cast<PyObject*>(f);
}

}  // namespace

PyObject* span(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!one_positional("span", nargs)) return nullptr;
    PyObject* first = args[0];
    // Bare @morvex.span: the span is named after the function.
    if (!PyUnicode_Check(first) && PyCallable_Check(first) && kwnames == nullptr) {
      PyRef qualname = PyRef::steal(PyObject_GetAttrString(first, "__qualname__"));
      if (!qualname) {
        PyErr_Clear();
        qualname = PyRef::steal(PyObject_Repr(first));
      }
      if (!qualname) return nullptr;
      std::optional<std::string> name = name_of("span", qualname.get());
      if (!name) return nullptr;
      std::optional<Words> words = payload("span", qualname.get(), *name, args + 1, nullptr);
      if (!words) return nullptr;
      PyRef s = PyRef::steal(new_span(std::move(*name), std::move(*words)));
      return s ? wrap(s.get(), first) : nullptr;
    }
    std::optional<std::string> name = name_of("span", first);
    if (!name) return nullptr;
    std::optional<Words> words = payload("span", first, *name, args + 1, kwnames);
    if (!words) return nullptr;
    return new_span(std::move(*name), std::move(*words));
  });
}

PyObject* instant(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!one_positional("instant", nargs)) return nullptr;
    // Idle, and only a name short enough to fit whatever it encodes to: the
    // cheap way out, refusing nothing a trace would take.
    State* st = current_run();
    if (st == nullptr && kwnames == nullptr && PyUnicode_Check(args[0]) &&
        PyUnicode_GET_LENGTH(args[0]) <= kNameAlwaysFits)
      Py_RETURN_NONE;
    std::optional<std::string> name = name_of("instant", args[0]);
    if (!name) return nullptr;
    std::optional<Words> words = payload("instant", args[0], *name, args + 1, kwnames);
    if (!words) return nullptr;
    if (st != nullptr) record_user_event(*st, EventKind::Instant, *words);
    Py_RETURN_NONE;
  });
}

PyObject* counter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"name", "value"};
    PyObject* bound[2];
    if (!bind_arguments({"counter", names, 2, 2}, args, nargs, kwnames, bound)) return nullptr;
    std::optional<std::string> name = name_of("counter", bound[0]);
    if (!name) return nullptr;
    PyObject* value = bound[1];
    UserValue v;
    if (PyFloat_Check(value)) {
      v = {UserValue::Type::Double, 0, PyFloat_AS_DOUBLE(value)};
    } else if (PyBool_Check(value)) {
      v = {UserValue::Type::Bool, value == Py_True};
    } else if (PyLong_Check(value)) {
      int overflow = 0;
      long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
      if (overflow != 0) {
        PyErr_SetString(PyExc_OverflowError,
                        "counter value does not fit 64 bits (a float carries larger values)");
        return nullptr;
      }
      v = {UserValue::Type::Int, n};
    } else {
      PyErr_Format(PyExc_TypeError, "counter value must be an int or a float, not %s",
                   Py_TYPE(value)->tp_name);
      return nullptr;
    }
    // Checked whole even when idle, so that a call a trace would refuse
    // fails the same way without one.
    core::PayloadWriter w(*name);
    w.add("", v);
    std::optional<Words> words = w.words();
    if (!words) {
      if (PyRef named = shown(bound[0])) {
        PyErr_Format(PyExc_ValueError,
                     "counter name %U is longer than the %zu bytes one event carries", named.get(),
                     core::kMaxPayloadBytes);
      }
      return nullptr;
    }
    if (State* st = current_run()) record_user_event(*st, EventKind::Counter, *words);
    Py_RETURN_NONE;
  });
}

}  // namespace morvex::py
