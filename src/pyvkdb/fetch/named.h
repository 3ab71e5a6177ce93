// Named server cursors read in batches: the batch step, the refill and the
// end of a named cursor.
#ifndef PYVKDB_FETCH_NAMED_H
#define PYVKDB_FETCH_NAMED_H

#include "cursor/cursor.h"

namespace vk {

inline bool is_named_result(const CursorObject *self) {
  return self->cursor_name != nullptr || (self->flags & kNamedCursorOpen) != 0;
}

// Make the server cursor `name` (n bytes, below kCursorNameSize) that a
// routine returned the cursor's current result: a named cursor held before
// is closed first, the first batch is opened, the counters and the
// description follow it.  False with OperationalError (the library's text)
// when the open fails; the named cursor is closed then.
bool named_cursor_open(CursorObject *self, const char *name, size_t n);

// Close the current batch and open the next one by the cursor's name; the
// batch counter takes its row count.  An open that fails ends the named
// cursor, and its error waits for take_named_failure.
void named_batch_refill(CursorObject *self);

// One row of the current batch was read (or its read failed): count it, and
// refill when the batch is used up.  A pending Python error is kept.
void named_batch_step(CursorObject *self);

// The named cursor has no rows left: release the result, and close the named
// cursor even when the last (empty) batch left no result handle.
void named_cursor_finish(CursorObject *self);

// True once after a refill found the last batch empty and left no result
// handle.  The cursor was finished there and then (so no later statement
// can inherit the named-cursor state); the next fetch still reports the end
// of the rows, as it does when the empty batch left a handle behind.
bool take_named_end(CursorObject *self);

// True once, with the library's error raised, when the named cursor ended
// because its next batch could not be opened: that end is a failure, never
// the end of the rows.  Checked before take_named_end.
bool take_named_failure(CursorObject *self);

}  // namespace vk

#endif
