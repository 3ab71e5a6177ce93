// Results of the embedded engine: one or more row sets, each either
// streamed from a live statement or buffered (the row sets of a text of
// several statements).
#ifndef VESKSQL_SQLITE_RESULT_H
#define VESKSQL_SQLITE_RESULT_H

#include <memory>
#include <string>
#include <vector>

#include "core/engine.h"
#include "sq_db.h"
#include "sq_types.h"

namespace vesk {
namespace sq {

class RowSet {
 public:
  virtual ~RowSet() = default;
  // VESK_OK a row is current, VESK_NO_DATA end, VESK_ERROR with *err set.
  virtual int advance(std::string *err) = 0;
  virtual Cell cell(int idx) const = 0;
  // True when the rows can no longer be read (the statement behind them
  // was run again or its connection closed).
  virtual bool stale() const { return false; }
  std::vector<ColInfo> cols;
  // The SQLSTATE of the last failed advance.
  const char *failure_state = kStateGeneral;
};

// Column information of a statement that has been stepped once.
std::vector<ColInfo> columns_of(sqlite3_stmt *st, bool has_row);

// A statement stepped once inside the execution; its first row (if any) is
// handed out by the first advance.
std::unique_ptr<RowSet> make_stream(StmtPtr box, bool has_row);

// Step the statement to its end, copying every row.
std::unique_ptr<RowSet> make_buffered(sqlite3_stmt *st, int first_rc, std::string *err);

class SqResult : public EngineResult {
 public:
  SqResult(DbPtr db, std::vector<std::unique_ptr<RowSet>> sets, Counters k);
  int kind() const override { return VESK_KIND_ROWS; }
  Counters counters() const override { return counters_; }
  int fetch_row() override;
  int next_result() override;
  int column_count() const override;
  const std::string *column_name(int32_t col) const override;
  int column_type(int32_t col, int32_t *type) override;
  int column_size(int32_t col, int32_t *size) override;
  int column_index(const char *name) const override;
  int get_field(int32_t col, int32_t type, void *buf, int32_t cap, int32_t *len) override;

 private:
  int fail(const std::string &text, const char *state = kStateGeneral);
  const ColInfo *col_info(int32_t col) const;
  const Cell &cell_at(int32_t col);
  std::vector<Cell> row_cells_;       // cells of the current row read so far
  std::vector<char> row_cell_read_;

  DbPtr db_;
  ErrorSlotPtr errors_;
  std::vector<std::unique_ptr<RowSet>> sets_;
  size_t cur_ = 0;
  bool at_row_ = false;
  Counters counters_;
};

// Deliver one cell by the requested type code (cli_get_field rules).
int deliver(const Cell &cell, int32_t type, void *buf, int32_t cap, int32_t *len,
            std::string *err);

}  // namespace sq
}  // namespace vesk

#endif
