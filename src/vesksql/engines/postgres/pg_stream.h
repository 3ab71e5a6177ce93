// The rows of a query read as they arrive, one at a time as the caller
// fetches them (libpq's single-row mode), so a query of any size holds one
// row in the library (the one just read; it is freed before the next is
// read, so its memory serves the next).  While a stream is open its
// connection is busy: before the connection runs anything else it drains
// the stream, keeping the rest of the rows for the result (or dropping them
// when the result is gone).
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

// What a stream's connection and its result share.
struct Stream {
  PGconn *conn = nullptr;          // while attached: rows still to come from the server
  std::vector<PgCol> cols;
  std::deque<PgResPtr> rows;       // rows read from the server, not yet handed out
  std::string failure;             // a failure met while reading, reported by the next fetch
  std::string failure_state;

  bool attached() const { return conn != nullptr; }
  // The next row: a kept one, else the next from the server; empty at the
  // end of the rows or on a failure (then detached, `failure` set).
  PgResPtr next_row();
  // Read every row still to come into `rows`.
  void pull_all();

 private:
  PgResPtr read_row();
  void fail_with(PGresult *r);
};
using StreamPtr = std::shared_ptr<Stream>;

// Start reading the rows of the query just sent (in single-row mode) whose
// first row is `first`.
StreamPtr open_stream(PGconn *conn, PgResPtr first);

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

  // One cell of the current row, read once per row.
  struct Cell {
    const char *value;
    int32_t length;
    bool null;
  };

  ErrorSlotPtr errors_;
  StreamPtr stream_;
  bool at_row_ = false;      // a current row is there
  PgResPtr row_;             // the current row
  std::vector<Cell> cells_;  // its cells, reused from row to row
  std::string err_;          // a refused delivery's text
};

}  // namespace pg
}  // namespace vesk

#endif
