// The implementation of checkpoint_type.h; its role and contract are stated there.

#include "python/checkpoint_type.h"

#include <new>

#include "python/convert.h"
#include "python/py_ref.h"

namespace vesk::py {

namespace {

struct CheckpointObject {
  PyObject_HEAD
  CheckpointRecord* record;
};

// The class, set when the module's execution step creates it; borrowed by
// new_checkpoint. The module holds the owning reference.
PyTypeObject* g_checkpoint_type = nullptr;

CheckpointRecord& record_of(PyObject* self) {
  return *reinterpret_cast<CheckpointObject*>(self)->record;
}

void checkpoint_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<CheckpointObject*>(self)->record;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* get_id(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(record_of(self).id);
}

PyObject* get_stdout(PyObject* self, void*) { return text_to_py(record_of(self).stdout_text); }

PyObject* get_stderr(PyObject* self, void*) { return text_to_py(record_of(self).stderr_text); }

PyObject* get_exit_code(PyObject* self, void*) {
  const std::optional<int>& code = record_of(self).exit_code;
  if (!code) Py_RETURN_NONE;
  return PyLong_FromLong(*code);
}

PyObject* get_files(PyObject* self, void*) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, content] : record_of(self).files) {
    PyRef k(text_to_py(key));
    if (!k) return nullptr;
    PyRef v(PyBytes_FromStringAndSize(content->data(), static_cast<Py_ssize_t>(content->size())));
    if (!v) return nullptr;
    if (PyDict_SetItem(dict.get(), k.get(), v.get()) != 0) return nullptr;
  }
  return dict.release();
}

PyGetSetDef kGetSet[] = {
    {"id", get_id, nullptr, "", nullptr},
    {"stdout", get_stdout, nullptr, "", nullptr},
    {"stderr", get_stderr, nullptr, "", nullptr},
    {"files", get_files, nullptr, "", nullptr},
    {"exit_code", get_exit_code, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(checkpoint_dealloc)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "vesk_internal.VeskCheckpoint",
    sizeof(CheckpointObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

CheckpointRecord checkpoint_to_py(const Checkpoint& checkpoint) noexcept {
  return CheckpointRecord{checkpoint.stdout_text, checkpoint.stderr_text, checkpoint.files,
                          checkpoint.id, checkpoint.exit_code};
}

PyObject* create_checkpoint_type() {
  PyObject* type = PyType_FromSpec(&kSpec);
  g_checkpoint_type = reinterpret_cast<PyTypeObject*>(type);
  return type;
}

PyObject* new_checkpoint(CheckpointRecord record) {
  auto* record_copy = new (std::nothrow) CheckpointRecord(std::move(record));
  if (record_copy == nullptr) return PyErr_NoMemory();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(g_checkpoint_type, Py_tp_alloc));
  PyObject* self = alloc(g_checkpoint_type, 0);
  if (self == nullptr) {
    delete record_copy;
    return nullptr;
  }
  reinterpret_cast<CheckpointObject*>(self)->record = record_copy;
  return self;
}

}  // namespace vesk::py
