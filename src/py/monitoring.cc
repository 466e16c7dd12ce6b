#include "py/monitoring.h"

#include <utility>

#include "py/callbacks.h"
#include "py/errors.h"
#include "py/state.h"

namespace morvex::py {

namespace {

PyRef sys_monitoring() { return import_attr("sys", "monitoring"); }

std::optional<int32_t> event_bit(PyObject* events, const char* name) {
  PyRef v = PyRef::steal(PyObject_GetAttrString(events, name));
  if (!v) return std::nullopt;
  long bit = PyLong_AsLong(v.get());
  if (bit == -1 && PyErr_Occurred()) return std::nullopt;
  if (bit < INT32_MIN || bit > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "event number does not fit 32 bits");
    return std::nullopt;
  }
  return static_cast<int32_t>(bit);
}

// Calls monitoring.<method>(args...) and drops the result.
template <class... Args>
bool call_monitoring(PyObject* monitoring, const char* method, const char* format, Args... args) {
  PyRef r = PyRef::steal(PyObject_CallMethod(monitoring, method, format, args...));
  return static_cast<bool>(r);
}

// Keeps the first of several failures: later steps run regardless, and a
// failure of theirs must not replace the one that came first.
class FirstFailure {
 public:
  FirstFailure() = default;
  FirstFailure(const FirstFailure&) = delete;
  FirstFailure& operator=(const FirstFailure&) = delete;
  // After a step: takes its exception, if it raised one and none came before.
  void step(bool ok) {
    if (ok) return;
    PyObject* exc = PyErr_GetRaisedException();
    if (first_ == nullptr) {
      first_ = exc;
    } else {
      Py_XDECREF(exc);
    }
  }
  // Raises the first failure; false if there was one.
  bool finish() {
    if (first_ == nullptr) return true;
    PyErr_SetRaisedException(std::exchange(first_, nullptr));
    return false;
  }
  ~FirstFailure() { Py_XDECREF(first_); }

 private:
  PyObject* first_ = nullptr;
};

// Removes the callbacks registered for `bits`, every one of them even after
// a failure; the first failure is left set.
bool unregister(PyObject* monitoring, uint8_t tool_id, const std::vector<int32_t>& bits) {
  FirstFailure failure;
  for (int32_t bit : bits)
    failure.step(
        call_monitoring(monitoring, "register_callback", "iiO", int{tool_id}, int{bit}, Py_None));
  return failure.finish();
}

// With use_tool_id's ValueError pending ("tool 2 is already in use"): the
// same error naming who holds the slot, as its owner registered it, so that
// the user knows which tool to stop first.
void name_the_holder(PyObject* monitoring, int tool_id) {
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) return;
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  PyRef holder = PyRef::steal(PyObject_CallMethod(monitoring, "get_tool", "i", tool_id));
  PyRef text = PyRef::steal(PyObject_Str(exc.get()));
  PyRef message = holder && text && PyUnicode_Check(holder.get())
                      ? PyRef::steal(PyUnicode_FromFormat("%U (held by \"%U\")", text.get(),
                                                          holder.get()))
                      : PyRef();
  PyRef named = message ? PyRef::steal(PyObject_CallOneArg(PyExc_ValueError, message.get()))
                        : PyRef();
  PyErr_Clear();
  PyErr_SetRaisedException(named ? named.release() : exc.release());
}

}  // namespace

void release_tool_id(uint8_t tool_id) {
  KeptException keep;
  PyRef monitoring = sys_monitoring();
  if (!monitoring || !call_monitoring(monitoring.get(), "free_tool_id", "i", int{tool_id}))
    PyErr_Clear();
}

std::optional<uint8_t> claim_tool_id() {
  PyRef monitoring = sys_monitoring();
  if (!monitoring) return std::nullopt;
  PyRef id_obj = PyRef::steal(PyObject_GetAttrString(monitoring.get(), "PROFILER_ID"));
  if (!id_obj) return std::nullopt;
  long id = PyLong_AsLong(id_obj.get());
  if (id == -1 && PyErr_Occurred()) return std::nullopt;
  if (id < 0 || id > 255) {
    PyErr_SetString(PyExc_OverflowError, "tool id does not fit 8 bits");
    return std::nullopt;
  }
  if (!call_monitoring(monitoring.get(), "use_tool_id", "is", int(id), "morvex")) {
    name_the_holder(monitoring.get(), int(id));
    return std::nullopt;
  }
  return static_cast<uint8_t>(id);
}

std::optional<MonitoringHandle> enable_claimed(std::shared_ptr<State> state, uint8_t tool_id) {
  PyRef monitoring = sys_monitoring();
  if (!monitoring) return std::nullopt;
  MonitoringHandle handle;
  handle.tool_id = tool_id;
  // Undoes what was done so far, keeping the exception that stopped it.
  auto fail = [&]() -> std::optional<MonitoringHandle> {
    {
      KeptException keep;
      if (!unregister(monitoring.get(), tool_id, handle.bits)) PyErr_Clear();
    }
    release_tool_id(tool_id);
    return std::nullopt;
  };
  PyRef events = PyRef::steal(PyObject_GetAttrString(monitoring.get(), "events"));
  if (!events) return fail();
  const State& st = *state;
  handle.callbacks = new_callbacks(std::move(state));
  if (!handle.callbacks) return fail();
  int32_t mask = 0;
  std::vector<CallbackEntry> entries(callback_table(st).begin(), callback_table(st).end());
  entries.insert(entries.end(), c_call_table(st).begin(), c_call_table(st).end());
  for (const CallbackEntry& entry : entries) {
    std::optional<int32_t> bit = event_bit(events.get(), entry.event);
    if (!bit) return fail();
    PyRef method = new_callback(handle.callbacks.get(), entry);
    if (!method) {
      if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
      return fail();
    }
    if (!call_monitoring(monitoring.get(), "register_callback", "iiO", int{tool_id}, int{*bit},
                         method.get()))
      return fail();
    handle.bits.push_back(*bit);
    handle.methods.push_back(std::move(method));
    mask |= *bit;
  }
  // Every callback is in place before any event is switched on.
  if (!call_monitoring(monitoring.get(), "set_events", "ii", int{tool_id}, int{mask}))
    return fail();
  return handle;
}

std::optional<MonitoringHandle> enable(std::shared_ptr<State> state) {
  std::optional<uint8_t> id = claim_tool_id();
  if (!id) return std::nullopt;
  return enable_claimed(std::move(state), *id);
}

bool disable(const MonitoringHandle& handle) {
  PyRef monitoring = sys_monitoring();
  if (!monitoring) return false;
  int tool = handle.tool_id;
  // Events off before the callbacks go; the tool id is freed last. Every
  // step runs even when one before failed: a step skipped would leave the
  // profiler slot taken for every later run.
  FirstFailure failure;
  failure.step(call_monitoring(monitoring.get(), "set_events", "ii", tool, 0));
  failure.step(unregister(monitoring.get(), handle.tool_id, handle.bits));
  failure.step(call_monitoring(monitoring.get(), "free_tool_id", "i", tool));
  return failure.finish();
}

}  // namespace morvex::py
