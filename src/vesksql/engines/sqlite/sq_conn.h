// The embedded engine's connection.
#ifndef VESKSQL_SQLITE_CONN_H
#define VESKSQL_SQLITE_CONN_H

#include <string>

#include "core/engine.h"
#include "core/sql_scan.h"
#include "sq_db.h"

namespace vesk {
namespace sq {

class SqliteConn : public EngineConn {
 public:
  SqliteConn(ConnectParams params, std::string opened_path, DbPtr db, ErrorSlotPtr errors)
      : EngineConn(std::move(errors)), params_(std::move(params)),
        opened_path_(std::move(opened_path)), db_(std::move(db)) {}
  ~SqliteConn() override { close(); }

  bool alive() const override { return db_ && db_->open(); }
  int begin() override;
  int commit() override;
  int rollback() override;
  int set_autocommit(bool on) override;
  int ping() override;
  int use_database(const std::string &name) override;
  int exec_plain(const char *sql) override;
  int exec_direct(const char *sql, const ParamStore &params, ResultPtr *out,
                  Counters *counters) override;
  int prepare(const char *sql) override;
  int exec_prepared(const ParamStore &params, ResultPtr *out) override;
  int unprepare() override;
  int exec_batch(const char *sql, int32_t rows, const ArrayStore &arrays) override;
  bool reads_compact_arrays() const override { return true; }
  int exec_routine(const char *stmt, ParamStore &params) override;
  // No server cursors here: every batch is empty and closing succeeds.
  int open_named_cursor(const char *name, ResultPtr *out) override;
  int close_named_cursor(const char *name) override;
  int reconnect() override;
  int rowid(char *buf) override;
  void close() override;

 private:
  sqlite3 *raw() const { return db_->db; }
  int fail() { return db_->fail(); }
  int fail(const std::string &t, const char *state = kStateGeneral) {
    return db_->fail(t, state);
  }
  bool in_transaction() const { return sqlite3_get_autocommit(raw()) == 0; }
  // With autocommit off, open the implicit transaction before a statement.
  int implicit_begin(Verb verb);
  int run_single(const StmtPtr &box, Verb verb, const ParamStore &params, bool has_params,
                 ResultPtr *out, Counters *counters,
                 const std::vector<uint8_t> *real_params = nullptr);
  int run_multi(const char *sql, const ParamStore &params, ResultPtr *out, Counters *counters);
  int switch_to(const std::string &path);
  int run_plain(const char *sql, bool with_implicit_begin);

  ConnectParams params_;
  std::string opened_path_;  // the database the handle was opened on
  DbPtr db_;
  bool autocommit_ = true;
  StmtPtr prepared_;
  Verb prepared_verb_ = Verb::None;
  // The statement given back last, kept for a prepare of the same text
  // (a driver preparing once per parameter set).
  StmtPtr spare_;
  Verb spare_verb_ = Verb::None;
};

bool is_dml(Verb v);
// Whether the first statement's verb must run outside an implicit transaction.
bool runs_outside_transaction(Verb v);

}  // namespace sq
}  // namespace vesk

#endif
