// tables.cpp -- result sets given as tables, answered row by row.
#include "convert.h"
#include "engine.h"

#include <cstring>

namespace vks {
namespace {

bool parse_column(PyObject *item, Column *out) {
  PyRef seq(PySequence_Fast(item, "a column must be a (name, type_code, raw_size) tuple"));
  if (!seq) return false;
  if (PySequence_Fast_GET_SIZE(seq.get()) != 3) {
    PyErr_SetString(PyExc_ValueError, "a column must be a (name, type_code, raw_size) tuple");
    return false;
  }
  PyObject **f = PySequence_Fast_ITEMS(seq.get());
  return to_text(f[0], "a column name", &out->name) &&
         to_int32(f[1], "a column type code", &out->type) &&
         to_int32(f[2], "a column raw size", &out->size);
}

bool parse_cell(PyObject *item, Cell *out) {
  if (item == Py_None) return true;
  if (PyBytes_Check(item) || PyByteArray_Check(item)) {
    out->null = false;
    return to_data(item, "a cell", &out->data);
  }
  if (!PyDict_Check(item)) {
    PyErr_Format(PyExc_TypeError, "a cell must be bytes, None or a dict, not %.80s",
                 Py_TYPE(item)->tp_name);
    return false;
  }
  PyObject *k = nullptr, *v = nullptr;
  Py_ssize_t i = 0;
  while (PyDict_Next(item, &i, &k, &v)) {
    const char *kname = PyUnicode_Check(k) ? PyUnicode_AsUTF8(k) : nullptr;
    if (kname == nullptr) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "cell keys must be 'data', 'len' or 'type'");
      return false;
    }
    int32_t n = 0;
    if (std::strcmp(kname, "data") == 0) {
      if (v == Py_None) continue;
      if (!to_data(v, "a cell's 'data'", &out->data)) return false;
      out->null = false;
    } else if (std::strcmp(kname, "len") == 0) {
      if (!to_int32(v, "a cell's 'len'", &n)) return false;
      out->len = n;
    } else if (std::strcmp(kname, "type") == 0) {
      if (!to_int32(v, "a cell's 'type'", &n)) return false;
      out->type = n;
    } else {
      PyErr_Format(PyExc_ValueError, "unknown cell key '%s' (use 'data', 'len' or 'type')", kname);
      return false;
    }
  }
  return true;
}

}  // namespace

bool parse_table(PyObject *columns, PyObject *rows, int32_t kind, ResultSet *out) {
  ResultSet set;
  set.kind = kind;
  PyRef cols(PySequence_Fast(columns, "columns must be a sequence"));
  if (!cols) return false;
  const Py_ssize_t ncols = PySequence_Fast_GET_SIZE(cols.get());
  for (Py_ssize_t c = 0; c < ncols; ++c) {
    Column col;
    if (!parse_column(PySequence_Fast_GET_ITEM(cols.get(), c), &col)) return false;
    set.columns.push_back(std::move(col));
  }
  PyRef rws(PySequence_Fast(rows, "rows must be a sequence"));
  if (!rws) return false;
  const Py_ssize_t nrows = PySequence_Fast_GET_SIZE(rws.get());
  for (Py_ssize_t r = 0; r < nrows; ++r) {
    PyRef row(PySequence_Fast(PySequence_Fast_GET_ITEM(rws.get(), r), "a row must be a sequence"));
    if (!row) return false;
    if (PySequence_Fast_GET_SIZE(row.get()) != ncols) {
      PyErr_Format(PyExc_ValueError, "row %zd has %zd cells for %zd columns", r,
                   PySequence_Fast_GET_SIZE(row.get()), ncols);
      return false;
    }
    std::vector<Cell> cells(static_cast<size_t>(ncols));
    for (Py_ssize_t c = 0; c < ncols; ++c)
      if (!parse_cell(PySequence_Fast_GET_ITEM(row.get(), c), &cells[static_cast<size_t>(c)]))
        return false;
    set.rows.push_back(std::move(cells));
  }
  *out = std::move(set);
  return true;
}

ResultSet *current_set(uintptr_t id) {
  if (id == 0) return nullptr;
  auto it = engine().tables.find(id);
  if (it == engine().tables.end() || it->second.empty()) return nullptr;
  return &it->second.front();
}

bool next_set(uintptr_t id) {
  auto it = engine().tables.find(id);
  if (it == engine().tables.end() || it->second.size() < 2) return false;
  it->second.pop_front();
  return true;
}

void drop_tables(uintptr_t id) { engine().tables.erase(id); }

const Column *column_at(const ResultSet &set, int32_t col) {
  if (col < 1 || static_cast<size_t>(col) > set.columns.size()) return nullptr;
  return &set.columns[static_cast<size_t>(col) - 1];
}

const Cell *current_cell(const ResultSet &set, int32_t col) {
  if (set.pos < 0 || static_cast<size_t>(set.pos) >= set.rows.size()) return nullptr;
  if (column_at(set, col) == nullptr) return nullptr;
  return &set.rows[static_cast<size_t>(set.pos)][static_cast<size_t>(col) - 1];
}

}  // namespace vks
