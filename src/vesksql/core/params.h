// Parameters bound on a connection: single values (by position or by name)
// for the next statement, and whole columns for the next batch.  Every bind
// copies its value at once.
#ifndef VESKSQL_CORE_PARAMS_H
#define VESKSQL_CORE_PARAMS_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace vesk {

struct Value {
  enum Kind : uint8_t { Unset, Null, Int, Real, Text, Blob };
  Kind kind = Unset;
  int32_t type = 0;  // the type code it was bound under
  int64_t i = 0;
  double d = 0;
  std::string bytes;  // Text and Blob
};

// Read one value from a caller's buffer by type code (the value rules of
// cli_bind_param) into *out, reusing its storage.  Nothing at or past
// buf + buflen is read, whatever *len says; a length cell holding
// VESK_NULL_LENGTH gives NULL.  Returns false with a text for a code it
// cannot take or a buffer too small for its width (*out is then Unset);
// with err nullptr, without the text.
bool value_from_buffer(int32_t type, const void *buf, int32_t buflen,
                       const int32_t *len, Value *out, std::string *err);

// Highest position accepted for a positional parameter.
constexpr int32_t kMaxParamPosition = 32766;

// Where a routine writes a value back: the buffer and length cell of a
// positional bind with an output direction (2 output, 3 input-output, 6 a
// function's return value), kept until the routine runs or the binds are
// dropped.  The caller keeps both alive until then.
struct OutputTarget {
  int32_t pos = 0;
  int32_t direction = 0;
  int32_t type = 0;
  void *buf = nullptr;
  int32_t cap = 0;
  int32_t *len = nullptr;
};

struct ParamStore {
  std::vector<Value> positional;  // index 0 is position 1
  std::vector<std::pair<std::string, Value>> named;
  // Where each name sits in `named`: a statement of many named parameters
  // binds and finds each in constant time.
  std::unordered_map<std::string, size_t> named_at;
  std::vector<OutputTarget> targets;  // by position, at most one each
  std::string pending_error;  // a refused bind, reported by the next execution

  // Forget every value and target.  Positional slots keep their storage for
  // the next binds (a statement run in a loop binds the same positions each
  // time).
  void clear();
  bool empty() const;
  // The slot of position `pos` (from 1), made when missing.
  Value &slot(int32_t pos) {
    const size_t i = static_cast<size_t>(pos - 1);
    if (positional.size() <= i) positional.resize(i + 1);
    return positional[i];
  }
  void bind_named(const char *name, Value v);
  // The value bound under exactly `name`, or nullptr.
  const Value *find_named(const std::string &name) const;
  // Record (or, with nullptr, forget) the output target of a position.
  void set_target(int32_t pos, const OutputTarget *t);
  // The target of `pos`, or nullptr.
  const OutputTarget *target(int32_t pos) const;
  // The target bound for a function's return value, or nullptr.
  const OutputTarget *return_target() const;
  // The value of `pos` (from 1), or nullptr when none is bound.
  const Value *value(int32_t pos) const;
};

// One column bound for a batch.
//
// Full form: `length` holds every element's length (-1 = NULL) and `offset`
// every Text/Blob element's start.  Compact form (an engine that reads the
// column through length_at and start_at): `length` stays empty unless an
// element is NULL, and `offset` holds count + 1 starts, so an element's
// length is the distance to the next start; nothing but the values is kept
// for a column without NULLs.
struct ArrayColumn {
  enum Kind : uint8_t { Int, Real, Text, Blob };
  Kind kind = Int;
  int32_t count = 0;
  std::vector<int64_t> ints;      // Int
  std::vector<double> reals;      // Real
  std::string arena;              // Text/Blob bytes, back to back
  std::vector<uint32_t> offset;   // Text/Blob: start of element i in arena
  std::vector<int32_t> length;    // Text/Blob: byte length; all kinds: -1 = NULL

  // Element i's length (-1 for NULL) and, for Text/Blob, its bytes; both
  // forms.
  int32_t length_at(size_t i) const {
    if (!length.empty()) return length[i];
    if (kind == Int || kind == Real) return 8;
    return static_cast<int32_t>(offset[i + 1] - offset[i]);
  }
  const char *start_at(size_t i) const { return arena.data() + offset[i]; }
};

struct ArrayStore {
  std::vector<ArrayColumn> columns;  // index 0 is position 1; count 0 = not bound
  std::vector<bool> bound;
  void clear() {
    // Given back, not kept for the next batch: a batch's columns are large.
    std::vector<ArrayColumn>().swap(columns);
    std::vector<bool>().swap(bound);
  }
};

// Copy a column for cli_bind_array, validating widths and records.
// `compact`: build the compact form (see ArrayColumn).
bool array_from_buffer(int32_t type, int32_t count, const void *data, int32_t width,
                       const int32_t *lens, ArrayColumn *out, std::string *err,
                       bool compact = false);

}  // namespace vesk

#endif
