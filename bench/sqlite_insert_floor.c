/* The floor of bench/insert.py: the same rows (integer, real, text of 20
 * characters) inserted into a fresh SQLite file in one transaction by a
 * plain C loop of bind, step and reset on one prepared statement, with the
 * values made before the clock starts.  No driver can insert faster through
 * SQLite's public calls; what a Python driver adds is the rest.
 *
 *     cc -O2 -o sqlite_insert_floor bench/sqlite_insert_floor.c -lsqlite3
 *     ./sqlite_insert_floor FILE ROWS
 *
 * Prints the seconds from BEGIN to the end of COMMIT and the rows stored. */
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define TEXT_WIDTH 20
#define TEXT_STRIDE 24  /* room for the text, its zero and more */

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int check(sqlite3 *db, int rc, const char *what) {
  if (rc == SQLITE_OK || rc == SQLITE_DONE) return 0;
  fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s FILE ROWS\n", argv[0]);
    return 2;
  }
  const long rows = strtol(argv[2], NULL, 10);
  if (rows < 1) return 2;
  char *texts = malloc((size_t)rows * TEXT_STRIDE);
  if (texts == NULL) return 1;
  for (long i = 0; i < rows; ++i)
    snprintf(texts + i * TEXT_STRIDE, TEXT_STRIDE, "row%017ld", i);

  sqlite3 *db = NULL;
  sqlite3_stmt *st = NULL;
  if (sqlite3_open(argv[1], &db) != SQLITE_OK) return 1;
  if (check(db, sqlite3_exec(db, "create table t(a integer, b real, c text)", 0, 0, 0), "create"))
    return 1;
  const double start = now();
  if (check(db, sqlite3_exec(db, "begin", 0, 0, 0), "begin") ||
      check(db, sqlite3_prepare_v2(db, "insert into t values (?, ?, ?)", -1, &st, NULL),
            "prepare"))
    return 1;
  for (long i = 0; i < rows; ++i) {
    sqlite3_bind_int64(st, 1, i);
    sqlite3_bind_double(st, 2, i * 0.5);
    sqlite3_bind_text(st, 3, texts + i * TEXT_STRIDE, TEXT_WIDTH, SQLITE_STATIC);
    if (check(db, sqlite3_step(st), "step")) return 1;
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  if (check(db, sqlite3_exec(db, "commit", 0, 0, 0), "commit")) return 1;
  const double seconds = now() - start;
  long stored = 0;
  if (sqlite3_prepare_v2(db, "select count(*) from t", -1, &st, NULL) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW)
    stored = (long)sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  sqlite3_close(db);
  free(texts);
  printf("%.6f %ld\n", seconds, stored);
  return 0;
}
