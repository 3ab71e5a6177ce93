// The rows of a query read as they arrive, one at a time as the caller
// fetches them, so a query of any size holds one row in the library (the
// one just read; it is freed before the next is read, so its memory serves
// the next).  The rows come one of two ways:
//
//   - one result per row (libpq's single-row mode): the first run of any
//     statement, and every run of one with parameters;
//   - one line of COPY's text form per row: a query (SELECT, VALUES, TABLE)
//     without parameters whose text gave at least kCopyAfterRows rows on an
//     earlier run of this connection runs as "COPY (query) TO STDOUT", its
//     columns described beforehand in the same transaction (see
//     PgConn::run_copy).  libpq makes a whole result for each row of the
//     first way, and only a buffer for each line of the second: the lines
//     are much cheaper to read.  COPY's text form is each value's text as
//     the server prints it for a query, with backslash, tab, newline,
//     carriage return, backspace, form feed and vertical tab written as
//     escapes and NULL as \N; the escapes are undone in place, so both
//     ways deliver the same texts.
//
// While a stream is open its connection is busy: before the connection
// runs anything else it drains the stream, keeping the rest of the rows for
// the result (or dropping them when the result is gone).
#ifndef VESKSQL_PG_STREAM_H
#define VESKSQL_PG_STREAM_H

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "core/engine.h"
#include "pg_handles.h"
#include "pg_types.h"
#include "vesksql.h"

namespace vesk {
namespace pg {

// Rows a text must have given before its next runs read them through COPY.
constexpr size_t kCopyAfterRows = 1000;
// Texts a connection remembers as giving that many rows (the oldest goes).
constexpr size_t kCopyTextsKept = 32;

// The texts of one connection that gave many rows, most recent last.
using CopyTexts = std::vector<std::string>;
using CopyTextsPtr = std::shared_ptr<CopyTexts>;

bool is_copy_text(const CopyTexts &texts, const std::string &text);
void remember_copy_text(CopyTexts *texts, const std::string &text);

struct FreeMem {
  void operator()(char *p) const { PQfreemem(p); }
};
// One line of COPY's text form (without its newline), as libpq gave it.
struct CopyLine {
  std::unique_ptr<char, FreeMem> data;
  int32_t length = 0;
};

// What a stream's connection and its result share.
struct Stream {
  PGconn *conn = nullptr;          // while attached: rows still to come from the server
  bool copy = false;               // rows as COPY lines, else one result each
  std::vector<PgCol> cols;
  std::deque<PgResPtr> rows;       // rows read from the server, not yet handed out
  std::deque<CopyLine> lines;      // the same, as COPY lines
  std::string failure;             // a failure met while reading, reported by the next fetch
  std::string failure_state;
  // Where a run of single-row results that reaches kCopyAfterRows rows
  // records its text.
  CopyTextsPtr copy_texts;
  std::string text;
  size_t count = 0;

  bool attached() const { return conn != nullptr; }
  // The next row: a kept one, else the next from the server; empty at the
  // end of the rows or on a failure (then detached, `failure` set).
  PgResPtr next_row();
  bool next_line(CopyLine *line);
  // Read every row still to come into `rows` (or `lines`).
  void pull_all();

 private:
  PgResPtr read_row();
  bool read_line(CopyLine *line);
  // The end of a COPY: its closing result (a failure, or the row count).
  void finish_copy();
  void fail_with(PGresult *r);
};
using StreamPtr = std::shared_ptr<Stream>;

// Start reading the rows of the query just sent (in single-row mode) whose
// first row is `first`.
StreamPtr open_stream(PGconn *conn, PgResPtr first);
// A stream of the lines of a COPY of the columns `described` (the
// description of its query); `conn` is null when the COPY has ended (the
// caller keeps the lines it read in `lines`).
StreamPtr open_copy_stream(PGconn *conn, const PGresult *described);

// Drain a stream that is still attached: keep its rows while a result
// reads them (`keep`), else drop them.
void drain(const StreamPtr &stream, bool keep);

class PgStreamResult : public EngineResult {
 public:
  PgStreamResult(ErrorSlotPtr errors, StreamPtr stream)
      : errors_(std::move(errors)), stream_(std::move(stream)) {}
  ~PgStreamResult() override { drain(stream_, false); }
  int kind() const override { return VESK_KIND_ROWS; }
  Counters counters() const override;
  int fetch_row() override;
  int next_result() override { return VESK_NO_DATA; }
  int column_count() const override { return static_cast<int>(stream_->cols.size()); }
  const std::string *column_name(int32_t col) const override;
  int column_type(int32_t col, int32_t *type) override;
  int column_size(int32_t col, int32_t *size) override;
  int column_index(const char *name) const override;
  int get_field(int32_t col, int32_t type, void *buf, int32_t cap, int32_t *len) override;

 private:
  const PgCol *col_info(int32_t col) const;
  int fail(const std::string &text, const char *state);
  // The cells of the current COPY line; false when it does not hold one
  // field per column.
  bool split_line();

  // One cell of the current row, read once per row.
  struct Cell {
    const char *value;
    int32_t length;
    bool null;
  };

  ErrorSlotPtr errors_;
  StreamPtr stream_;
  bool at_row_ = false;      // a current row is there
  PgResPtr row_;             // the current row (one result each)
  CopyLine line_;            // the current row (COPY lines)
  std::vector<Cell> cells_;  // its cells, reused from row to row
  std::string err_;          // a refused delivery's text
};

}  // namespace pg
}  // namespace vesk

#endif
