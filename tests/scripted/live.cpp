// live.cpp -- bookkeeping of what the module holds of the library, so a test
// can tell that every connection, result, address set, prepared statement
// and named server cursor it took was given back.
#include <string>

#include "engine.h"

namespace vks {
namespace {

std::string named_key(uintptr_t conn, const char *name) {
  return std::to_string(conn) + ":" + (name != nullptr ? name : "");
}

}  // namespace

void live_conn_opened(uintptr_t h) {
  if (h != 0) engine().live.conns.insert(h);
}

void live_conn_closed(uintptr_t h) {
  if (h == 0) return;
  Live &live = engine().live;
  live.conns.erase(h);
  // The library gives back what hangs on a connection when it closes.
  live.prepared.erase(h);
  const std::string prefix = std::to_string(h) + ":";
  for (auto it = live.named.begin(); it != live.named.end();) {
    if (it->compare(0, prefix.size(), prefix) == 0)
      it = live.named.erase(it);
    else
      ++it;
  }
}

void live_named(uintptr_t conn, const char *name, bool open) {
  if (open)
    engine().live.named.insert(named_key(conn, name));
  else
    engine().live.named.erase(named_key(conn, name));
}

}  // namespace vks
