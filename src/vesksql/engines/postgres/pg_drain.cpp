#include "pg_drain.h"

#include "core/sql_scan.h"

namespace vesk {
namespace pg {

const char kCopyNotSupported[] =
    "COPY to or from the client (FROM STDIN, TO STDOUT) is not supported: load rows with "
    "executebatch, read them with a query";

bool is_copy_result(const PGresult *r) {
  if (r == nullptr) return false;
  const ExecStatusType st = PQresultStatus(r);
  return st == PGRES_COPY_OUT || st == PGRES_COPY_IN || st == PGRES_COPY_BOTH;
}

bool end_copy(PGconn *conn, ExecStatusType st) {
  bool ok = true;
  if (st == PGRES_COPY_IN || st == PGRES_COPY_BOTH) {
    // The server fails the COPY with this text; nothing of it stays.
    ok = PQputCopyEnd(conn, kCopyNotSupported) >= 0;
    while (ok && PQisnonblocking(conn)) {
      const int f = PQflush(conn);
      if (f == 0) break;
      ok = f > 0 && PQconsumeInput(conn) == 1;
    }
  }
  if (st == PGRES_COPY_OUT || st == PGRES_COPY_BOTH) {
    char *buf = nullptr;
    int n;
    while ((n = PQgetCopyData(conn, &buf, 0)) > 0) PQfreemem(buf);
    ok = ok && n == -1;
  }
  return ok && PQstatus(conn) == CONNECTION_OK;
}

bool discard_results(PGconn *conn) {
  bool copy = false;
  int failed_ends = 0;
  while (PGresult *r = PQgetResult(conn)) {
    const ExecStatusType st = PQresultStatus(r);
    const bool is_copy = is_copy_result(r);
    PQclear(r);
    if (!is_copy) continue;
    copy = true;
    // A COPY that could not be ended comes back while libpq still thinks
    // the connection works; a second time, give up on it.
    if (!end_copy(conn, st) && ++failed_ends > 1) break;
  }
  return copy;
}

bool refuse_copy(PGconn *conn, const PGresult *r) {
  if (!is_copy_result(r)) return false;
  end_copy(conn, PQresultStatus(r));
  discard_results(conn);
  return true;
}

bool is_client_copy(const char *statement) {
  const char *p = skip_space(statement);
  const char *e = skip_token(p);
  if (!token_is(p, e, "COPY")) return false;
  // The direction is the first TO or FROM outside parentheses (a column
  // list, a query); the word after it names the client or a file.
  int depth = 0;
  for (p = skip_space(e); *p; p = skip_space(e)) {
    e = skip_token(p);
    if (*p == '(') {
      ++depth;
    } else if (*p == ')') {
      --depth;
    } else if (depth == 0 && (token_is(p, e, "TO") || token_is(p, e, "FROM"))) {
      const char *q = skip_space(e);
      const char *qe = skip_token(q);
      return token_is(q, qe, "STDIN") || token_is(q, qe, "STDOUT");
    }
  }
  return false;
}

}  // namespace pg
}  // namespace vesk
