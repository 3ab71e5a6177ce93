// response.cpp -- response dicts: which keys each operation takes, and their
// conversion.  Everything is checked here, when a test scripts a response,
// so that a hooked call never meets a value it cannot use.
#include <climits>
#include <cstring>

#include "convert.h"
#include "engine.h"

namespace vks {
namespace {

enum Key : unsigned {
  K_RET = 1u << 0,
  K_HANDLE = 1u << 1,
  K_ATTRS = 1u << 2,
  K_RESULT = 1u << 3,
  K_SECOND = 1u << 4,
  K_ROWCOUNT = 1u << 5,
  K_THIRD = 1u << 6,
  K_KIND = 1u << 7,
  K_COUNT = 1u << 8,
  K_TYPE = 1u << 9,
  K_SIZE = 1u << 10,
  K_LEN = 1u << 11,
  K_TEXT = 1u << 12,
  K_NAME = 1u << 13,
  K_ROWID = 1u << 14,
  K_DATA = 1u << 15,
  K_OUTPUTS = 1u << 16,
  K_LOCATOR = 1u << 17,
};

struct KeyName {
  const char *name;
  Key key;
};

const KeyName kKeys[] = {
    {"ret", K_RET},         {"handle", K_HANDLE}, {"attrs", K_ATTRS},
    {"result", K_RESULT},   {"second", K_SECOND}, {"rowcount", K_ROWCOUNT},
    {"third", K_THIRD},     {"kind", K_KIND},     {"count", K_COUNT},
    {"type", K_TYPE},       {"size", K_SIZE},     {"len", K_LEN},
    {"text", K_TEXT},       {"name", K_NAME},     {"rowid", K_ROWID},
    {"data", K_DATA},       {"outputs", K_OUTPUTS}, {"locator", K_LOCATOR},
};

unsigned keys_of(int op) {
  switch (op) {
    case OP_cli_connect: return K_RET | K_HANDLE;
    case OP_cli_connect_multi: return K_RET | K_HANDLE | K_ATTRS;
    case OP_cli_disconnect: return K_RET | K_HANDLE;
    case OP_cli_free_addr_attrs: return K_RET | K_ATTRS;
    case OP_cli_reconnect: return K_RET | K_HANDLE;
    case OP_cli_error_text: return K_RET | K_TEXT | K_LEN;
    case OP_cli_sqlstate: return K_RET | K_TEXT;
    case OP_cli_exec_direct: return K_RET | K_RESULT | K_SECOND | K_ROWCOUNT | K_THIRD;
    case OP_cli_exec_prepared: return K_RET | K_RESULT;
    case OP_cli_exec_routine: return K_RET | K_OUTPUTS;
    case OP_cli_result_info: return K_RET | K_KIND | K_SECOND | K_ROWCOUNT | K_THIRD;
    case OP_cli_free_result: return K_RET | K_RESULT;
    case OP_cli_open_named_cursor: return K_RET | K_RESULT;
    case OP_cli_column_count: return K_RET | K_COUNT;
    case OP_cli_column_name: return K_RET | K_NAME;
    case OP_cli_column_type: return K_RET | K_TYPE;
    case OP_cli_column_size: return K_RET | K_SIZE;
    case OP_cli_get_rowid: return K_RET | K_ROWID;
    case OP_cli_get_field: return K_RET | K_DATA | K_LEN;
    case OP_cli_lob_create: return K_RET | K_LOCATOR;
    case OP_cli_lob_free: return K_RET | K_LOCATOR;
    default: return K_RET;
  }
}

bool parse_outputs(PyObject *value, std::map<int32_t, Output> *out) {
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "'outputs' must be a dict {position: {'data': ..., 'len': ...}}");
    return false;
  }
  PyObject *pos_obj = nullptr, *output_dict = nullptr;
  Py_ssize_t i = 0;
  while (PyDict_Next(value, &i, &pos_obj, &output_dict)) {
    int32_t pos = 0;
    if (!to_int32(pos_obj, "an output position", &pos)) return false;
    if (!PyDict_Check(output_dict)) {
      PyErr_SetString(PyExc_TypeError, "each output must be a dict with 'data' and/or 'len'");
      return false;
    }
    Output o;
    PyObject *k = nullptr, *v = nullptr;
    Py_ssize_t j = 0;
    while (PyDict_Next(output_dict, &j, &k, &v)) {
      const char *kname = PyUnicode_Check(k) ? PyUnicode_AsUTF8(k) : nullptr;
      if (kname == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "output keys must be 'data' or 'len'");
        return false;
      }
      if (std::strcmp(kname, "data") == 0) {
        std::string d;
        if (!to_data(v, "'data'", &d)) return false;
        o.data = std::move(d);
      } else if (std::strcmp(kname, "len") == 0) {
        int32_t n = 0;
        if (!to_int32(v, "'len'", &n)) return false;
        o.len = n;
      } else {
        PyErr_Format(PyExc_ValueError, "unknown output key '%s' (use 'data' or 'len')", kname);
        return false;
      }
    }
    (*out)[pos] = std::move(o);
  }
  return true;
}

bool set_field(Key key, PyObject *v, Response *r) {
  int32_t i32 = 0;
  uintptr_t h = 0;
  switch (key) {
    case K_RET:
      if (!to_int32(v, "'ret'", &i32)) return false;
      r->ret = i32;
      return true;
    case K_HANDLE:
      if (!to_handle(v, "'handle'", &h)) return false;
      r->handle = h;
      return true;
    case K_ATTRS:
      if (!to_handle(v, "'attrs'", &h)) return false;
      r->attrs = h;
      return true;
    case K_RESULT:
      if (!to_handle(v, "'result'", &h)) return false;
      r->result = h;
      return true;
    case K_LOCATOR:
      if (!to_handle(v, "'locator'", &h)) return false;
      r->locator = h;
      return true;
    case K_SECOND: if (!to_int32(v, "'second'", &i32)) return false; r->second = i32; return true;
    case K_ROWCOUNT: if (!to_int32(v, "'rowcount'", &i32)) return false; r->rowcount = i32; return true;
    case K_THIRD: if (!to_int32(v, "'third'", &i32)) return false; r->third = i32; return true;
    case K_KIND: if (!to_int32(v, "'kind'", &i32)) return false; r->kind = i32; return true;
    case K_COUNT: if (!to_int32(v, "'count'", &i32)) return false; r->count = i32; return true;
    case K_TYPE: if (!to_int32(v, "'type'", &i32)) return false; r->type = i32; return true;
    case K_SIZE: if (!to_int32(v, "'size'", &i32)) return false; r->size = i32; return true;
    case K_LEN: if (!to_int32(v, "'len'", &i32)) return false; r->len = i32; return true;
    case K_TEXT:
    case K_NAME:
    case K_ROWID: {
      Text t;
      if (!to_text(v, "a text", &t)) return false;
      (key == K_TEXT ? r->text : key == K_NAME ? r->name : r->rowid) = std::move(t);
      return true;
    }
    case K_DATA: {
      std::string d;
      if (!to_data(v, "'data'", &d)) return false;
      r->data = std::move(d);
      return true;
    }
    case K_OUTPUTS: {
      std::map<int32_t, Output> outs;
      if (!parse_outputs(v, &outs)) return false;
      r->outputs = std::move(outs);
      return true;
    }
  }
  return false;
}

}  // namespace

bool parse_response(int op, PyObject *dict, Response *out) {
  if (!PyDict_Check(dict)) {
    PyErr_Format(PyExc_TypeError, "a response for %s must be a dict", op_name(op));
    return false;
  }
  const unsigned allowed = keys_of(op);
  Response r;
  PyObject *k = nullptr, *v = nullptr;
  Py_ssize_t i = 0;
  while (PyDict_Next(dict, &i, &k, &v)) {
    const char *kname = PyUnicode_Check(k) ? PyUnicode_AsUTF8(k) : nullptr;
    if (kname == nullptr) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "response keys for %s must be str", op_name(op));
      return false;
    }
    const KeyName *found = nullptr;
    for (const KeyName &kn : kKeys)
      if (std::strcmp(kn.name, kname) == 0) found = &kn;
    if (found == nullptr || (allowed & found->key) == 0) {
      PyErr_Format(PyExc_ValueError, "%s takes no response key '%s'", op_name(op), kname);
      return false;
    }
    if (!set_field(found->key, v, &r)) return false;
  }
  *out = std::move(r);
  return true;
}

void Response::merge_over(const Response &base) {
  auto fill = [](auto &mine, const auto &theirs) {
    if (!mine && theirs) mine = theirs;
  };
  fill(ret, base.ret);
  fill(handle, base.handle);
  fill(attrs, base.attrs);
  fill(result, base.result);
  fill(locator, base.locator);
  fill(second, base.second);
  fill(rowcount, base.rowcount);
  fill(third, base.third);
  fill(kind, base.kind);
  fill(count, base.count);
  fill(type, base.type);
  fill(size, base.size);
  fill(len, base.len);
  fill(text, base.text);
  fill(name, base.name);
  fill(rowid, base.rowid);
  fill(data, base.data);
  fill(outputs, base.outputs);
}

}  // namespace vks
