// Owning wrappers of libpq's handles, and the one place that runs a
// blocking libpq call as a wait of vesksql.h.
#ifndef VESKSQL_PG_HANDLES_H
#define VESKSQL_PG_HANDLES_H

#include <libpq-fe.h>

#include <memory>
#include <string>

#include "core/wait.h"

namespace vesk {
namespace pg {

struct ConnCloser {
  void operator()(PGconn *c) const { PQfinish(c); }
};
using PgConnPtr = std::unique_ptr<PGconn, ConnCloser>;

struct ResultClearer {
  void operator()(PGresult *r) const { PQclear(r); }
};
using PgResPtr = std::unique_ptr<PGresult, ResultClearer>;

// Run a blocking libpq call with the caller's wait callbacks around it.
// Whatever `call` reads must be the library's own (copies of the caller's
// texts and values), since the caller's other threads run meanwhile.
template <typename F>
auto blocking(F &&call) -> decltype(call()) {
  WaitScope wait;
  return call();
}

// The server's message without its final newline.
std::string trimmed_message(const char *msg);

}  // namespace pg
}  // namespace vesk

#endif
