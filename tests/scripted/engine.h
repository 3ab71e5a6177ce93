// engine.h -- the scripted engine's state: the call log, the response queues
// and defaults, the table results, the large-object store and the buffers of
// the positional binds.  One engine per process; every caller holds the
// interpreter lock.
#ifndef VKSCRIPT_ENGINE_H
#define VKSCRIPT_ENGINE_H

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pyref.h"
#include "vesksql_hooks.h"

namespace vks {

// ---- operations --------------------------------------------------------
enum Op : int {
#define VKS_OP_ENUM(name, params, args) OP_##name,
  VESK_OPS(VKS_OP_ENUM)
#undef VKS_OP_ENUM
  OP_COUNT
};

const char *op_name(int op);
int op_from_name(const char *name);  // -1 for an unknown name

// ---- texts ----------------------------------------------------------------
// A text written into a caller's buffer.  A text given as str is cut on a
// UTF-8 character boundary when it does not fit; one given as bytes is cut
// byte-exactly, so a test can hand the module any byte sequence.
struct Text {
  std::string bytes;
  bool from_str = false;
};

// The bytes of `t` that fit in `cap` bytes together with a terminating zero.
std::string fit_text(const Text &t, size_t cap);
// Writes the fitted text and its zero into buf; returns the bytes written
// without the zero.  Nothing is written when buf is null or cap is 0.
size_t write_text(char *buf, size_t cap, const Text &t);

// ---- responses ------------------------------------------------------------
struct Output {
  std::optional<std::string> data;
  std::optional<int32_t> len;
};

struct Response {
  std::optional<int32_t> ret;
  std::optional<uintptr_t> handle, attrs, result, locator;
  std::optional<int32_t> second, rowcount, third, kind, count, type, size, len;
  std::optional<Text> text, name, rowid;
  std::optional<std::string> data;
  std::optional<std::map<int32_t, Output>> outputs;

  // Fills every field left unset from `base`.
  void merge_over(const Response &base);
};

// Converts a response dict for `op`; false with a Python error set when a
// key is unknown for the op or a value has the wrong type or range.
bool parse_response(int op, PyObject *dict, Response *out);

// ---- tables -------------------------------------------------------------
struct Cell {
  bool null = true;
  std::string data;
  std::optional<int32_t> len;
  std::optional<int32_t> type;
};

struct Column {
  Text name;
  int32_t type = 0;
  int32_t size = 0;
};

struct ResultSet {
  std::vector<Column> columns;
  std::vector<std::vector<Cell>> rows;
  int32_t kind = 4;
  long pos = -1;  // -1 before the first row, rows.size() after the last
};

bool parse_table(PyObject *columns, PyObject *rows, int32_t kind,
                 ResultSet *out);
// The current result set of a result id, or null when it has no table.
ResultSet *current_set(uintptr_t id);
// Moves to the next queued set: true when one was left.
bool next_set(uintptr_t id);
void drop_tables(uintptr_t id);
// The current row's cell of column `col` (from 1), or null when there is no
// current row or no such column.
const Cell *current_cell(const ResultSet &set, int32_t col);
const Column *column_at(const ResultSet &set, int32_t col);

// ---- the engine ----------------------------------------------------------
struct Bound {
  void *buf = nullptr;
  int32_t buflen = 0;
  int32_t *len = nullptr;
};

// A fault planted for one call, counted from 0 since the last reset: that
// call answers with `response`, alone (`replace`) or over what it would have
// answered otherwise.
struct Fault {
  size_t at = 0;
  Response response;
  bool replace = true;
  bool fired = false;
};

// What the module holds of the library at a moment: connections, address
// sets, results and prepared statements made and not yet given back, and
// server cursors opened by name and not closed ("conn:name").
struct Live {
  std::set<uintptr_t> conns, attrs, results, prepared;
  std::set<std::string> named;
};

struct Engine {
  std::vector<PyRef> log;
  size_t calls_made = 0;
  std::optional<Fault> fault;
  Live live;
  std::array<std::deque<Response>, OP_COUNT> queues;
  std::array<Response, OP_COUNT> defaults;
  std::map<uintptr_t, std::deque<ResultSet>> tables;
  std::map<uintptr_t, std::string> lobs;
  std::map<int32_t, Bound> bound;
  std::vector<std::string> problems;
  uintptr_t next_conn = 1;
  uintptr_t next_attrs = 501;
  uintptr_t next_lob = 1000;
  bool installed = false;
  // Off: calls are answered but not logged (long loops, such as the leak
  // checks, would otherwise grow the log without bound).
  bool logging = true;

  void reset();
  void problem(const std::string &what);
};

// The process's engine.  It is never destroyed, so no Python reference is
// released after the interpreter has gone.
Engine &engine();

// The response for the next call of `op`: the head of its queue (if any)
// over the op's default.
Response take_response(int op);

// Live-resource bookkeeping of the hooks (live.cpp).
void live_conn_opened(uintptr_t h);
void live_conn_closed(uintptr_t h);
void live_named(uintptr_t conn, const char *name, bool open);

// ---- handle cells ----------------------------------------------------------
// Every handle argument is the address of a pointer-sized variable.
uintptr_t read_handle(const void *addr);
void write_handle(void *addr, uintptr_t value);

// ---- hooks ----------------------------------------------------------------
#define VKS_HOOK_DECL(name, params, args) int hook_##name params;
VESK_OPS(VKS_HOOK_DECL)
#undef VKS_HOOK_DECL

bool install_hooks();
void uninstall_hooks();

}  // namespace vks
#endif
