/*
 * vesksql.h -- the C interface of the vesksql client library.
 *
 * This header is the only thing the Python module knows about the library.
 * Every operation takes the ADDRESS of the variable holding a handle (H for a
 * connection, R for a result), never the handle itself; an empty (NULL)
 * handle means "no connection" / "no result".  Handles are opaque.
 *
 * Conventions
 *   - All texts are zero-terminated UTF-8 unless a length says otherwise.
 *   - Results are signed 32-bit: negative means failure (VESK_ERROR, or
 *     VESK_LOST for a connection that is gone).  A few operations have codes
 *     of their own, listed at each declaration.
 *   - The library never writes more than the documented capacity into a
 *     caller's buffer, whether or not the caller passes that capacity.
 *   - Binding copies the value during the call: the caller may reuse or free
 *     the buffer and the length cell as soon as the bind returns (except
 *     the outputs of a routine statement: see cli_exec_routine).
 *   - The last error of a connection is kept per connection and read with
 *     cli_error_text.  A failure that has no connection (a refused connect)
 *     is kept per thread and read with cli_error_text on an empty handle.
 *     Beside each text the library keeps a five-character SQLSTATE, read
 *     with cli_sqlstate the same way.
 *   - Constants below are part of the ABI and are never renumbered.
 *
 * Engines
 *   The connect string's IP field chooses the engine when a connection opens:
 *   an empty host opens the embedded engine (an SQLite database file named by
 *   DB, or ":memory:"); any other host is for the PostgreSQL engine.
 */
#ifndef VESKSQL_H
#define VESKSQL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#  define VESK_API __declspec(dllexport)
#else
#  define VESK_API __attribute__((visibility("default")))
#endif

typedef struct vesk_conn vesk_conn;             /* one open connection */
typedef struct vesk_result vesk_result;         /* one result */
typedef struct vesk_addr_attrs vesk_addr_attrs; /* address attributes of a multi-address connect */
typedef struct vesk_lob vesk_lob;               /* large-object locator */

/* ---- result codes ---------------------------------------------------- */
#define VESK_OK        0
#define VESK_ERROR    (-1)
#define VESK_LOST     (-4)   /* the connection is gone (cli_exec_command) */
#define VESK_NO_DATA   100   /* no further row / no further result set */

/* ---- lengths --------------------------------------------------------- */
#define VESK_NULL_LENGTH (-1) /* cli_get_field: the value is SQL NULL */

/* ---- result kinds (cli_sql_kind, cli_result_info) -------------------- */
#define VESK_KIND_NONE     (-1)  /* no result */
#define VESK_KIND_NO_ROWS    1   /* a statement that returns no rows */
#define VESK_KIND_ROWS       4   /* a query */
#define VESK_KIND_MULTI      9   /* a text holding several statements */
#define VESK_KIND_SINGLE    10   /* a result that is read one row at a time */

/* ---- type codes ------------------------------------------------------ */
#define VESK_TYPE_NULL        0
#define VESK_TYPE_BOOLEAN     1
#define VESK_TYPE_VARCHAR     2
#define VESK_TYPE_TINYINT     3
#define VESK_TYPE_SMALLINT    4
#define VESK_TYPE_INTEGER     5
#define VESK_TYPE_BIGINT      6
#define VESK_TYPE_FLOAT       7
#define VESK_TYPE_DOUBLE      8
#define VESK_TYPE_NUMERIC     9
#define VESK_TYPE_DATE       10
#define VESK_TYPE_TIME       11
#define VESK_TYPE_TIME_TZ    12
#define VESK_TYPE_DATETIME   13
#define VESK_TYPE_DATETIME_TZ 14
#define VESK_TYPE_BINARY     15
#define VESK_TYPE_VARBINARY  18
#define VESK_TYPE_DATETIME_MS 23 /* int64 milliseconds since 1970-01-01 00:00:00, no zone */
#define VESK_TYPE_INTERVAL_YM 28 /* int32 months */
#define VESK_TYPE_INTERVAL_DS 31 /* int64 microseconds */
#define VESK_TYPE_CLOB_OLD   40
#define VESK_TYPE_CLOB       41
#define VESK_TYPE_BLOB       42
#define VESK_TYPE_REFCURSOR  58
#define VESK_TYPE_CHAR       62
#define VESK_TYPE_NCHAR      63
#define VESK_TYPE_TEXT       69

/* ---- direction codes (cli_bind_param) -------------------------------- */
#define VESK_PARAM_IN      1  /* input: the value is copied at the bind */
#define VESK_PARAM_OUT     2  /* output of a routine: NULL is sent, the value comes back */
#define VESK_PARAM_INOUT   3  /* both: the value is sent and the routine's comes back */
#define VESK_PARAM_RETURN  6  /* a function's return value, bound after its parameters */

/* ---- capacities the library respects where the caller passes none ---- */
#define VESK_COLUMN_NAME_CAP  128  /* cli_column_name: bytes written, zero included */
#define VESK_ERROR_TEXT_CAP   256  /* cli_error_text:  bytes written, zero included */
#define VESK_ROWID_CAP         33  /* cli_get_rowid:   bytes written, zero included */
#define VESK_SQLSTATE_CAP       6  /* cli_sqlstate:    bytes written, zero included */

/* ======================================================================
 * Waits and threads
 *
 * Threads: the library may be used from several threads at once, each
 * connection (and the results and locators made from it) by one thread at
 * a time.  Nothing the library keeps outside a connection is shared
 * unguarded: the text of a failed connect is kept per thread.
 *
 * Waits: some operations block for a while: the embedded engine while
 * another connection holds a lock it needs (it retries for up to its busy
 * timeout), the server engine on every round trip.  Around each such wait
 * the library calls the pair registered here, on the calling thread:
 * begin() right before it blocks and end(token), with what begin returned,
 * as soon as it is done.  Between the two the library reads or writes no
 * memory its caller passed in (buffers, length cells, handle variables) and
 * calls back into nothing else, so the caller may let other work of its
 * own run meanwhile (the Python module lets other threads take the
 * interpreter lock).  The pair is process-wide: register it once, before
 * the first connection opens; (NULL, NULL) removes it.
 * ==================================================================== */
typedef void *(*vesk_wait_begin_fn)(void);
typedef void (*vesk_wait_end_fn)(void *token);
VESK_API void vesk_set_wait_callbacks(vesk_wait_begin_fn begin, vesk_wait_end_fn end);

/* ======================================================================
 * Connections
 * ==================================================================== */

/* Open a connection from a connect string of the form
 *   "IP=%s; DB=%s; USER=%s; PWD=%s; PORT=%d; CHAR_SET=%s;USESSL=%s;"
 * Fields are separated by ";", each "KEY=value"; blanks after a ";" are
 * skipped.  A value runs to the next ";" that is followed by a known key and
 * "=", or to the end; a value that would make the string ambiguous is refused
 * (VESK_ERROR, with a text saying which field).  On success *h holds the new
 * handle and the result is VESK_OK; on failure *h is left empty. */
VESK_API int cli_connect(const char *connstr, vesk_conn **h);

/* The same for a comma-separated host list in IP: the hosts are tried in
 * order and the first that answers is used.  `flag` is 1.  *attrs receives
 * the address-attribute set (freed with cli_free_addr_attrs). */
VESK_API int cli_connect_multi(const char *connstr, int flag,
                               vesk_addr_attrs **attrs, vesk_conn **h);

/* Close the connection and empty *h.  An empty handle is accepted (VESK_OK).
 * Returns -1 only when h itself is NULL. */
VESK_API int cli_disconnect(vesk_conn **h);

/* Free an address-attribute set and empty *attrs; -1 when attrs is NULL. */
VESK_API int cli_free_addr_attrs(vesk_addr_attrs **attrs);

/* Reopen the connection with the parameters it was opened with; *h keeps or
 * receives the live handle.  Negative on failure. */
VESK_API int cli_reconnect(vesk_conn **h);

/* Run one control statement (transactions, autocommit, liveness check,
 * database switch).  VESK_LOST on an empty or closed handle. */
VESK_API int cli_exec_command(vesk_conn **h, const char *sql);

/* Copy the last error text of the connection (or, for an empty handle, the
 * calling thread's last connect failure) into buf: at most
 * VESK_ERROR_TEXT_CAP bytes including the terminating zero, cut on a UTF-8
 * character boundary.  *len receives the number of bytes copied into buf,
 * not counting the terminating zero (0 when buf is NULL): it is always below
 * VESK_ERROR_TEXT_CAP, and buf[*len] is the zero.  For a text that was
 * cut it is the length after the cut.  Returns VESK_OK. */
VESK_API int cli_error_text(vesk_conn **h, char *buf, int32_t *len);

/* Copy the SQLSTATE of the last failure of the connection (or, for an empty
 * handle, of the calling thread's last connect failure) into buf: five
 * characters and the terminating zero, VESK_SQLSTATE_CAP bytes at most, or
 * an empty text when no failure has happened yet.  A success leaves it as
 * it was, like the error text.  "HY000" when no closer code is known.
 * Nothing is written when buf is NULL.  Returns VESK_OK. */
VESK_API int cli_sqlstate(vesk_conn **h, char *buf);

/* ======================================================================
 * Statements
 * ==================================================================== */

/* Drop every parameter bound on the connection. */
VESK_API int cli_reset_params(vesk_conn **h);

/* Classify SQL text without a connection: VESK_KIND_ROWS for a statement
 * that returns rows, VESK_KIND_MULTI for a text of several statements,
 * VESK_KIND_NO_ROWS for any other statement. */
VESK_API int cli_sql_kind(const char *sql);

/* Run SQL text with the parameters bound on the connection.  For a text
 * that yields rows *r receives a result handle (else it is left empty).
 * The three counters receive: second = 0, rowcount = rows changed (or -1
 * for a query), third = rows changed.  Negative on failure. */
VESK_API int cli_exec_direct(vesk_conn **h, const char *sql, vesk_result **r,
                             int32_t *second, int32_t *rowcount, int32_t *third);

/* Prepare one statement on the connection (replacing a statement prepared
 * before).  `zero` is 0. */
VESK_API int cli_prepare(vesk_conn **h, const char *sql, int zero);

/* Run the prepared statement with the parameters bound now; *r as for
 * cli_exec_direct.  The two zero arguments are 0. */
VESK_API int cli_exec_prepared(vesk_conn **h, int zero1, int zero2,
                               vesk_result **r);

/* Wait for every run of the prepared statement still under way and report
 * the first failure among them.  Inside a transaction the library may send
 * runs of a prepared statement that returns no rows ahead, without waiting
 * for each (the server's answers come back together), and cli_exec_prepared
 * then returns VESK_OK at once; its failure is reported here (or by the next
 * operation on the connection, whatever it is), with an error text naming
 * the run, counted from 1 since the prepare.  VESK_OK when every run
 * succeeded or nothing is under way. */
VESK_API int cli_exec_flush(vesk_conn **h);

/* Give back the prepared statement.  `reserved` is NULL. */
VESK_API int cli_unprepare(vesk_conn **h, void *reserved);

/* Run the statement once per row of the arrays bound with cli_bind_array,
 * as one atomic step: every row is applied or none is.  The error text of a
 * failure names the failing row (counted from 1).  The bound columns are
 * given up when the batch has run, whatever its outcome: a second batch
 * binds its columns afresh. */
VESK_API int cli_exec_batch(vesk_conn **h, const char *sql, int32_t rows);

/* Run a routine statement: "execute name" or "execute name(?,...)", where
 * name is a routine's name, optionally schema-qualified ("s.name"), each
 * part a plain or double-quoted identifier, and each "?" takes the value
 * bound at its position (a position left unbound sends NULL).
 *
 * Outputs: every position bound with direction VESK_PARAM_OUT or
 * VESK_PARAM_INOUT receives the routine's value for that parameter, and the
 * position bound with VESK_PARAM_RETURN (after the parameters) a function's
 * return value.  They are written into the buffer and length cell given to
 * cli_bind_param, which the caller keeps valid until this call returns;
 * nothing beyond the buffer length given there is ever written.  The form
 * follows the type code bound:
 *   NULL                          *len = 0
 *   BOOLEAN                       1 or 0: int32 when the buffer length is at
 *                                 least 4, else one byte
 *   TINYINT, SMALLINT, INTEGER, BIGINT, FLOAT, DOUBLE
 *                                 the number at the width of the code;
 *                                 *len = that width
 *   NUMERIC                       its decimal text (the shortest text of
 *                                 the nearest double when the exact text
 *                                 does not fit), then a zero byte
 *   every other code              the value's text (the bytes of a binary
 *                                 value), then a zero byte; *len = its
 *                                 length.  A value longer than the buffer
 *                                 length - 1 is cut and *len still gives its
 *                                 whole length, so the caller can tell.
 *                                 An empty value is one zero byte, *len = 1.
 * A value that cannot be read under its code (a text at an INTEGER
 * position, a number out of its type's range) fails the call with a text
 * naming the position.  The bindings' output buffers are forgotten when
 * this call returns, whatever its outcome.
 *
 * Engines: the server engine calls a procedure (CALL) or a function by the
 * routine it finds under that name with that many parameters; a refcursor
 * that comes back is a server cursor the caller reads by its name with
 * cli_open_named_cursor until cli_close_named_cursor closes it (in
 * autocommit mode the library keeps a transaction open for it until then).
 * The embedded engine has no procedures: a call without a return value is
 * refused (SQLSTATE 0A000), and a function call runs the SQL function of
 * that name ("SELECT name(?,...)").
 * `result` is an empty result handle; it is not written. */
VESK_API int cli_exec_routine(vesk_conn **h, const char *stmt, vesk_result *result);

/* ======================================================================
 * Binding
 * ==================================================================== */

/* Bind one parameter by position (from 1) with a direction code (above;
 * anything but VESK_PARAM_IN is for a routine statement, and any other
 * execution refuses it).  The value is read from buf according to `type`,
 * and nothing is ever read at or past buf + buflen, whatever *len says; a
 * negative buflen holds nothing; *len == VESK_NULL_LENGTH sends NULL:
 *   BOOLEAN              int32 (buflen >= 4), or one byte (buflen 1 to 3)
 *   INTEGER              int32 (buflen >= 4)    TINYINT  int8   (buflen >= 1)
 *   SMALLINT             int16 (buflen >= 2)    FLOAT    float  (buflen >= 4)
 *   BIGINT               int64 (buflen >= 8)    DOUBLE   double (buflen >= 8)
 *   VARCHAR, CHAR, NCHAR, TEXT, CLOB
 *                        text of strnlen(buf, min(*len, buflen)) bytes
 *   NUMERIC              the exact decimal text of a number ("1234.5600"),
 *                        read as for VARCHAR and kept as that text
 *   DATE, TIME, DATETIME text of strnlen(buf, buflen) bytes
 *   BINARY, VARBINARY, BLOB  min(*len, buflen) bytes
 *   NULL (or buf NULL)   SQL NULL
 * Without a length cell (len NULL) buflen stands for *len.  A text or
 * binary value with nothing to read (*len <= 0, buflen <= 0) is the empty
 * value, not NULL.  A buffer too small for a number's width, or a code not
 * listed, is refused: VESK_ERROR now, and the next execution fails with the
 * same text.
 * Every placeholder of the statement run next must get a value, by its
 * position or by its name: a statement with a placeholder that has none is
 * refused before anything of it runs. */
VESK_API int cli_bind_param(vesk_conn **h, int32_t pos, int32_t direction,
                            int32_t type, void *buf, int32_t buflen, int32_t *len);

/* Bind one parameter by name; value rules as for cli_bind_param.
 * `reserved` is NULL. */
VESK_API int cli_bind_param_named(vesk_conn **h, const char *name,
                                  int32_t direction, int32_t type, void *buf,
                                  int32_t buflen, void *reserved, int32_t *len);

/* Bind a whole column for cli_exec_batch.  `count` elements; `data` holds
 * either `count` fixed-width values of `width` bytes (BOOLEAN/INTEGER 4,
 * BIGINT/DOUBLE 8) or, for the text codes (VARCHAR, CHAR, TEXT, CLOB, and
 * NUMERIC for a column of exact decimal texts such as "1234.5600", kept as
 * text), the date-time codes and BINARY, packed records (an int32 length in
 * native byte order followed by that many bytes) taking `width` bytes in
 * all; no record may run past `width`.  lens[i] is element i's length;
 * 0 means NULL.  A text record reads up to its first zero byte, so an empty
 * text is the record of one zero byte.  A BINARY record of no bytes under
 * a non-zero lens[i] is the empty value.  The data are copied during the
 * call; `lens` is copied too.  Every placeholder of the batch's statement
 * needs a column at its position: a batch of one or more rows with a
 * placeholder that has none is refused before any row is applied. */
VESK_API int cli_bind_array(vesk_conn **h, int32_t pos, int32_t columns,
                            int32_t direction, int32_t type, int32_t count,
                            const void *data, int32_t width, const int32_t *lens);

/* ======================================================================
 * Results
 * ==================================================================== */

/* Report the kind and counters of a result (as for cli_exec_direct).
 * A result with rows reports VESK_KIND_ROWS, also for the result sets of a
 * text of several statements.  An empty handle gives VESK_ERROR and leaves
 * the cells untouched.  `reserved` is NULL. */
VESK_API int cli_result_info(vesk_result **r, int32_t *kind, int32_t *second,
                             int32_t *rowcount, int32_t *third, void *reserved);

/* Close a result and empty *r.  An empty handle is accepted. */
VESK_API int cli_free_result(vesk_result **r);

/* Move to the next result set: VESK_OK moved, VESK_NO_DATA none left,
 * anything else failure. */
VESK_API int cli_next_result(vesk_result **r);

/* Move to the next row: VESK_OK a row is current, VESK_NO_DATA no more
 * rows, negative failure. */
VESK_API int cli_fetch_row(vesk_result **r);

/* Open the next batch of a named server cursor into *r; returns the number
 * of rows in it (0 when there are none). */
VESK_API int cli_open_named_cursor(vesk_conn **h, const char *name, vesk_result **r);
VESK_API int cli_close_named_cursor(vesk_conn **h, const char *name);

VESK_API int cli_column_count(vesk_result **r, int32_t *count);

/* Write column `col`'s name (from 1) into buf: at most VESK_COLUMN_NAME_CAP
 * bytes including the zero, cut on a UTF-8 character boundary.  -1 when
 * there is no such column. */
VESK_API int cli_column_name(vesk_result **r, int32_t col, char *buf);

/* The column's type code.  While a row is current this is the code under
 * which that row's value comes back whole (a value that does not fit its
 * column's declared code is reported under the code that carries it, e.g.
 * a long text as CLOB); before the first row it is the declared code. */
VESK_API int cli_column_type(vesk_result **r, int32_t col, int32_t *type);

/* The column's raw size: characters for VARCHAR/CHAR (-1 unbounded),
 * precision << 16 | scale for NUMERIC, bytes otherwise. */
VESK_API int cli_column_size(vesk_result **r, int32_t col, int32_t *size);

/* The column number (from 1) of the column called `name`, 0 for none. */
VESK_API int cli_column_index(vesk_result **r, const char *name);

/* The identifier of the last inserted row as text: at most VESK_ROWID_CAP
 * bytes including the zero.  -1 on failure. */
VESK_API int cli_get_rowid(vesk_conn **h, char *buf);

/* Deliver the current row's value of column `col` as type `type` into buf
 * (capacity `cap` bytes).  *len receives the value's length in bytes;
 * NULL is delivered as *len = VESK_NULL_LENGTH with nothing written.  The
 * library writes at most min(*len, cap) bytes and nothing more: texts for
 * VARCHAR, CHAR and TEXT may fill cap (their buffers hold one more byte);
 * texts for the fixed-size codes (NUMERIC, DATE, TIME, DATETIME and the
 * others) take at most cap - 1 bytes so they stay zero-terminated; a cut
 * text never splits a UTF-8 character.  An empty text is delivered as one
 * zero byte with *len 1.  Fixed-width numbers need cap >= their width
 * (else negative, nothing written).  For CLOB, BLOB and BINARY, buf is the
 * address of a locator made by cli_lob_create, which receives the value;
 * *len is its length (0 for an empty BLOB). */
VESK_API int cli_get_field(vesk_result **r, int32_t col, int32_t type,
                           void *buf, int32_t cap, int32_t *len);

/* ======================================================================
 * Large objects
 * ==================================================================== */
VESK_API int cli_lob_create(vesk_lob **loc);
/* Copy the first `len` bytes of the object into buf (fewer when the object is
 * shorter). */
VESK_API int cli_lob_read(vesk_lob **loc, void *buf, int32_t len);
/* Release the locator and empty *loc; an empty locator is accepted. */
VESK_API int cli_lob_free(vesk_lob **loc);

#ifdef __cplusplus
}
#endif
#endif /* VESKSQL_H */
