// The connect string: "IP=..; DB=..; USER=..; PWD=..; PORT=..; CHAR_SET=..;USESSL=..;"
#ifndef VESKSQL_CORE_CONNSTR_H
#define VESKSQL_CORE_CONNSTR_H

#include <string>

namespace vesk {

struct ConnectParams {
  std::string host;      // IP, blanks around it removed
  std::string database;  // DB
  std::string user;      // USER
  std::string password;  // PWD
  int port = 0;          // PORT, 0..65535
  std::string charset;   // CHAR_SET as given
  std::string usessl;    // USESSL
  // Set for a connect to a host list: only a host that accepts a
  // read-write session will do (the others are standbys).
  bool read_write = false;
};

// Parse the connect string.  Every field is required, in the order above.
// A value ends at the first ";" (blanks may follow) that is followed by the
// next key and "="; a value that itself holds ";" followed by any known key
// and "=" is refused as ambiguous.  On failure returns false with a text.
bool parse_connect_string(const char *text, ConnectParams *out, std::string *err);

// CHAR_SET check: "utf8" in any case, with or without one "-".
bool charset_supported(const std::string &cs);

}  // namespace vesk

#endif
