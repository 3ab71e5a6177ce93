// Results of the embedded engine: one or more row sets, each either
// streamed from a live statement or buffered (the row sets of a text of
// several statements).
//
// A row is read from SQLite once, when it becomes current: every cell of
// it is copied into the result's row (numbers by value, texts and blobs as
// pointers into SQLite's or the buffer's storage), so the type, size and
// value calls of a cell only look at that copy.  The pointers stay valid
// until the row set moves on, which only the next fetch does; a row set
// whose statement was run again or whose connection closed is stale, and
// every cell of a stale row reads as NULL.
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
  // Copy the current row's cells into cells[0 .. cols.size()).
  virtual void read_row(Cell *cells) const = 0;
  // True when the rows can no longer be read (the statement behind them
  // was run again or its connection closed).
  bool stale() const {
    return box_ != nullptr &&
           (box_->raw == nullptr || box_->generation != generation_ || !box_->db->open());
  }
  // What changes when the rows stop being readable: the statement's
  // generation; nullptr for rows that stay readable while the database is
  // open.
  const uint64_t *stamp() const { return box_ ? &box_->generation : nullptr; }
  std::vector<ColInfo> cols;
  // The SQLSTATE of the last failed advance.
  const char *failure_state = kStateGeneral;

 protected:
  // The statement the rows come from (none for buffered rows) and its run.
  const StmtBox *box_ = nullptr;
  uint64_t generation_ = 0;
};

// Column information of a statement that has been stepped once.
std::vector<ColInfo> columns_of(sqlite3_stmt *st, bool has_row);

// A statement stepped once inside the execution; its first row (if any) is
// handed out by the first advance.
std::unique_ptr<RowSet> make_stream(StmtPtr box, bool has_row);

// Step the statement to its end, copying every row.
std::unique_ptr<RowSet> make_buffered(sqlite3_stmt *st, int first_rc, std::string *err);

class SqResult final : public EngineResult {
 public:
  SqResult(DbPtr db, std::vector<std::unique_ptr<RowSet>> sets, Counters k);
  int kind() const override { return VESK_KIND_ROWS; }
  Counters counters() const override { return counters_; }
  int fetch_row() override;
  int next_result() override;
  int column_count() const override { return static_cast<int>(ncols_); }
  const std::string *column_name(int32_t col) const override;
  int column_type(int32_t col, int32_t *type) override;
  int column_size(int32_t col, int32_t *size) override;
  int column_index(const char *name) const override;
  int get_field(int32_t col, int32_t type, void *buf, int32_t cap, int32_t *len) override;

 private:
  int fail(const std::string &text, const char *state = kStateGeneral);
  // Make set `cur_` the current one (or none past the last).
  void enter_set();
  // The column's information, nullptr when the current set has no column
  // `col` (from 1).
  const ColInfo *col_info(int32_t col) const {
    return static_cast<uint32_t>(col - 1) < ncols_ ? &set_->cols[static_cast<size_t>(col - 1)]
                                                  : nullptr;
  }
  // Whether the current row's cells can be read: at a row, the database
  // open and the row set not stale.  The stamp taken when the row was read
  // still holds exactly then (closing the database and running the
  // statement again both change it).
  bool row_readable() const { return *stamp_ == stamp_value_; }
  void leave_row() {
    at_row_ = false;
    stamp_ = &kNoRow;
    stamp_value_ = 1;
  }
  int get_field_checked(int32_t col, int32_t type, void *buf, int32_t cap, int32_t *len);

  static constexpr uint64_t kNoRow = 0;

  DbPtr db_;
  ErrorSlotPtr errors_;
  std::vector<std::unique_ptr<RowSet>> sets_;
  size_t cur_ = 0;
  RowSet *set_ = nullptr;  // sets_[cur_], or nullptr past the last
  uint32_t ncols_ = 0;     // columns of the current set
  std::vector<Cell> row_;  // the current row's cells, one per column
  bool at_row_ = false;
  const uint64_t *stamp_ = &kNoRow;
  uint64_t stamp_value_ = 1;
  Counters counters_;
};

// Deliver one cell by the requested type code (cli_get_field rules).
int deliver(const Cell &cell, int32_t type, void *buf, int32_t cap, int32_t *len,
            std::string *err);

}  // namespace sq
}  // namespace vesk

#endif
