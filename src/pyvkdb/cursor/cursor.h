// The cursor record and the operations every cursor method shares: the
// cursor precondition, the result release and the result-information
// refresh.
#ifndef PYVKDB_CURSOR_CURSOR_H
#define PYVKDB_CURSOR_CURSOR_H

#include <Python.h>
#include <cstdint>

#include "client/client.h"

namespace vk {

struct ConnectionObject;
struct FetchScratch;  // reusable row-reading buffers, owned by the cursor (fetch/)

// flags
constexpr uint32_t kResultReleased = 1u << 0;
constexpr uint32_t kPreparedStatement = 1u << 3;
constexpr uint32_t kNamedCursorOpen = 1u << 4;

// Size of the named-cursor name block (zero included).
constexpr size_t kCursorNameSize = 64;

struct CursorObject {
  PyObject_HEAD
  vesk_conn *conn_handle;          // copy of the connection handle, taken at construction
  vesk_conn **conn_handle_slot;    // address of the connection's handle field
  uint32_t flags;
  int32_t *types;                  // declared type list, type_count entries
  int32_t type_count;
  int32_t *sizes;                  // declared size list, size_count entries (-1: none declared)
  int32_t result_kind;
  int32_t third_counter;
  int32_t second_counter;
  int32_t rowcount;
  int32_t arraysize;
  int32_t batch_count;             // rows left in the current named-cursor batch
  char *cursor_name;               // kCursorNameSize block while a named cursor is open
  vesk_result *result;
  PyObject *description;           // owned; nullptr reads as AttributeError
  // Not part of the shared layout above, kept after it:
  ConnectionObject *connection;    // strong reference
  uint32_t generation;        // the connection's generation at construction
  int32_t size_count;              // entries of `sizes`
  uint64_t result_epoch;           // changes whenever `result` is replaced or released
  FetchScratch *fetch_scratch;
  PyObject *weakreflist;
};

extern PyTypeObject CursorType;

// The connection a cursor's calls claim (see connection/call_guard.h).
ConnectionObject *cursor_connection_of(PyObject *self);

// Raises OperationalError "The cursor object does not exist" and returns
// false when the cursor's connection is closed (or was given back to its
// pool since the cursor was made) or the cursor holds no handle.
bool cursor_precondition(CursorObject *self);

// Give the current result back to the library and reset the result state.
// Does nothing when there is no result.  Never fails.
void cursor_release_result(CursorObject *self);

// After a new result handle was stored: read its kind and counters, clear
// the released flag, force kind 4 when asked, apply the rowcount rule.
void cursor_refresh_result_info(CursorObject *self, bool force_rows);

// The state the result release leaves: released flag set, counters 0, kind
// -1, description emptied.  `result` itself is not touched.
void cursor_reset_result_state(CursorObject *self);

// Rowcount rule on its own (used where the counters are settled by hand).
void cursor_apply_rowcount_rule(CursorObject *self);

// Replace `description` (nullptr empties it).  Takes ownership of `value`.
void cursor_set_description(CursorObject *self, PyObject *value);

// --- cursor/description.cpp ---
// Rebuild `description` from the current result.  Raises (and returns
// false) only when the precondition fails.
bool cursor_build_description(CursorObject *self);

// --- cursor/registry.cpp ---
// Type code of parameter `pos` (0-based): declared, or inferred from
// `value`.  -1 with ProgrammingError set when it cannot be resolved; a
// declared negative code resolves to VESK_TYPE_NULL (no conversion).
int32_t cursor_resolve_type(CursorObject *self, PyObject *value, Py_ssize_t pos);
// Declared size of parameter `index`, or -1 when none is declared (also
// past the end of the list).
int32_t cursor_declared_size(const CursorObject *self, Py_ssize_t index);

// --- fetch/row.cpp ---
void fetch_scratch_free(FetchScratch *scratch);

}  // namespace vk

#endif
