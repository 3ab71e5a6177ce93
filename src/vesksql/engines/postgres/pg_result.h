// Results of the PostgreSQL engine: one or more row sets, each a whole
// server result held by the library (a batch of a named cursor is one).
#ifndef VESKSQL_PG_RESULT_H
#define VESKSQL_PG_RESULT_H

#include <vector>

#include "core/engine.h"
#include "pg_handles.h"
#include "pg_types.h"
#include "vesksql.h"

namespace vesk {
namespace pg {

struct RowSet {
  PgResPtr res;
  std::vector<PgCol> cols;
  int rows = 0;
};

// A server result that returned rows, as a row set.
RowSet make_row_set(PgResPtr res);

class PgResult : public EngineResult {
 public:
  PgResult(ErrorSlotPtr errors, std::vector<RowSet> sets, Counters k)
      : errors_(std::move(errors)), sets_(std::move(sets)), counters_(k) {}
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
  const PgCol *col_info(int32_t col) const;
  int fail(const std::string &text);

  ErrorSlotPtr errors_;
  std::vector<RowSet> sets_;
  size_t cur_ = 0;
  int row_ = -1;  // the current row of the current set, -1 before the first
  Counters counters_;
};

}  // namespace pg
}  // namespace vesk

#endif
