// record.h -- one hooked call: takes the interpreter lock, keeps any pending
// Python error aside, records the arguments as they are at entry and hands
// out the response for the call.
#ifndef VKSCRIPT_RECORD_H
#define VKSCRIPT_RECORD_H

#include <cstdint>
#include <vector>

#include "engine.h"

namespace vks {

class Call {
 public:
  explicit Call(int op);
  ~Call();
  Call(const Call &) = delete;
  Call &operator=(const Call &) = delete;

  // Argument recorders, called in parameter order.
  Call &handle(const void *addr);      // value held at a handle address
  Call &handle_value(const void *h);   // a handle passed by value
  Call &text(const char *s);
  Call &integer(long long v);
  Call &cell(const int32_t *c);
  Call &flag(const void *p);           // reserved pointers: None or True
  Call &bytes(const void *p, long long n);
  Call &ints(const int32_t *p, long long n);
  Call &none();

  // Appends the log entry and returns the response of this call.
  const Response &finish();

 private:
  void push(PyObject *obj);

  int op_;
  bool live_;
  PyGILState_STATE gil_{};
  PyObject *err_type_ = nullptr, *err_value_ = nullptr, *err_tb_ = nullptr;
  std::vector<PyRef> args_;
  Response response_;
};

}  // namespace vks
#endif
