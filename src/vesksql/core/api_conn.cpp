// Connection operations: connect, disconnect, reconnect, control statements
// and error texts.
#include <memory>
#include <string>
#include <vector>

#include "connstr.h"
#include "control.h"
#include "handles.h"
#include "impl.h"

using namespace vesk;

namespace {

// Parse and check the connect string; the charset is the core's business.
bool read_params(const char *connstr, ConnectParams *p, std::string *err) {
  if (!parse_connect_string(connstr, p, err)) return false;
  if (!charset_supported(p->charset)) {
    *err = "unsupported character set '" + p->charset + "': only utf8 is supported";
    return false;
  }
  return true;
}

int refuse(const std::string &text, const char *state) {
  thread_error_set(text, state);
  return VESK_ERROR;
}

std::string trim_host(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// The hosts of an IP field: one for a plain host, each of a list.
std::vector<std::string> split_hosts(const std::string &field, bool list) {
  std::vector<std::string> hosts;
  if (!list) {
    hosts.push_back(field);
    return hosts;
  }
  size_t start = 0;
  for (;;) {
    size_t comma = field.find(',', start);
    hosts.push_back(trim_host(
        field.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return hosts;
}

// Open the connection on the first of `hosts` that answers, trying them in
// order; `c->params` holds every other parameter.  On success the engine is
// in place, params.host names the host and *used its index; otherwise *err
// names every host tried with its reason.
bool open_first(vesk_conn *c, const std::vector<std::string> &hosts, int *used, std::string *err) {
  std::string reasons;
  for (size_t i = 0; i < hosts.size(); ++i) {
    std::string e;
    c->params.host = hosts[i];
    c->engine = open_engine(c->params, hosts[i], c->errors, &e);
    if (c->engine) {
      if (used) *used = static_cast<int>(i);
      return true;
    }
    if (hosts.size() == 1) {
      reasons = e;
      break;
    }
    if (!reasons.empty()) reasons += "; ";
    reasons += "host '" + hosts[i] + "': " + e;
  }
  *err = reasons;
  return false;
}

// A new handle opened from a connect string, on one host or a list.
int open_handle(const char *connstr, bool list, vesk_conn **h, vesk_addr_attrs **attrs) {
  if (h == nullptr) return refuse("connect: no handle address given", kStateNoArgument);
  *h = nullptr;
  auto c = std::make_unique<vesk_conn>();
  std::string err;
  if (!read_params(connstr, &c->params, &err)) return refuse(err, kStateConnectFailed);
  c->hosts = c->params.host;
  c->params.read_write = list;
  auto a = std::make_unique<vesk_addr_attrs>();
  a->hosts = split_hosts(c->hosts, list);
  if (!open_first(c.get(), a->hosts, &a->used, &err)) return refuse(err, kStateConnectFailed);
  *h = c.release();
  if (list && attrs) *attrs = a.release();
  return VESK_OK;
}

}  // namespace

int impl_cli_connect(const char *connstr, vesk_conn **h) {
  return open_handle(connstr, false, h, nullptr);
}

int impl_cli_connect_multi(const char *connstr, int flag, vesk_addr_attrs **attrs,
                           vesk_conn **h) {
  return open_handle(connstr, true, h, attrs);
}

int impl_cli_disconnect(vesk_conn **h) {
  if (h == nullptr) return VESK_ERROR;
  std::unique_ptr<vesk_conn> c(*h);
  *h = nullptr;
  if (c && c->engine) c->engine->close();
  return VESK_OK;
}

int impl_cli_free_addr_attrs(vesk_addr_attrs **attrs) {
  if (attrs == nullptr) return VESK_ERROR;
  delete *attrs;
  *attrs = nullptr;
  return VESK_OK;
}

int impl_cli_reconnect(vesk_conn **h) {
  if (h == nullptr || *h == nullptr)
    return refuse("reconnect: there is no connection to reopen", kStateNoConnection);
  vesk_conn *c = *h;
  if (c->engine && c->engine->alive()) {
    int rc = c->engine->reconnect();
    if (rc >= 0) return rc;
  }
  // Open afresh with every parameter the handle was opened with; a host
  // list is tried whole again (after a failover the standby that took over
  // is found).
  if (c->engine) c->engine->close();
  c->engine.reset();
  std::string err;
  if (!open_first(c, split_hosts(c->hosts, c->params.read_write), nullptr, &err)) {
    c->errors->set(err, kStateConnectFailed);
    thread_error_set(err, kStateConnectFailed);
    return VESK_ERROR;
  }
  // The session goes on as it was set: autocommit stays off if it was.
  if (!c->autocommit) c->engine->set_autocommit(false);
  return VESK_OK;
}

int impl_cli_exec_command(vesk_conn **h, const char *sql) {
  if (h != nullptr && *h == nullptr) {
    // Read back with cli_error_text on the same empty handle.
    thread_error_set("there is no connection: the handle is empty", kStateNoConnection);
    return VESK_LOST;
  }
  if (h == nullptr || !(*h)->engine || !(*h)->engine->alive()) return VESK_LOST;
  if (sql == nullptr) {
    (*h)->errors->set("exec_command: no statement given", kStateNoArgument);
    return VESK_ERROR;
  }
  vesk_conn *c = *h;
  EngineConn &e = *c->engine;
  const ControlText ct = classify_control(sql);
  switch (ct.kind) {
    case Control::Begin: return e.begin();
    case Control::Commit: return e.commit();
    case Control::Rollback: return e.rollback();
    case Control::AutocommitOn:
    case Control::AutocommitOff: {
      const bool on = ct.kind == Control::AutocommitOn;
      int rc = e.set_autocommit(on);
      if (rc >= 0) c->autocommit = on;
      return rc;
    }
    case Control::Ping: return e.ping();
    case Control::Use:
      if (!plain_database_name(ct.database)) {
        c->errors->set("USE: '" + ct.database +
                       "' is not a plain database name (letters, digits and '_', not "
                       "starting with a digit, at most 128 characters)");
        return VESK_ERROR;
      }
      return e.use_database(ct.database);
    case Control::Plain: break;
  }
  return e.exec_plain(sql);
}

int impl_cli_error_text(vesk_conn **h, char *buf, int32_t *len) {
  if (h != nullptr && *h != nullptr)
    copy_error_text((*h)->errors->text, buf, len);
  else
    copy_error_text(thread_error(), buf, len);
  return VESK_OK;
}

int impl_cli_sqlstate(vesk_conn **h, char *buf) {
  if (h != nullptr && *h != nullptr)
    copy_sqlstate((*h)->errors->sqlstate, buf);
  else
    copy_sqlstate(thread_sqlstate(), buf);
  return VESK_OK;
}
