// The fixed control texts a caller hands to cli_exec_command, recognised
// once here so that every engine gets the same answer for the same text.
// An engine only implements the operations (engine.h): begin, commit,
// rollback, autocommit, the liveness check and the database switch.
#ifndef VESKSQL_CORE_CONTROL_H
#define VESKSQL_CORE_CONTROL_H

#include <string>

namespace vesk {

enum class Control {
  Begin,          // "begin", "begin transaction"
  Commit,         // "commit", "commit transaction", "end"
  Rollback,       // "rollback", "rollback transaction"
  AutocommitOn,   // "set auto commit on"
  AutocommitOff,  // "set auto commit off"
  Ping,           // "select 1 from dual"
  Use,            // "USE name" (the name as written, checked separately)
  Plain,          // anything else: one statement run as it is
};

struct ControlText {
  Control kind = Control::Plain;
  std::string database;  // for Use
};

// Case, runs of blanks and a final ";" do not matter, except in the USE
// target, which is kept as written (without the final ";" and blanks
// around it).
ControlText classify_control(const char *sql);

// Whether a USE target is a plain identifier: letters, digits and '_', not
// starting with a digit, 1 to 128 characters.
bool plain_database_name(const std::string &name);

}  // namespace vesk

#endif
