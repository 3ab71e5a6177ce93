#include "wait.h"

#include <atomic>

#include "vesksql.h"

namespace {

// Registered once, before the first connection opens (vesksql.h).
std::atomic<vesk_wait_begin_fn> g_begin{nullptr};
std::atomic<vesk_wait_end_fn> g_end{nullptr};

}  // namespace

extern "C" VESK_API void vesk_set_wait_callbacks(vesk_wait_begin_fn begin, vesk_wait_end_fn end) {
  if (begin == nullptr || end == nullptr) begin = nullptr, end = nullptr;
  g_end.store(end, std::memory_order_release);
  g_begin.store(begin, std::memory_order_release);
}

namespace vesk {

WaitScope::WaitScope() {
  vesk_wait_begin_fn begin = g_begin.load(std::memory_order_acquire);
  end_ = g_end.load(std::memory_order_acquire);
  if (begin == nullptr || end_ == nullptr) return;
  token_ = begin();
  begun_ = true;
}

WaitScope::~WaitScope() {
  if (begun_) end_(token_);
}

}  // namespace vesk
