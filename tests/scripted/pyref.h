// pyref.h -- an owning reference to a Python object.
#ifndef VKSCRIPT_PYREF_H
#define VKSCRIPT_PYREF_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vks {

class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject *owned) : obj_(owned) {}
  PyRef(const PyRef &) = delete;
  PyRef &operator=(const PyRef &) = delete;
  PyRef(PyRef &&other) noexcept : obj_(other.release()) {}
  PyRef &operator=(PyRef &&other) noexcept {
    reset(other.release());
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject *get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  PyObject *release() {
    PyObject *o = obj_;
    obj_ = nullptr;
    return o;
  }
  void reset(PyObject *owned = nullptr) {
    PyObject *old = obj_;
    obj_ = owned;
    Py_XDECREF(old);
  }
  // A new reference for a caller that takes ownership (never null for a
  // live object).
  PyObject *newref() const {
    Py_XINCREF(obj_);
    return obj_;
  }

 private:
  PyObject *obj_ = nullptr;
};

}  // namespace vks
#endif
