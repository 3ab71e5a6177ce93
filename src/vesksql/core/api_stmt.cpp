// Statement operations: binding, classification, execution.
#include <memory>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cstring>
#include <string>

#include "handles.h"
#include "impl.h"
#include "sql_scan.h"

using namespace vesk;

namespace {

// The live connection behind h, or nullptr (an empty or closed handle).
vesk_conn *live(vesk_conn **h) {
  if (h == nullptr || *h == nullptr || !(*h)->engine || !(*h)->engine->alive()) return nullptr;
  return *h;
}

int fail(vesk_conn *c, const std::string &text, const char *state = kStateGeneral) {
  c->errors->set(text, state);
  return VESK_ERROR;
}

// Output directions belong to routine statements; any other execution
// drops the targets (their buffers need not outlive it) and refuses.
int refuse_outputs(vesk_conn *c) {
  if (c->binds.targets.empty()) return VESK_OK;
  const int32_t pos = c->binds.targets.front().pos;
  c->binds.targets.clear();
  return fail(c, "parameter " + std::to_string(pos) +
                     " is bound as an output; only a routine statement takes outputs",
              kStateParamCount);
}

// Drop the columns of a batch that has run.  Columns of many megabytes are
// given back to the system as well: the allocator would otherwise keep that
// memory in the process for later use, and a batch is typically a one-off.
void release_batch_columns(ArrayStore *arrays) {
  constexpr size_t kGiveBackBytes = size_t{1} << 20;
  size_t bytes = 0;
  for (const ArrayColumn &col : arrays->columns) {
    bytes += col.bytes_held();
  }
  arrays->clear();
#ifdef __GLIBC__
  if (bytes >= kGiveBackBytes) malloc_trim(0);
#endif
}

void hand_out(ResultPtr res, vesk_result **r) {
  if (r == nullptr) return;  // nobody takes the result: it is dropped here
  if (res) {
    *r = new vesk_result{std::move(res)};
  }
}

}  // namespace

int impl_cli_reset_params(vesk_conn **h) {
  if (h == nullptr || *h == nullptr) return VESK_LOST;
  (*h)->binds.clear();
  if (!(*h)->arrays.columns.empty()) (*h)->arrays.clear();
  return VESK_OK;
}

// A statement run in a loop is classified again on every run: remember the
// last text of this thread and its kind.
int impl_cli_sql_kind(const char *sql) {
  constexpr size_t kRememberedText = 4096;
  struct Last {
    std::string text;
    int kind = 0;
  };
  thread_local Last last;
  if (sql == nullptr) return classify_sql(sql);
  Last &l = last;
  size_t n = std::strlen(sql);
  if (l.kind != 0 && n == l.text.size() && std::memcmp(sql, l.text.data(), n) == 0) {
    return l.kind;
  }
  int kind = classify_sql(sql);
  if (n <= kRememberedText) {
    l.text.assign(sql, n);
    l.kind = kind;
  }
  return kind;
}

int impl_cli_exec_direct(vesk_conn **h, const char *sql, vesk_result **r, int32_t *second,
                         int32_t *rowcount, int32_t *third) {
  vesk_conn *c = live(h);
  if (c == nullptr) return VESK_LOST;
  if (r) *r = nullptr;
  if (sql == nullptr) return fail(c, "exec_direct: no statement given", kStateNoArgument);
  if (!c->binds.pending_error.empty()) return fail(c, c->binds.pending_error);
  if (refuse_outputs(c) < 0) return VESK_ERROR;
  ResultPtr res;
  Counters k;
  int rc = c->engine->exec_direct(sql, c->binds, &res, &k);
  if (rc < 0) return rc;
  if (second) *second = k.second;
  if (rowcount) *rowcount = k.rowcount;
  if (third) *third = k.third;
  hand_out(std::move(res), r);
  return VESK_OK;
}

int impl_cli_prepare(vesk_conn **h, const char *sql, int zero) {
  vesk_conn *c = live(h);
  if (c == nullptr) return VESK_LOST;
  if (sql == nullptr) return fail(c, "prepare: no statement given", kStateNoArgument);
  return c->engine->prepare(sql);
}

int impl_cli_exec_prepared(vesk_conn **h, int zero1, int zero2, vesk_result **r) {
  vesk_conn *c = live(h);
  if (c == nullptr) return VESK_LOST;
  if (r) *r = nullptr;
  if (!c->binds.pending_error.empty()) return fail(c, c->binds.pending_error);
  if (refuse_outputs(c) < 0) return VESK_ERROR;
  ResultPtr res;
  int rc = c->engine->exec_prepared(c->binds, &res);
  if (rc < 0) return rc;
  hand_out(std::move(res), r);
  return VESK_OK;
}

int impl_cli_exec_flush(vesk_conn **h) {
  vesk_conn *c = live(h);
  if (c == nullptr) return VESK_LOST;
  return c->engine->flush();
}

int impl_cli_unprepare(vesk_conn **h, void *reserved) {
  vesk_conn *c = live(h);
  if (c == nullptr) return VESK_LOST;
  return c->engine->unprepare();
}

int impl_cli_exec_batch(vesk_conn **h, const char *sql, int32_t rows) {
  vesk_conn *c = live(h);
  if (c == nullptr) return VESK_LOST;
  // Whatever happens, nothing of the batch is kept once the call returns:
  // its columns are as large as the caller's data.  (A batch binds its own
  // columns after cli_reset_params.)
  struct ReleaseColumns {
    ArrayStore &arrays;
    ~ReleaseColumns() { release_batch_columns(&arrays); }
  } release{c->arrays};
  if (sql == nullptr) return fail(c, "exec_batch: no statement given", kStateNoArgument);
  if (rows < 0) return fail(c, "exec_batch: negative row count");
  for (size_t i = 0; i < c->arrays.columns.size(); ++i) {
    if (c->arrays.bound[i] && c->arrays.columns[i].count < rows)
      return fail(c, "exec_batch: column " + std::to_string(i + 1) + " holds " +
                         std::to_string(c->arrays.columns[i].count) + " values, the batch has " +
                         std::to_string(rows) + " rows");
  }
  return c->engine->exec_batch(sql, rows, c->arrays);
}

int impl_cli_exec_routine(vesk_conn **h, const char *stmt, vesk_result *result) {
  vesk_conn *c = live(h);
  if (c == nullptr) return VESK_LOST;
  int rc;
  if (stmt == nullptr) {
    rc = fail(c, "exec_routine: no statement given", kStateNoArgument);
  } else if (!c->binds.pending_error.empty()) {
    rc = fail(c, c->binds.pending_error);
  } else {
    rc = c->engine->exec_routine(stmt, c->binds);
  }
  // The output buffers were lent for this run only.
  c->binds.targets.clear();
  return rc;
}

int impl_cli_bind_param(vesk_conn **h, int32_t pos, int32_t direction, int32_t type, void *buf,
                        int32_t buflen, int32_t *len) {
  if (h == nullptr || *h == nullptr) return VESK_LOST;
  vesk_conn *c = *h;
  // An input value, the common bind: as below, in one step (a value
  // refused here is refused below again, with its text).  An integer or a
  // text that is there is read right here.
  if (direction == VESK_PARAM_IN && pos >= 1 && pos <= kMaxParamPosition) {
    Value &slot = c->binds.slot(pos);
    const bool present = buf != nullptr && (len == nullptr || *len != VESK_NULL_LENGTH);
    bool done;
    if (present && type == VESK_TYPE_BIGINT && buflen >= 8) {
      slot.kind = Value::Int;
      slot.type = type;
      std::memcpy(&slot.i, buf, sizeof slot.i);
      done = true;
    } else if (present && type == VESK_TYPE_VARCHAR) {
      // At most the length cell's bytes, never past the buffer, up to the
      // first zero byte.
      int32_t cap = len != nullptr && *len < buflen ? *len : buflen;
      if (cap < 0) cap = 0;
      const char *text = static_cast<const char *>(buf);
      const void *zero = std::memchr(text, 0, static_cast<size_t>(cap));
      const size_t n = zero != nullptr ? static_cast<size_t>(static_cast<const char *>(zero) - text)
                                       : static_cast<size_t>(cap);
      slot.kind = Value::Text;
      slot.type = type;
      slot.bytes.assign(text, n);
      done = true;
    } else {
      done = value_from_buffer(type, buf, buflen, len, &slot, nullptr);
    }
    if (done) {
      if (!c->binds.targets.empty()) c->binds.set_target(pos, nullptr);
      return VESK_OK;
    }
  }
  std::string err;
  const bool output = direction == VESK_PARAM_OUT || direction == VESK_PARAM_RETURN;
  if (pos < 1 || pos > kMaxParamPosition) {
    err = "parameter position " + std::to_string(pos) + " is out of range";
  } else if (direction != VESK_PARAM_IN && direction != VESK_PARAM_INOUT && !output) {
    err = "parameter " + std::to_string(pos) + ": unknown direction code " +
          std::to_string(direction);
  } else if (output ? value_from_buffer(VESK_TYPE_NULL, nullptr, 0, nullptr,
                                        &c->binds.slot(pos), &err)
                    : value_from_buffer(type, buf, buflen, len, &c->binds.slot(pos), &err)) {
    // An output position sends nothing (NULL) and receives the routine's
    // value; an input-output one sends its value too.
    c->binds.slot(pos).type = type;
    if (direction == VESK_PARAM_IN) {
      c->binds.set_target(pos, nullptr);
    } else {
      OutputTarget t;
      t.pos = pos;
      t.direction = direction;
      t.type = type;
      t.buf = buf;
      t.cap = buflen;
      t.len = len;
      c->binds.set_target(pos, &t);
    }
    return VESK_OK;
  }
  c->binds.set_target(pos, nullptr);
  c->binds.pending_error = err;
  return fail(c, err);
}

int impl_cli_bind_param_named(vesk_conn **h, const char *name, int32_t direction, int32_t type,
                              void *buf, int32_t buflen, void *reserved, int32_t *len) {
  if (h == nullptr || *h == nullptr) return VESK_LOST;
  vesk_conn *c = *h;
  std::string err;
  if (name == nullptr || *name == '\0') {
    err = "parameter name is empty";
  } else if (direction != VESK_PARAM_IN) {
    err = "only input parameters are supported";
  } else {
    Value v;
    if (value_from_buffer(type, buf, buflen, len, &v, &err)) {
      c->binds.bind_named(name, std::move(v));
      return VESK_OK;
    }
  }
  c->binds.pending_error = err;
  return fail(c, err);
}

int impl_cli_bind_array(vesk_conn **h, int32_t pos, int32_t columns, int32_t direction,
                        int32_t type, int32_t count, const void *data, int32_t width,
                        const int32_t *lens) {
  if (h == nullptr || *h == nullptr) return VESK_LOST;
  vesk_conn *c = *h;
  if (pos < 1 || pos > kMaxParamPosition || (columns > 0 && pos > columns))
    return fail(c, "bind_array: position " + std::to_string(pos) + " is out of range");
  if (direction != VESK_PARAM_IN) return fail(c, "only input parameters are supported");
  ArrayColumn col;
  std::string err;
  const bool compact = c->engine && c->engine->reads_compact_arrays();
  if (!array_from_buffer(type, count, data, width, lens, &col, &err, compact))
    return fail(c, err);
  size_t i = static_cast<size_t>(pos - 1);
  if (c->arrays.columns.size() <= i) {
    c->arrays.columns.resize(i + 1);
    c->arrays.bound.resize(i + 1, false);
  }
  c->arrays.columns[i] = std::move(col);
  c->arrays.bound[i] = true;
  return VESK_OK;
}

// Without a live connection there is nothing to read: an empty batch, and
// closing succeeds (as callers have always been answered).
int impl_cli_open_named_cursor(vesk_conn **h, const char *name, vesk_result **r) {
  if (r) *r = nullptr;
  vesk_conn *c = live(h);
  if (c == nullptr) return 0;
  ResultPtr res;
  int rows = c->engine->open_named_cursor(name, &res);
  if (rows < 0) return rows;
  hand_out(std::move(res), r);
  return rows;
}

int impl_cli_close_named_cursor(vesk_conn **h, const char *name) {
  vesk_conn *c = live(h);
  if (c == nullptr) return VESK_OK;
  return c->engine->close_named_cursor(name);
}

int impl_cli_get_rowid(vesk_conn **h, char *buf) {
  vesk_conn *c = live(h);
  if (c == nullptr || buf == nullptr) return VESK_ERROR;
  return c->engine->rowid(buf);
}
