/* The floor of the PostgreSQL insert bench: insert N rows of (int8,
 * float8, 20-character text) through libpq the way a driver's executemany
 * at its best would, and build no Python objects.
 *
 *     pg_insert_floor CONNINFO ROWS MODE
 *
 * One transaction; "insert into t values ($1, $2, $3)" prepared once, then
 * run for every row in pipeline mode with one synchronisation per 1000 rows
 * (the answers of a chunk read after its Sync).  MODE "text" sends every
 * value as text (the integer and the float formatted as a driver does);
 * MODE "binary" sends the int8 and the float8 in binary form.  The rows'
 * values are made before the clock starts.
 *
 * The clock runs from BEGIN to the end of COMMIT; connecting is outside it.
 * One line goes to stdout: <seconds> <rows>.  bench/pg_insert.py compiles
 * this at run time with `cc -O2 ... -lpq` and runs it once a round.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include <libpq-fe.h>

#define CHUNK 1000

static double now(void)
{
    struct timeval tv;
    gettimeofday(&tv, NULL);
    return (double)tv.tv_sec + (double)tv.tv_usec * 1e-6;
}

static void die(PGconn *conn, const char *what)
{
    fprintf(stderr, "%s: %s\n", what, PQerrorMessage(conn));
    exit(1);
}

static void run(PGconn *conn, const char *sql)
{
    PGresult *r = PQexec(conn, sql);
    if (PQresultStatus(r) != PGRES_COMMAND_OK)
        die(conn, sql);
    PQclear(r);
}

static void put_be64(uint64_t v, char *out)
{
    for (int k = 7; k >= 0; --k) {
        out[k] = (char)(v & 0xff);
        v >>= 8;
    }
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: pg_insert_floor CONNINFO ROWS text|binary\n");
        return 2;
    }
    long rows = atol(argv[2]);
    int binary = strcmp(argv[3], "binary") == 0;
    PGconn *conn = PQconnectdb(argv[1]);
    if (PQstatus(conn) != CONNECTION_OK)
        die(conn, "connect");

    /* The values: 32 bytes a value, made before the clock. */
    char *store = malloc((size_t)rows * 3 * 32);
    if (store == NULL)
        return 1;
    for (long i = 0; i < rows; ++i) {
        char *a = store + i * 96, *b = a + 32, *c = b + 32;
        if (binary) {
            double d = (double)i * 0.5;
            uint64_t bits;
            memcpy(&bits, &d, sizeof bits);
            put_be64((uint64_t)i, a);
            put_be64(bits, b);
        } else {
            snprintf(a, 32, "%ld", i);
            snprintf(b, 32, "%.17g", (double)i * 0.5);
        }
        snprintf(c, 32, "row%017ld", i);
    }

    double start = now();
    run(conn, "BEGIN");
    PGresult *p = PQprepare(conn, "ins", "insert into t values ($1, $2, $3)", 0, NULL);
    if (PQresultStatus(p) != PGRES_COMMAND_OK)
        die(conn, "prepare");
    PQclear(p);
    if (!PQenterPipelineMode(conn))
        die(conn, "pipeline");
    int formats[3] = {binary, binary, 0};
    int lengths[3] = {8, 8, 0};
    for (long at = 0; at < rows; at += CHUNK) {
        long end = at + CHUNK < rows ? at + CHUNK : rows;
        for (long i = at; i < end; ++i) {
            const char *values[3] = {store + i * 96, store + i * 96 + 32, store + i * 96 + 64};
            if (!PQsendQueryPrepared(conn, "ins", 3, values, lengths, formats, 0))
                die(conn, "send");
        }
        if (!PQpipelineSync(conn))
            die(conn, "sync");
        for (long i = at; i < end; ++i) {
            PGresult *r = PQgetResult(conn);
            if (PQresultStatus(r) != PGRES_COMMAND_OK)
                die(conn, "insert");
            PQclear(r);
            while ((r = PQgetResult(conn)) != NULL)
                PQclear(r);
        }
        PGresult *s = PQgetResult(conn);
        if (PQresultStatus(s) != PGRES_PIPELINE_SYNC)
            die(conn, "sync result");
        PQclear(s);
    }
    if (!PQexitPipelineMode(conn))
        die(conn, "exit pipeline");
    run(conn, "COMMIT");
    double seconds = now() - start;
    printf("%.6f %ld\n", seconds, rows);
    free(store);
    PQfinish(conn);
    return 0;
}
