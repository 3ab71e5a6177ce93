// PyRef: an owned reference to a Python object, released when it goes out of
// scope.  HeapBlock: a malloc'd block freed the same way.
#ifndef PYVKDB_MODULE_PYREF_H
#define PYVKDB_MODULE_PYREF_H

#include <Python.h>
#include <cstdlib>
#include <utility>

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

  // Take a new reference to a borrowed object.
  static PyRef borrow(PyObject *borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyObject *get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // A new reference for a caller that takes ownership.
  PyObject *newref() const {
    Py_XINCREF(obj_);
    return obj_;
  }
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

 private:
  PyObject *obj_ = nullptr;
};

template <typename T>
class HeapBlock {
 public:
  HeapBlock() = default;
  explicit HeapBlock(T *owned) : p_(owned) {}
  HeapBlock(const HeapBlock &) = delete;
  HeapBlock &operator=(const HeapBlock &) = delete;
  HeapBlock(HeapBlock &&other) noexcept : p_(other.release()) {}
  HeapBlock &operator=(HeapBlock &&other) noexcept {
    reset(other.release());
    return *this;
  }
  ~HeapBlock() { std::free(p_); }

  // Zero-filled block of n elements; false when the allocation fails (no
  // Python error is set: the caller decides how to report it).
  bool alloc_zeroed(size_t n) {
    reset(static_cast<T *>(std::calloc(n == 0 ? 1 : n, sizeof(T))));
    return p_ != nullptr;
  }
  T *get() const { return p_; }
  T &operator[](size_t i) const { return p_[i]; }
  explicit operator bool() const { return p_ != nullptr; }
  T *release() {
    T *p = p_;
    p_ = nullptr;
    return p;
  }
  void reset(T *owned = nullptr) {
    T *old = p_;
    p_ = owned;
    std::free(old);
  }

 private:
  T *p_ = nullptr;
};

#endif
