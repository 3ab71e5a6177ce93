// Working storage of the row conversion, kept by the cursor between rows:
// the reusable text and large-object buffers and the per-result cache of
// column raw sizes.
#ifndef PYVKDB_FETCH_SCRATCH_H
#define PYVKDB_FETCH_SCRATCH_H

#include <cstddef>
#include <cstdint>

#include "cursor/cursor.h"
#include "module/pyref.h"

namespace vk {

// A heap buffer that only grows (up to a retention limit) and is never
// zero-filled as a whole: the library writes exactly the bytes it reports.
class GrowBuffer {
 public:
  // At least `n` bytes; nullptr with MemoryError set when that fails.
  char *reserve(size_t n) {
    if (block_ && size_ >= n) return block_.get();
    return grow(n);
  }
  // Drop the block when it grew past what is worth keeping between cells.
  void trim();

 private:
  char *grow(size_t n);

  HeapBlock<char> block_;
  size_t size_ = 0;
};

struct FetchScratch {
  GrowBuffer text;  // text-like cells (codes 2, 9, 10, 11, 13, 62, 69 and the 400-byte path)
  GrowBuffer lob;   // large-object text (code 41)

  // Raw sizes of the columns of the result they were read for, each with
  // the type code it was reported under (the library may report another
  // size for a cell that comes back under another code).
  struct SizeSlot {
    int32_t code;
    int32_t size;
  };
  HeapBlock<SizeSlot> sizes;
  int32_t size_slots = 0;
  uint64_t sizes_epoch = 0;
  const vesk_result *sizes_result = nullptr;

  // A named cursor that ended at a refill without a result handle: the next
  // fetch reports its end once (see named.h).
  bool named_end_pending = false;
  uint64_t named_end_epoch = 0;

  // A named cursor whose next batch could not be opened (the connection
  // went away between two batches) ended there too: the library's error,
  // kept here, is raised by the fetch that meets that end (see named.h).
  PyRef named_failure;
  uint64_t named_failure_epoch = 0;
};

// The cursor's scratch, made on first use; nullptr with MemoryError set
// when it cannot be made.
FetchScratch *fetch_scratch_of(CursorObject *self);

// Raw size of column `col` (from 1) of the current result for a cell of type
// `code`, asked of the library once per column, code and result.
int32_t fetch_column_size_slow(CursorObject *self, FetchScratch *scratch, int32_t col,
                               int32_t code);
inline int32_t fetch_column_size(CursorObject *self, FetchScratch *scratch, int32_t col,
                                 int32_t code) {
  // Every cell of a column after the first: the size is known.
  if (scratch->sizes_epoch == self->result_epoch && scratch->sizes_result == self->result &&
      col >= 1 && col <= scratch->size_slots) {
    const FetchScratch::SizeSlot &slot = scratch->sizes[col - 1];
    if (slot.code == code && code != INT32_MIN) return slot.size;
  }
  return fetch_column_size_slow(self, scratch, col, code);
}

}  // namespace vk

#endif
