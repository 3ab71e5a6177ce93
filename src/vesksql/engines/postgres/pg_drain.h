// Reading off what a command left on a connection.  libpq answers a COPY
// with a result that stays current until the COPY ends: a loop on
// PQgetResult would see it forever.  The library never asks for a COPY to
// or from the client through a caller's text, so one that starts anyway is
// ended here (rows coming to the client read and dropped, rows the server
// waits for refused) and the statement is reported as not supported.
#ifndef VESKSQL_PG_DRAIN_H
#define VESKSQL_PG_DRAIN_H

#include <libpq-fe.h>

namespace vesk {
namespace pg {

// The text of a COPY the library ended.
extern const char kCopyNotSupported[];

// Whether `r` is the start of a COPY to or from the client.
bool is_copy_result(const PGresult *r);

// End the COPY that result status `st` started: read and drop what comes to
// the client, refuse what the server waits for.  False when the connection
// could not take that (it is then broken).  Waits: call inside blocking().
bool end_copy(PGconn *conn, ExecStatusType st);

// Read and drop every result still to come for the command in progress,
// ending any COPY among them.  Ends on every status and on a lost
// connection.  True when a COPY was met.  Waits: call inside blocking().
bool discard_results(PGconn *conn);

// After a result `r` of a command (PQexec and the like): when it started a
// COPY, end it and read off the rest; true then.
bool refuse_copy(PGconn *conn, const PGresult *r);

// Whether a statement's text is a COPY to or from the client
// ("COPY ... FROM STDIN", "COPY ... TO STDOUT").
bool is_client_copy(const char *statement);

}  // namespace pg
}  // namespace vesk

#endif
