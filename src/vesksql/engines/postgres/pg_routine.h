// What the PostgreSQL engine keeps for routine statements: the routines it
// looked up in the catalog (once per connection for each name and number
// of placeholders), and the refcursors of a call whose transaction the
// library keeps open in autocommit mode until they are read.
#ifndef VESKSQL_PG_ROUTINE_H
#define VESKSQL_PG_ROUTINE_H

#include <libpq-fe.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace vesk {
namespace pg {

// One argument of a routine, in declared order.
struct RoutineArg {
  Oid type = 0;            // the declared type
  char mode = 'i';         // i in, o out, b inout, v variadic, t a column of RETURNS TABLE
  bool untyped = false;    // a pseudo type (polymorphic, "any"): sent under the bound value's type
  bool may_be_cursor = false;  // refcursor (or a domain over it), or polymorphic
  bool literal = false;    // sent typed as a literal of its value would be (overloads)

  bool sent_to_function() const { return mode == 'i' || mode == 'b' || mode == 'v'; }
  bool returned() const { return mode == 'o' || mode == 'b'; }
};

// One routine found in the catalog.
struct RoutineInfo {
  std::string schema;        // empty: called by its name alone (overloads the server picks from)
  std::string name;
  char kind = 'f';           // f function, p procedure
  bool returns_set = false;
  bool returns_void = false;
  bool result_may_be_cursor = false;  // the return type, as for RoutineArg
  std::vector<RoutineArg> args;
  std::string signature;     // schema.name(identity arguments), for messages

  bool procedure() const { return kind == 'p'; }
  // Whether a refcursor may come back from a call.
  bool may_return_cursor() const;
  // The number of values a call returns in its row (OUT and INOUT).
  int outputs() const;
};

// Routines by the statement's name (as written) and placeholder count.
class RoutineCache {
 public:
  // Entries kept at most; a connection that calls more distinct routines
  // than this starts over.
  static constexpr size_t kMaxEntries = 256;

  const RoutineInfo *find(const std::string &key) const;
  void put(const std::string &key, RoutineInfo info);
  void drop(const std::string &key) { entries_.erase(key); }
  void clear() { entries_.clear(); }

 private:
  std::unordered_map<std::string, RoutineInfo> entries_;
};

// The portals a routine call in autocommit mode returned, while the library
// keeps their transaction open (a savepoint was set right after the call).
struct HeldCursors {
  bool open = false;  // the transaction is held
  std::vector<std::string> names;
  bool holds(const char *name) const;
  // Forget `name`; true when it was held.
  bool release(const char *name);
};

}  // namespace pg
}  // namespace vesk

#endif
