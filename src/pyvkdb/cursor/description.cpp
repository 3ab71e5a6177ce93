// The description builder: one (name, type name, None, None, size, scale,
// None) tuple per result column.
#include <cstring>

#include "cursor/column_types.h"
#include "cursor/cursor.h"
#include "module/errors.h"
#include "module/pyref.h"

namespace vk {

namespace {

// The name cut: the text after the first "%", else after the first ".",
// else the whole name.
const char *cut_name(const char *name) {
  if (const char *p = std::strchr(name, '%')) return p + 1;
  if (const char *p = std::strchr(name, '.')) return p + 1;
  return name;
}

// One description tuple for column `col`; nullptr with an exception set.
PyObject *describe_column(CursorObject *self, int32_t col) {
  // The library writes at most VESK_COLUMN_NAME_CAP bytes; the buffer is
  // larger and its last byte is never written, so the name always ends in it.
  char name[256];
  std::memset(name, 0, sizeof name);
  cli_column_name(&self->result, col, name);
  name[sizeof name - 1] = '\0';
  int32_t type = 0;
  int32_t raw_size = 0;
  cli_column_type(&self->result, col, &type);
  cli_column_size(&self->result, col, &raw_size);
  ColumnTypeInfo info = column_type_info(type, raw_size);

  const char *shown = cut_name(name);
  // A name that is not valid UTF-8 keeps its readable part; the rest shows
  // as U+FFFD rather than failing the whole description.
  PyRef name_obj(
      PyUnicode_DecodeUTF8(shown, static_cast<Py_ssize_t>(std::strlen(shown)), "replace"));
  if (!name_obj) return nullptr;
  return Py_BuildValue("(NsOOiiO)", name_obj.release(), info.name, Py_None, Py_None, info.size,
                       info.scale, Py_None);
}

}  // namespace

bool cursor_build_description(CursorObject *self) {
  if (!cursor_precondition(self)) return false;
  int32_t count = 0;
  cli_column_count(&self->result, &count);
  if (count < 1) {
    Py_INCREF(Py_None);
    cursor_set_description(self, Py_None);
    return true;
  }
  PyRef list(PyList_New(count));
  if (!list) return false;
  for (int32_t col = 1; col <= count; ++col) {
    PyObject *item = describe_column(self, col);
    if (item == nullptr) return false;
    PyList_SET_ITEM(list.get(), col - 1, item);
  }
  cursor_set_description(self, list.release());
  return true;
}

}  // namespace vk
