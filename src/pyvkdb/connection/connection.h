// The connection object: one open connection of the client library.
#ifndef PYVKDB_CONNECTION_CONNECTION_H
#define PYVKDB_CONNECTION_CONNECTION_H

#include <Python.h>
#include <cstdint>

#include "client/client.h"

namespace vk {

struct PoolObject;
struct DeferredReleases;

// mode of a connection that belongs to a pool
constexpr int32_t kPooledMode = 2;

struct ConnectionObject {
  PyObject_HEAD
  vesk_conn *handle;               // empty when no connection is open
  int32_t multi_address;           // 1 when opened from a host list
  vesk_addr_attrs *turnIP_attrs;   // attribute set of a host-list connect
  int32_t mode;                    // kPooledMode, or 0 for a standalone connection
  PoolObject *pool;                // owning pool (not a counted reference)
  // Changes whenever the connection is opened, closed, or given back to its
  // pool.  A cursor remembers the value it was made under; once it changes,
  // that cursor is closed for good (its handle copy may name a connection
  // that is gone or lent to someone else).
  uint32_t generation;
  // The call running on this connection now (a cursor or the connection
  // itself), nullptr when none: see connection/call_guard.h.
  const void *call_owner;
  DeferredReleases *deferred;      // results released while a call ran
  PyObject *weakreflist;
  bool embedded;                   // opened on the embedded engine (no host)
};

extern PyTypeObject ConnectionType;

// The connect string is built in a buffer of this size (terminating zero
// included); longer parameters are refused.
constexpr size_t kConnectStringSize = 512;

// The liveness check that ping sends; VESK_LOST says the connection is gone.
constexpr const char kLivenessCheck[] = "select 1 from dual;";

// Build the connect string.  False (nothing set) when it would not fit.
bool build_connect_string(char (&out)[kConnectStringSize], const char *host, int port,
                          const char *database, const char *user, const char *password,
                          const char *charset, const char *usessl);

}  // namespace vk

#endif
