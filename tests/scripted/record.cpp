// record.cpp -- the call log: how each kind of argument is recorded.
#include "record.h"

#include <cstring>

namespace vks {
namespace {
// Texts handed to the library are scanned no further than this.
constexpr size_t kMaxText = size_t(1) << 24;
}  // namespace

Call::Call(int op) : op_(op), live_(Py_IsInitialized() != 0) {
  if (!live_) return;
  gil_ = PyGILState_Ensure();
  PyErr_Fetch(&err_type_, &err_value_, &err_tb_);
}

Call::~Call() {
  if (!live_) return;
  args_.clear();
  PyErr_Clear();
  PyErr_Restore(err_type_, err_value_, err_tb_);
  PyGILState_Release(gil_);
}

void Call::push(PyObject *obj) {
  if (!live_) return;
  if (obj == nullptr) {
    PyErr_Clear();
    engine().problem(std::string(op_name(op_)) + ": an argument could not be recorded");
    Py_INCREF(Py_None);
    obj = Py_None;
  }
  args_.emplace_back(obj);
}

Call &Call::handle(const void *addr) {
  if (!live_) return *this;
  if (addr == nullptr) return none();
  push(PyLong_FromUnsignedLongLong(read_handle(addr)));
  return *this;
}

Call &Call::handle_value(const void *h) {
  if (live_) push(PyLong_FromUnsignedLongLong(reinterpret_cast<uintptr_t>(h)));
  return *this;
}

Call &Call::text(const char *s) {
  if (!live_) return *this;
  if (s == nullptr) return none();
  const size_t n = strnlen(s, kMaxText);
  push(PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "surrogateescape"));
  return *this;
}

Call &Call::integer(long long v) {
  if (live_) push(PyLong_FromLongLong(v));
  return *this;
}

Call &Call::cell(const int32_t *c) {
  if (!live_) return *this;
  if (c == nullptr) return none();
  return integer(*c);
}

Call &Call::flag(const void *p) {
  if (!live_) return *this;
  PyObject *o = p == nullptr ? Py_None : Py_True;
  Py_INCREF(o);
  push(o);
  return *this;
}

Call &Call::bytes(const void *p, long long n) {
  if (!live_) return *this;
  if (p == nullptr) return none();
  if (n < 0) n = 0;
  push(PyBytes_FromStringAndSize(static_cast<const char *>(p),
                                 static_cast<Py_ssize_t>(n)));
  return *this;
}

Call &Call::ints(const int32_t *p, long long n) {
  if (!live_) return *this;
  if (p == nullptr) return none();
  if (n < 0) n = 0;
  PyRef tup(PyTuple_New(static_cast<Py_ssize_t>(n)));
  if (!tup) {
    push(nullptr);
    return *this;
  }
  for (long long i = 0; i < n; ++i) {
    PyObject *v = PyLong_FromLong(p[i]);
    if (v == nullptr) {
      push(nullptr);
      return *this;
    }
    PyTuple_SET_ITEM(tup.get(), static_cast<Py_ssize_t>(i), v);
  }
  push(tup.release());
  return *this;
}

Call &Call::none() {
  if (!live_) return *this;
  Py_INCREF(Py_None);
  push(Py_None);
  return *this;
}

const Response &Call::finish() {
  response_ = take_response(op_);
  if (!live_ || !engine().logging) return response_;
  PyRef args(PyTuple_New(static_cast<Py_ssize_t>(args_.size())));
  PyRef name(PyUnicode_FromString(op_name(op_)));
  if (!args || !name) {
    PyErr_Clear();
    engine().problem(std::string(op_name(op_)) + ": the call could not be logged");
    return response_;
  }
  for (size_t i = 0; i < args_.size(); ++i)
    PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), args_[i].release());
  args_.clear();
  PyRef entry(PyTuple_Pack(2, name.get(), args.get()));
  if (!entry) {
    PyErr_Clear();
    engine().problem(std::string(op_name(op_)) + ": the call could not be logged");
    return response_;
  }
  engine().log.push_back(std::move(entry));
  return response_;
}

}  // namespace vks
