// An owned reference to a Python object, released when it goes out of scope.
// Used with the interpreter lock held, like every object of the binding.
#ifndef VESK_PYTHON_PY_REF_H_
#define VESK_PYTHON_PY_REF_H_

#include <Python.h>

#include <utility>

namespace vesk::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null, as when the call that made it
  // raised).
  explicit PyRef(PyObject* owned) : obj_(owned) {}
  PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = other.release();
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace vesk::py

#endif  // VESK_PYTHON_PY_REF_H_
