// Opening a PostgreSQL connection: the connect string's fields as libpq
// keywords, each passed on its own (no field can inject another), with a
// connect timeout so a host that never answers cannot hang the caller.
//
//   IP        "host", "host:port" or "[v6address]:port"; PORT is the default port
//   DB        dbname (empty: the server's default, the user's name)
//   USER/PWD  user, password (empty: not given)
//   CHAR_SET  utf8 (checked by the core): client_encoding UTF8
//   USESSL    "" (libpq's default, prefer), disable, allow, prefer, require,
//             verify-ca, verify-full: sslmode; "0" stands for disable and
//             "1" for require
//   a host list (cli_connect_multi): target_session_attrs read-write, so a
//   standby is passed over
// The session is asked for ISO dates and ISO 8601 intervals, the forms the
// engine reads values in.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/engine.h"
#include "pg_conn.h"

namespace vesk {

namespace pg {

namespace {

constexpr int kDefaultPort = 5432;
// Seconds a connect may take per host before it is given up.
constexpr const char *kConnectTimeoutSeconds = "10";
constexpr const char *kSessionOptions =
    "-c DateStyle=ISO,YMD -c IntervalStyle=iso_8601 -c extra_float_digits=3";

const char *const kSslModes[] = {"disable", "allow", "prefer", "require", "verify-ca",
                                 "verify-full"};

// Split "name:port", "[v6]:port", "name" (or a bare v6 address).
bool split_host(const std::string &host, int default_port, std::string *name, std::string *port,
                std::string *err) {
  std::string h = host, p;
  if (!h.empty() && h[0] == '[') {
    size_t close = h.find(']');
    if (close == std::string::npos) {
      *err = "host '" + host + "': unterminated '['";
      return false;
    }
    if (close + 1 < h.size()) {
      if (h[close + 1] != ':') {
        *err = "host '" + host + "': expected ':' after ']'";
        return false;
      }
      p = h.substr(close + 2);
    }
    h = h.substr(1, close - 1);
  } else if (std::count(h.begin(), h.end(), ':') == 1) {
    size_t colon = h.find(':');
    p = h.substr(colon + 1);
    h = h.substr(0, colon);
  }
  if (!p.empty()) {
    char *end = nullptr;
    long v = std::strtol(p.c_str(), &end, 10);
    if (end == p.c_str() || *end != '\0' || v < 1 || v > 65535) {
      *err = "host '" + host + "': port '" + p + "' is not a number from 1 to 65535";
      return false;
    }
  } else {
    p = std::to_string(default_port > 0 ? default_port : kDefaultPort);
  }
  if (h.empty()) {
    *err = "host '" + host + "': no host name";
    return false;
  }
  *name = h;
  *port = p;
  return true;
}

void ignore_notice(void *, const char *) {}

}  // namespace

std::string trimmed_message(const char *msg) {
  std::string s = msg ? msg : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

PgConnPtr open_connection(const ConnectParams &p, const std::string &host,
                          const std::string &dbname, std::string *err) {
  std::string name, port;
  if (!split_host(host, p.port, &name, &port, err)) return nullptr;
  std::string sslmode = p.usessl == "0" ? "disable" : p.usessl == "1" ? "require" : p.usessl;
  if (!sslmode.empty()) {
    bool known = false;
    for (const char *m : kSslModes) known = known || sslmode == m;
    if (!known) {
      *err = "USESSL '" + p.usessl +
             "' is not one of disable, allow, prefer, require, verify-ca, verify-full, 0, 1";
      return nullptr;
    }
  }
  std::vector<const char *> keys, values;
  auto add = [&](const char *k, const std::string &v) {
    if (v.empty()) return;
    keys.push_back(k);
    values.push_back(v.c_str());
  };
  const std::string encoding = "UTF8", timeout = kConnectTimeoutSeconds,
                    options = kSessionOptions, app = "vkcondb",
                    attrs = p.read_write ? "read-write" : "any";
  add("host", name);
  add("port", port);
  add("dbname", dbname);
  add("user", p.user);
  add("password", p.password);
  add("client_encoding", encoding);
  add("sslmode", sslmode);
  add("connect_timeout", timeout);
  add("options", options);
  add("application_name", app);
  add("target_session_attrs", attrs);
  keys.push_back(nullptr);
  values.push_back(nullptr);
  PgConnPtr conn(blocking([&] { return PQconnectdbParams(keys.data(), values.data(), 0); }));
  if (!conn) {
    *err = "out of memory opening a connection";
    return nullptr;
  }
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    *err = trimmed_message(PQerrorMessage(conn.get()));
    return nullptr;
  }
  PQsetNoticeProcessor(conn.get(), ignore_notice, nullptr);
  return conn;
}

}  // namespace pg

EnginePtr postgres_open(const ConnectParams &params, const std::string &host,
                        const ErrorSlotPtr &errors, std::string *err) {
  pg::PgConnPtr conn = pg::open_connection(params, host, params.database, err);
  if (!conn) return nullptr;
  return std::make_unique<pg::PgConn>(params, std::move(conn), errors);
}

}  // namespace vesk
