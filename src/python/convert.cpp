// The implementation of convert.h; its role and contract are stated there.

#include "python/convert.h"

#include "python/py_ref.h"

namespace vesk::py {

namespace {

bool is_str(PyObject* value) {
  return (PyType_GetFlags(Py_TYPE(value)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

bool is_bytes(PyObject* value) {
  return (PyType_GetFlags(Py_TYPE(value)) & Py_TPFLAGS_BYTES_SUBCLASS) != 0;
}

bool is_bytearray(PyObject* value) {
  return PyType_IsSubtype(Py_TYPE(value), &PyByteArray_Type) != 0;
}

// The name of the value's type, for messages.
std::string type_name(PyObject* value) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
  std::string out;
  if (name && to_utf8(name.get(), "", &out)) return out;
  PyErr_Clear();
  return "object";
}

// Raises TypeError("{name} must be {expected}, not {type name}"). Always
// returns false, for use as `return must_be(...);`.
bool must_be(const std::string& name, const char* expected, PyObject* value) {
  const std::string text = name + " must be " + expected + ", not " + type_name(value);
  PyRef message(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
  return false;
}

bool utf8_of(PyObject* value, std::string* out) {
  PyRef encoded(PyUnicode_AsUTF8String(value));
  if (!encoded) return false;
  char* data = PyBytes_AsString(encoded.get());
  if (data == nullptr) return false;
  out->assign(data, static_cast<std::size_t>(PyBytes_Size(encoded.get())));
  return true;
}

// Calls `item(element, index)` for each element of a sequence argument (a
// list, a tuple, any object the host recognises as a sequence; not a str,
// nor a mere iterable), after `reserve` with its length; anything else is
// refused as not `expected`. `item` returns false with an exception set to
// stop.
template <class Reserve, class Item>
bool for_each_item(PyObject* value, const char* name, const char* expected, Reserve&& reserve,
                   Item&& item) {
  if (is_str(value) || !PySequence_Check(value)) return must_be(name, expected, value);
  const Py_ssize_t size = PyObject_Size(value);
  if (size < 0) return false;
  reserve(static_cast<std::size_t>(size));
  PyRef it(PyObject_GetIter(value));
  if (!it) return false;
  std::size_t index = 0;
  while (PyRef element{PyIter_Next(it.get())}) {
    if (!item(element.get(), index++)) return false;
  }
  return !PyErr_Occurred();
}

// "{name}[{index}]", naming one element of a sequence argument.
std::string element_name(const char* name, std::size_t index) {
  return std::string(name) + "[" + std::to_string(index) + "]";
}

}  // namespace

bool to_utf8(PyObject* value, const char* name, std::string* out) {
  if (!is_str(value)) return must_be(name, "str", value);
  return utf8_of(value, out);
}

bool to_fs_path(PyObject* value, std::string* out) {
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(value, &encoded) == 0) return false;
  PyRef bytes(encoded);
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded, &data, &size) < 0) return false;
  out->assign(data, static_cast<std::size_t>(size));
  return true;
}

bool to_u64(PyObject* value, const char* name, std::uint64_t* out) {
  if (!PyIndex_Check(value)) return must_be(name, "int", value);
  PyRef index(PyNumber_Index(value));
  if (!index) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool to_bytes(PyObject* value, const char* name, std::string* out) {
  if (is_bytes(value)) {
    const char* data = PyBytes_AsString(value);
    if (data == nullptr) return false;
    out->assign(data, static_cast<std::size_t>(PyBytes_Size(value)));
    return true;
  }
  if (is_bytearray(value)) {
    const char* data = PyByteArray_AsString(value);
    if (data == nullptr) return false;
    out->assign(data, static_cast<std::size_t>(PyByteArray_Size(value)));
    return true;
  }
  out->clear();
  return for_each_item(
      value, name, "bytes", [&](std::size_t size) { out->reserve(size); },
      [&](PyObject* item, std::size_t index) {
        if (!PyIndex_Check(item)) return must_be(element_name(name, index), "int", item);
        const long byte = PyLong_AsLong(item);
        if (byte == -1 && PyErr_Occurred()) return false;
        if (byte < 0 || byte > 255) {
          PyErr_SetString(PyExc_OverflowError, "byte value out of range 0..255");
          return false;
        }
        out->push_back(static_cast<char>(byte));
        return true;
      });
}

bool to_key_list(PyObject* value, const char* name,
                 std::optional<std::vector<std::string>>* out) {
  if (value == Py_None) {
    out->reset();
    return true;
  }
  std::vector<std::string> keys;
  const bool ok = for_each_item(
      value, name, "a list of str or None", [&](std::size_t size) { keys.reserve(size); },
      [&](PyObject* item, std::size_t index) {
        if (!is_str(item)) return must_be(element_name(name, index), "str", item);
        std::string key;
        if (!utf8_of(item, &key)) return false;
        keys.push_back(std::move(key));
        return true;
      });
  if (ok) *out = std::move(keys);
  return ok;
}

PyObject* text_to_py(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* texts_to_py(const std::vector<std::string>& texts) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* item = text_to_py(texts[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* internal_fault_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "vesk_internal.InternalFault",
        "A condition the module treats as impossible; the session that raised it can only be "
        "discarded.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_internal_fault(const char* message) {
  PyObject* type = internal_fault_type();
  if (type == nullptr) return;  // the class itself could not be made: that error stands
  PyErr_SetString(type, message);
}

void raise_error(const Error& error) {
  if (error.is_internal()) {
    PyRef text(text_to_py(error.message()));
    PyObject* type = internal_fault_type();
    if (text && type != nullptr) PyErr_SetObject(type, text.get());
    return;
  }
  PyRef text(text_to_py(error.message()));
  if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
}

void raise_run_error(const Error& error) {
  if (error.is_internal()) {
    raise_error(error);
    return;
  }
  std::string message = error.message();
  if (error.interpreter_reset()) {
    message += "\nthe interpreter was restarted; its variables and imports are gone";
  }
  PyRef text(text_to_py(message));
  if (!text) return;
  PyRef exception(PyObject_CallFunctionObjArgs(PyExc_RuntimeError, text.get(), nullptr));
  if (!exception) return;
  PyRef out(text_to_py(error.partial_stdout()));
  PyRef err(text_to_py(error.partial_stderr()));
  if (!out || !err) return;
  if (PyObject_SetAttrString(exception.get(), "stdout", out.get()) != 0 ||
      PyObject_SetAttrString(exception.get(), "stderr", err.get()) != 0 ||
      PyObject_SetAttrString(exception.get(), "interpreter_reset",
                             error.interpreter_reset() ? Py_True : Py_False) != 0) {
    return;
  }
  PyErr_SetObject(PyExc_RuntimeError, exception.get());
}

}  // namespace vesk::py
