// One call at a time on a connection.
//
// The bound parameters, the prepared statement and the library's connection
// state are shared by every cursor of a connection.  Python code can run in
// the middle of a call (a parameter sequence's __getitem__, a str subclass,
// a garbage collection, or another thread while the library waits with the
// interpreter lock released) and must not start a second call on the same
// connection there: it would rebind or replace what the running call is
// using.  Every method of the connection and cursor types is entered
// through `Guarded`, which claims the connection for the length of the
// call; a second claim is refused with ProgrammingError and the running
// call goes on untouched.
//
// Results that a cursor gives up while another call holds its connection
// (the cursor was collected or closed from inside that call) are not handed
// back to the library at once: that would be a second call on the
// connection.  They wait on the connection and go back as soon as the
// running call ends.
#ifndef PYVKDB_CONNECTION_CALL_GUARD_H
#define PYVKDB_CONNECTION_CALL_GUARD_H

#include <Python.h>
#include <cstdint>

#include "client/client.h"
#include "connection/connection.h"

namespace vk {

// Holds a connection for one call; gives it back when destroyed.
class ConnectionClaim {
 public:
  ConnectionClaim() = default;
  ConnectionClaim(const ConnectionClaim &) = delete;
  ConnectionClaim &operator=(const ConnectionClaim &) = delete;
  ~ConnectionClaim();

  // Claim `conn` for a call made by `owner` (the object whose method runs).
  // A null `conn` (an object that was never set up) claims nothing and
  // succeeds: the method's own checks report it.  False, with
  // ProgrammingError set, while another call holds the connection.
  bool take(ConnectionObject *conn, const void *owner);

 private:
  ConnectionObject *conn_ = nullptr;  // strong reference while claimed
};

// True while a call by someone other than `who` holds `conn`.
inline bool connection_held_by_other(const ConnectionObject *conn, const void *who) {
  return conn != nullptr && conn->call_owner != nullptr && conn->call_owner != who;
}

// Keep `result` (and the named cursor `cursor_name`, taken over from the
// caller; may be nullptr) until the call holding `conn` ends.  `handle` and
// `generation` are the cursor's, so the named cursor is closed only on the
// connection it was opened on.  Never fails: should memory run out, the
// result is given back at once.
void defer_release(ConnectionObject *conn, vesk_result *result, char *cursor_name,
                   vesk_conn *handle, uint32_t generation);

// Free what the connection still keeps for later (at its destruction).
void drop_deferred(ConnectionObject *conn);

// A method entered under a claim of the connection that Locate finds for
// `self`.  Method may have any PyCFunction shape.
template <ConnectionObject *(*Locate)(PyObject *), auto Method>
struct Guarded;

template <ConnectionObject *(*Locate)(PyObject *), typename... Args,
          PyObject *(*Method)(PyObject *, Args...)>
struct Guarded<Locate, Method> {
  static PyObject *call(PyObject *self, Args... args) {
    ConnectionClaim claim;
    if (!claim.take(Locate(self), self)) return nullptr;
    return Method(self, args...);
  }
};

}  // namespace vk

#endif
