// text.cpp -- bounded writes of texts into a caller's buffer.
#include <cstring>

#include "engine.h"

namespace vks {

std::string fit_text(const Text &t, size_t cap) {
  if (cap == 0) return std::string();
  const size_t room = cap - 1;
  if (t.bytes.size() <= room) return t.bytes;
  size_t cut = room;
  if (t.from_str) {
    // Step back over continuation bytes so no character is split.
    while (cut > 0 && (static_cast<unsigned char>(t.bytes[cut]) & 0xC0) == 0x80)
      --cut;
  }
  return t.bytes.substr(0, cut);
}

size_t write_text(char *buf, size_t cap, const Text &t) {
  if (buf == nullptr || cap == 0) return 0;
  const std::string fitted = fit_text(t, cap);
  std::memcpy(buf, fitted.data(), fitted.size());
  buf[fitted.size()] = '\0';
  return fitted.size();
}

uintptr_t read_handle(const void *addr) {
  uintptr_t v = 0;
  if (addr != nullptr) std::memcpy(&v, addr, sizeof v);
  return v;
}

void write_handle(void *addr, uintptr_t value) {
  if (addr != nullptr) std::memcpy(addr, &value, sizeof value);
}

}  // namespace vks
