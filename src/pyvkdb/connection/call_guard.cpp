// The connection claim and the results kept back while a call runs.
#include "connection/call_guard.h"

#include <cstdlib>
#include <new>
#include <vector>

#include "module/errors.h"

namespace vk {

struct DeferredRelease {
  vesk_result *result;
  char *cursor_name;  // malloc'd, or nullptr
  vesk_conn *handle;
  uint32_t generation;
};

struct DeferredReleases {
  std::vector<DeferredRelease> items;
};

namespace {

void release_now(ConnectionObject *conn, DeferredRelease &d) {
  // The named cursor lives on the connection: close it only on the
  // connection it was opened on, while that is still open.
  if (d.cursor_name != nullptr && conn != nullptr && conn->handle != nullptr &&
      conn->handle == d.handle && conn->generation == d.generation) {
    cli_close_named_cursor(&conn->handle, d.cursor_name);
  }
  std::free(d.cursor_name);
  d.cursor_name = nullptr;
  cli_free_result(&d.result);
}

// Give back everything kept so far; the list is taken whole first, so an
// entry added meanwhile waits for the next round.
void flush(ConnectionObject *conn) {
  if (conn->deferred == nullptr || conn->deferred->items.empty()) return;
  std::vector<DeferredRelease> items;
  items.swap(conn->deferred->items);
  for (DeferredRelease &d : items) release_now(conn, d);
}

}  // namespace

bool ConnectionClaim::take(ConnectionObject *conn, const void *owner) {
  if (conn == nullptr) return true;
  if (conn->call_owner != nullptr) {
    PyErr_SetString(ProgrammingError, "the connection is in use by another call");
    return false;
  }
  Py_INCREF(conn);
  conn->call_owner = owner;
  conn_ = conn;
  return true;
}

ConnectionClaim::~ConnectionClaim() {
  if (conn_ == nullptr) return;
  // What was kept back goes to the library while the claim still stands,
  // so no other call can start in a wait of the release itself.
  while (conn_->deferred != nullptr && !conn_->deferred->items.empty()) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);  // a pending exception survives
    flush(conn_);
    PyErr_Restore(type, value, tb);
  }
  conn_->call_owner = nullptr;
  Py_DECREF(conn_);
}

void defer_release(ConnectionObject *conn, vesk_result *result, char *cursor_name,
                   vesk_conn *handle, uint32_t generation) {
  DeferredRelease d{result, cursor_name, handle, generation};
  try {
    if (conn->deferred == nullptr) conn->deferred = new DeferredReleases;
    conn->deferred->items.push_back(d);
  } catch (const std::bad_alloc &) {
    // No room to keep it: free the result itself (it touches only its own
    // state), and leave the named cursor to the connection's close.
    std::free(d.cursor_name);
    cli_free_result(&d.result);
  }
}

void drop_deferred(ConnectionObject *conn) {
  if (conn->deferred == nullptr) return;
  flush(conn);
  delete conn->deferred;
  conn->deferred = nullptr;
}

}  // namespace vk
