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
// column through the accessors below): `length` stays empty unless an
// element is NULL; integers that all fit 32 bits are kept in `ints32`,
// doubles that are all exactly floats in `reals32`; a
// Text/Blob column whose elements are all shorter than kShortMax bytes
// keeps one byte per element in `short_len` (kShortNull = NULL) and the
// start of every kBlockRows-th element in `block_start`, otherwise `offset`
// holds count + 1 starts, so an element's length is the distance to the
// next start.  Nothing but the values and a byte or so per row is kept for
// a column without NULLs.
struct ArrayColumn {
  enum Kind : uint8_t { Int, Real, Text, Blob };
  static constexpr int kBlockShift = 6;  // kBlockRows = 64
  static constexpr size_t kBlockRows = size_t{1} << kBlockShift;
  static constexpr int32_t kShortMax = 254;
  static constexpr uint8_t kShortNull = 255;
  Kind kind = Int;
  int32_t count = 0;
  std::vector<int64_t> ints;      // Int
  std::vector<int32_t> ints32;    // Int, compact form, every value within 32 bits
  std::vector<double> reals;      // Real
  std::vector<float> reals32;     // Real, compact form, every value exactly a float
  std::string arena;              // Text/Blob bytes, back to back
  std::vector<uint32_t> offset;   // Text/Blob: start of element i in arena
  std::vector<uint8_t> short_len;     // Text/Blob, compact form of short elements
  std::vector<uint32_t> block_start;  // with short_len: start of element k * kBlockRows
  std::vector<int32_t> length;    // Text/Blob: byte length; all kinds: -1 = NULL

  // Element i's integer (Int), length (-1 for NULL) and, for Text/Blob, its
  // bytes; both forms.  start_at of a compact short column adds up the
  // lengths since its block's start: read rows in order through TextWalk.
  int64_t int_at(size_t i) const { return ints32.empty() ? ints[i] : ints32[i]; }
  double real_at(size_t i) const { return reals32.empty() ? reals[i] : reals32[i]; }
  int32_t length_at(size_t i) const {
    if (!short_len.empty()) return short_len[i] == kShortNull ? -1 : short_len[i];
    if (!length.empty()) return length[i];
    if (kind == Int || kind == Real) return 8;
    return static_cast<int32_t>(offset[i + 1] - offset[i]);
  }
  const char *start_at(size_t i) const {
    if (short_len.empty()) return arena.data() + offset[i];
    size_t at = block_start[i >> kBlockShift];
    for (size_t j = i & ~(kBlockRows - 1); j < i; ++j)
      if (short_len[j] != kShortNull) at += short_len[j];
    return arena.data() + at;
  }
  size_t bytes_held() const {
    return ints.capacity() * sizeof(int64_t) + ints32.capacity() * sizeof(int32_t) +
           reals.capacity() * sizeof(double) + reals32.capacity() * sizeof(float) + arena.capacity() +
           offset.capacity() * sizeof(uint32_t) + short_len.capacity() +
           block_start.capacity() * sizeof(uint32_t) + length.capacity() * sizeof(int32_t);
  }
};

// Reads the Text/Blob elements of one column in row order without adding
// up lengths again: start(r) for the row after the last one read costs a
// step; any other row starts from its block.
struct TextWalk {
  size_t next_row = 0;
  size_t next_at = 0;
  bool valid = false;
  const char *start(const ArrayColumn &col, size_t r) {
    if (col.short_len.empty()) return col.start_at(r);
    size_t at;
    if (valid && r == next_row) {
      at = next_at;
    } else {
      at = static_cast<size_t>(col.start_at(r) - col.arena.data());
    }
    const uint8_t n = col.short_len[r];
    next_row = r + 1;
    next_at = at + (n == ArrayColumn::kShortNull ? 0 : n);
    valid = true;
    return col.arena.data() + at;
  }
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
