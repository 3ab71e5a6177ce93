// The connection pool: lends connections up to a limit and takes them back.
#ifndef PYVKDB_CONNECTION_POOL_H
#define PYVKDB_CONNECTION_POOL_H

#include <Python.h>
#include <cstdint>

#include "connection/connection.h"

namespace vk {

// Each login text of a pool is kept in a buffer of this size (zero included).
constexpr size_t kPoolTextSize = 100;

struct PoolObject {
  PyObject_HEAD
  ConnectionObject **busy;   // lent out, capacity slots
  int32_t busy_count;
  ConnectionObject **idle;   // ready to lend (a stack), capacity slots
  int32_t idle_count;
  int32_t capacity;
  int32_t maxconnections;
  int32_t mincached;
  int32_t opened;
  char *host;
  int32_t port;
  char *database;
  char *user;
  char *password;
  char *usessl;
  char *charset;
  PyObject *weakreflist;
};

extern PyTypeObject PoolType;

// The pooled branch of a connection's close: move it from the busy list to
// the idle list (nothing happens when it is not on the busy list).
void pool_take_back(PoolObject *pool, ConnectionObject *conn);

}  // namespace vk

#endif
