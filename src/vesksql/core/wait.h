// Waits: the callbacks the library calls around a blocking wait, so its
// caller can let other work run meanwhile (vesk_set_wait_callbacks).
#ifndef VESKSQL_CORE_WAIT_H
#define VESKSQL_CORE_WAIT_H

namespace vesk {

// Brackets one blocking wait: the registered begin callback when made, the
// end callback when destroyed.  Between the two, touch nothing the caller
// passed in.
class WaitScope {
 public:
  WaitScope();
  ~WaitScope();
  WaitScope(const WaitScope &) = delete;
  WaitScope &operator=(const WaitScope &) = delete;

 private:
  void *token_ = nullptr;
  bool begun_ = false;
  void (*end_)(void *) = nullptr;
};

}  // namespace vesk

#endif
