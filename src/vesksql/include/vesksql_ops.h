/*
 * vesksql_ops.h -- every operation of vesksql.h as one list.
 *
 * X(name, parameter list, argument list).  The list drives the dispatch
 * layer and the hook table below; dispatch.cpp defines each cli_* function
 * from it while including vesksql.h, so the compiler holds the list and the
 * public declarations together.
 */
#ifndef VESKSQL_OPS_H
#define VESKSQL_OPS_H

#include "vesksql.h"

#define VESK_OPS(X) \
  X(cli_connect, (const char *connstr, vesk_conn **h), (connstr, h)) \
  X(cli_connect_multi, (const char *connstr, int flag, vesk_addr_attrs **attrs, vesk_conn **h), (connstr, flag, attrs, h)) \
  X(cli_disconnect, (vesk_conn **h), (h)) \
  X(cli_free_addr_attrs, (vesk_addr_attrs **attrs), (attrs)) \
  X(cli_reconnect, (vesk_conn **h), (h)) \
  X(cli_exec_command, (vesk_conn **h, const char *sql), (h, sql)) \
  X(cli_error_text, (vesk_conn **h, char *buf, int32_t *len), (h, buf, len)) \
  X(cli_sqlstate, (vesk_conn **h, char *buf), (h, buf)) \
  X(cli_reset_params, (vesk_conn **h), (h)) \
  X(cli_sql_kind, (const char *sql), (sql)) \
  X(cli_exec_direct, (vesk_conn **h, const char *sql, vesk_result **r, int32_t *second, int32_t *rowcount, int32_t *third), (h, sql, r, second, rowcount, third)) \
  X(cli_prepare, (vesk_conn **h, const char *sql, int zero), (h, sql, zero)) \
  X(cli_exec_prepared, (vesk_conn **h, int zero1, int zero2, vesk_result **r), (h, zero1, zero2, r)) \
  X(cli_exec_flush, (vesk_conn **h), (h)) \
  X(cli_unprepare, (vesk_conn **h, void *reserved), (h, reserved)) \
  X(cli_exec_batch, (vesk_conn **h, const char *sql, int32_t rows), (h, sql, rows)) \
  X(cli_exec_routine, (vesk_conn **h, const char *stmt, vesk_result *result), (h, stmt, result)) \
  X(cli_bind_param, (vesk_conn **h, int32_t pos, int32_t direction, int32_t type, void *buf, int32_t buflen, int32_t *len), (h, pos, direction, type, buf, buflen, len)) \
  X(cli_bind_param_named, (vesk_conn **h, const char *name, int32_t direction, int32_t type, void *buf, int32_t buflen, void *reserved, int32_t *len), (h, name, direction, type, buf, buflen, reserved, len)) \
  X(cli_bind_array, (vesk_conn **h, int32_t pos, int32_t columns, int32_t direction, int32_t type, int32_t count, const void *data, int32_t width, const int32_t *lens), (h, pos, columns, direction, type, count, data, width, lens)) \
  X(cli_result_info, (vesk_result **r, int32_t *kind, int32_t *second, int32_t *rowcount, int32_t *third, void *reserved), (r, kind, second, rowcount, third, reserved)) \
  X(cli_free_result, (vesk_result **r), (r)) \
  X(cli_next_result, (vesk_result **r), (r)) \
  X(cli_fetch_row, (vesk_result **r), (r)) \
  X(cli_open_named_cursor, (vesk_conn **h, const char *name, vesk_result **r), (h, name, r)) \
  X(cli_close_named_cursor, (vesk_conn **h, const char *name), (h, name)) \
  X(cli_column_count, (vesk_result **r, int32_t *count), (r, count)) \
  X(cli_column_name, (vesk_result **r, int32_t col, char *buf), (r, col, buf)) \
  X(cli_column_type, (vesk_result **r, int32_t col, int32_t *type), (r, col, type)) \
  X(cli_column_size, (vesk_result **r, int32_t col, int32_t *size), (r, col, size)) \
  X(cli_column_index, (vesk_result **r, const char *name), (r, name)) \
  X(cli_get_rowid, (vesk_conn **h, char *buf), (h, buf)) \
  X(cli_get_field, (vesk_result **r, int32_t col, int32_t type, void *buf, int32_t cap, int32_t *len), (r, col, type, buf, cap, len)) \
  X(cli_lob_create, (vesk_lob **loc), (loc)) \
  X(cli_lob_read, (vesk_lob **loc, void *buf, int32_t len), (loc, buf, len)) \
  X(cli_lob_free, (vesk_lob **loc), (loc))

#endif /* VESKSQL_OPS_H */
