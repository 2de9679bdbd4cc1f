// Module initialisation of vesk_internal: two-phase, with one execution step
// that adds the classes, VeskCheckpoint first, then VeskSession, then the
// InternalFault exception so that callers can catch it by name. The module
// keeps no state of its own and reads no configuration on import. Its
// functions serve a server's spare runner keeper and tests.
#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/base/config.h"
#include "core/runner/engine.h"
#include "core/runner/image_pieces.h"
#include "core/runner/park_image.h"
#include "core/runner/spare_lending.h"
#include "core/runner/spare_runner.h"
#include "python/checkpoint_type.h"
#include "python/convert.h"
#include "python/py_ref.h"
#include "python/session_type.h"

namespace {

using vesk::py::PyRef;

int add_type(PyObject* module, const char* name, PyObject* type) {
  if (type == nullptr) return -1;
  PyRef owned(type);
  return PyModule_AddObjectRef(module, name, owned.get());
}

int exec_module(PyObject* module) {
  if (add_type(module, "VeskCheckpoint", vesk::py::create_checkpoint_type()) != 0) return -1;
  if (add_type(module, "VeskSession", vesk::py::create_session_type()) != 0) return -1;
  // The class is process-wide (the one raise_error uses); the module holds a
  // reference of its own.
  PyObject* fault = vesk::py::internal_fault_type();
  if (fault == nullptr) return -1;
  Py_INCREF(fault);
  if (add_type(module, "InternalFault", fault) != 0) return -1;
  return 0;
}

// The spare runner's process (see spare_runner.h), once none is being
// started; 0 when there is none. For tests.
PyObject* spare_runner_pid(PyObject*, PyObject*) {
  pid_t pid = 0;
  Py_BEGIN_ALLOW_THREADS
  pid = vesk::spare_runner_pid();
  Py_END_ALLOW_THREADS
  return PyLong_FromLong(pid);
}

// Lends spare runners to a server's workers (see spare_lending.h) until the
// control socket `fd` ends; the configuration is the caller's, as a
// session's would be.
PyObject* serve_spares(PyObject*, PyObject* arg) {
  const long fd = PyLong_AsLong(arg);
  if (fd == -1 && PyErr_Occurred()) return nullptr;
  if (fd < 0 || fd > INT32_MAX) {
    PyErr_SetString(PyExc_ValueError, "_serve_spares() takes a descriptor");
    return nullptr;
  }
  vesk::Result<vesk::VeskEngine> engine = vesk::VeskEngine::create(vesk::Config::load());
  if (!engine) {
    vesk::py::raise_error(engine.error());
    return nullptr;
  }
  vesk::Status served;
  Py_BEGIN_ALLOW_THREADS
  served = vesk::serve_spares(*engine, static_cast<int>(fd));
  Py_END_ALLOW_THREADS
  if (!served) {
    vesk::py::raise_error(served.error());
    return nullptr;
  }
  Py_RETURN_NONE;
}

// _image_of_blob(blob) and _blob_of_image(image): a stored interpreter
// image (VeskSession._image()) as its uncompressed bytes and back, for a
// store that keeps the pieces images share once. An image larger than
// max_runner_memory_mb could not be resumed, and is refused before it is
// made.
PyObject* image_convert(PyObject* arg, bool expand) {
  std::string in;
  if (!vesk::py::to_bytes(arg, expand ? "blob" : "image", &in)) return nullptr;
  std::uint64_t bound = 0;
  if (expand) bound = std::uint64_t{vesk::Config::load().max_runner_memory_mb} << 20;
  vesk::Result<std::string> out;
  Py_BEGIN_ALLOW_THREADS
  out = expand ? vesk::image_of_blob(in, bound) : vesk::blob_of_image(in);
  Py_END_ALLOW_THREADS
  if (!out) {
    vesk::py::raise_error(out.error());
    return nullptr;
  }
  return PyBytes_FromStringAndSize(out->data(), static_cast<Py_ssize_t>(out->size()));
}

PyObject* image_of_blob(PyObject*, PyObject* arg) { return image_convert(arg, true); }
PyObject* blob_of_image(PyObject*, PyObject* arg) { return image_convert(arg, false); }

// _pack_image_piece(piece) and _unpack_image_pieces([(digest, frame)...],
// max_piece): a store's pieces of images (image_pieces.h), made and checked
// without Python's lock.
PyObject* pack_image_piece(PyObject*, PyObject* arg) {
  std::string piece;
  if (!vesk::py::to_bytes(arg, "piece", &piece)) return nullptr;
  vesk::Result<std::string> out;
  Py_BEGIN_ALLOW_THREADS
  out = vesk::pack_image_piece(piece);
  Py_END_ALLOW_THREADS
  if (!out) {
    vesk::py::raise_error(out.error());
    return nullptr;
  }
  return PyBytes_FromStringAndSize(out->data(), static_cast<Py_ssize_t>(out->size()));
}

PyObject* unpack_image_pieces(PyObject*, PyObject* args) {
  PyObject* list_obj;
  Py_ssize_t max_piece;
  if (!PyArg_ParseTuple(args, "On:_unpack_image_pieces", &list_obj, &max_piece)) return nullptr;
  if (max_piece < 0) {
    PyErr_SetString(PyExc_ValueError, "max_piece must not be negative");
    return nullptr;
  }
  // The list holds its items, and bytes never move: the views stay good
  // while the lock is let go.
  if (!PyList_Check(list_obj)) {
    PyErr_SetString(PyExc_TypeError, "pieces must be a list of (digest, frame)");
    return nullptr;
  }
  PyRef held(Py_NewRef(list_obj));
  const Py_ssize_t n = PyList_Size(list_obj);
  std::vector<vesk::StoredPiece> pieces;
  pieces.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(list_obj, i);
    if (item == nullptr) return nullptr;
    std::string_view parts[2];
    for (int k = 0; k < 2; ++k) {
      PyObject* b = PyTuple_Check(item) && PyTuple_Size(item) == 2 ? PyTuple_GetItem(item, k)
                                                                     : nullptr;
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (b == nullptr || !PyBytes_Check(b) || PyBytes_AsStringAndSize(b, &data, &size) != 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "pieces must be (digest, frame) tuples of bytes");
        return nullptr;
      }
      parts[k] = std::string_view(data, static_cast<std::size_t>(size));
    }
    pieces.push_back({parts[0], parts[1]});
  }
  vesk::Result<std::vector<std::string>> out;
  Py_BEGIN_ALLOW_THREADS
  out = vesk::unpack_image_pieces(pieces, static_cast<std::size_t>(max_piece));
  Py_END_ALLOW_THREADS
  if (!out) {
    vesk::py::raise_error(out.error());
    return nullptr;
  }
  PyRef result(PyList_New(n));
  if (!result) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const std::string& bytes = (*out)[static_cast<std::size_t>(i)];
    PyObject* b = PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (b == nullptr || PyList_SetItem(result.get(), i, b) != 0) return nullptr;
  }
  return result.release();
}

PyMethodDef kMethods[] = {
    {"_pack_image_piece", pack_image_piece, METH_O, nullptr},
    {"_unpack_image_pieces", unpack_image_pieces, METH_VARARGS, nullptr},
    {"_image_of_blob", image_of_blob, METH_O, nullptr},
    {"_blob_of_image", blob_of_image, METH_O, nullptr},
    {"_serve_spares", serve_spares, METH_O, nullptr},
    {"_spare_runner_pid", spare_runner_pid, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "vesk_internal", "", 0, kMethods, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vesk_internal() { return PyModuleDef_Init(&kModule); }
