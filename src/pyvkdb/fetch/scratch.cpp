// The cursor's fetch scratch: reusable buffers and the column size cache.
#include "fetch/scratch.h"

#include <new>

namespace vk {

namespace {
// Blocks larger than this are given back after the cell that needed them.
constexpr size_t kKeepLimit = (size_t{4} << 20) + 1;
constexpr int32_t kSizeUnknown = INT32_MIN;  // also in fetch_column_size (scratch.h)
}  // namespace

char *GrowBuffer::grow(size_t n) {
  if (n == 0) n = 1;
  if (block_ && size_ >= n) return block_.get();
  // Grow geometrically so a slowly rising need does not reallocate per cell.
  size_t want = n;
  if (size_ > 0 && want < size_ + size_ / 2 && size_ + size_ / 2 <= kKeepLimit) {
    want = size_ + size_ / 2;
  }
  block_.reset();
  size_ = 0;
  char *p = static_cast<char *>(std::malloc(want));
  if (p == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  block_.reset(p);
  size_ = want;
  return p;
}

void GrowBuffer::trim() {
  if (size_ > kKeepLimit) {
    block_.reset();
    size_ = 0;
  }
}

FetchScratch *fetch_scratch_of(CursorObject *self) {
  if (self->fetch_scratch == nullptr) {
    self->fetch_scratch = new (std::nothrow) FetchScratch();
    if (self->fetch_scratch == nullptr) PyErr_NoMemory();
  }
  return self->fetch_scratch;
}

void fetch_scratch_free(FetchScratch *scratch) { delete scratch; }

int32_t fetch_column_size_slow(CursorObject *self, FetchScratch *scratch, int32_t col,
                               int32_t code) {
  using Slot = FetchScratch::SizeSlot;
  if (scratch->sizes_epoch != self->result_epoch || scratch->sizes_result != self->result) {
    for (int32_t i = 0; i < scratch->size_slots; ++i) scratch->sizes[i] = Slot{kSizeUnknown, 0};
    scratch->sizes_epoch = self->result_epoch;
    scratch->sizes_result = self->result;
  }
  if (col > scratch->size_slots && col >= 1) {
    int32_t slots = col < 16 ? 16 : col;
    HeapBlock<Slot> grown(static_cast<Slot *>(std::malloc(sizeof(Slot) * slots)));
    if (grown) {
      for (int32_t i = 0; i < slots; ++i) {
        grown[i] = i < scratch->size_slots ? scratch->sizes[i] : Slot{kSizeUnknown, 0};
      }
      scratch->sizes = std::move(grown);
      scratch->size_slots = slots;
    }
  }
  if (col < 1 || col > scratch->size_slots) {
    // No cache slot: ask the library every time rather than fail the fetch.
    int32_t size = 0;
    cli_column_size(&self->result, col, &size);
    return size;
  }
  Slot &slot = scratch->sizes[col - 1];
  if (slot.code != code || code == kSizeUnknown) {
    int32_t size = 0;
    cli_column_size(&self->result, col, &size);
    slot = Slot{code, size};
  }
  return slot.size;
}

}  // namespace vk
