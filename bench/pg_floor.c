/* The floor of the PostgreSQL fetch bench: read a query's rows through
 * libpq with binary results and build no Python objects.
 *
 *     pg_floor CONNINFO QUERY MODE
 *
 * MODE "all" reads the whole result at once (PQexecParams asking for binary
 * results: libpq keeps every row in one PGresult, as a buffering driver's
 * fetchall does); MODE "single" reads it in single-row mode (one PGresult
 * per row, as a streaming driver does).  Every value is looked at: int8 and
 * float8 columns are decoded from network order and summed, the lengths of
 * the other columns are added up, so nothing is left unread.
 *
 * The clock runs from sending the query to the last value read; connecting
 * and freeing the result are outside it.  One line goes to stdout:
 *
 *     <seconds> <rows> <peak kB added while reading>
 *
 * The bench (bench/pg_fetch.py) compiles this at run time with
 * `cc -O2 ... -lpq` and runs it once a round.
 */
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <libpq-fe.h>

/* Type oids of the columns decoded as numbers. */
#define INT8OID 20
#define FLOAT8OID 701

static double now(void)
{
    struct timeval tv;
    gettimeofday(&tv, NULL);
    return (double)tv.tv_sec + (double)tv.tv_usec * 1e-6;
}

/* The peak resident memory of this process, kB: VmHWM, since getrusage's
 * ru_maxrss starts at the parent's peak (Linux carries it over exec). */
static long peak_kb(void)
{
    char line[256];
    long kb = -1;
    FILE *f = fopen("/proc/self/status", "r");
    if (f) {
        while (fgets(line, sizeof line, f)) {
            if (strncmp(line, "VmHWM:", 6) == 0) {
                kb = strtol(line + 6, NULL, 10);
                break;
            }
        }
        fclose(f);
    }
    if (kb < 0) {
        struct rusage ru;
        getrusage(RUSAGE_SELF, &ru);
        kb = ru.ru_maxrss;
    }
    return kb;
}

static uint64_t load_be64(const char *p)
{
    const unsigned char *b = (const unsigned char *)p;
    return ((uint64_t)b[0] << 56) | ((uint64_t)b[1] << 48) | ((uint64_t)b[2] << 40)
         | ((uint64_t)b[3] << 32) | ((uint64_t)b[4] << 24) | ((uint64_t)b[5] << 16)
         | ((uint64_t)b[6] << 8) | (uint64_t)b[7];
}

/* What the rows add up to; printed to stderr so that the compiler cannot
 * drop the reading. */
struct totals {
    int64_t ints;
    double floats;
    int64_t bytes;
    long nulls;
};

static void read_rows(const PGresult *res, int first, int count, struct totals *t)
{
    int ncols = PQnfields(res);
    for (int r = first; r < first + count; r++) {
        for (int c = 0; c < ncols; c++) {
            if (PQgetisnull(res, r, c)) {
                t->nulls++;
                continue;
            }
            const char *v = PQgetvalue(res, r, c);
            Oid type = PQftype(res, c);
            if (type == INT8OID && PQgetlength(res, r, c) == 8) {
                t->ints += (int64_t)load_be64(v);
            } else if (type == FLOAT8OID && PQgetlength(res, r, c) == 8) {
                uint64_t bits = load_be64(v);
                double d;
                memcpy(&d, &bits, sizeof d);
                t->floats += d;
            } else {
                t->bytes += PQgetlength(res, r, c);
            }
        }
    }
}

static int fail(PGconn *conn, const char *what)
{
    fprintf(stderr, "pg_floor: %s: %s", what, PQerrorMessage(conn));
    PQfinish(conn);
    return 1;
}

int main(int argc, char **argv)
{
    if (argc != 4 || (strcmp(argv[3], "all") != 0 && strcmp(argv[3], "single") != 0)) {
        fprintf(stderr, "usage: pg_floor CONNINFO QUERY all|single\n");
        return 2;
    }
    const char *query = argv[2];
    int single = strcmp(argv[3], "single") == 0;

    PGconn *conn = PQconnectdb(argv[1]);
    if (PQstatus(conn) != CONNECTION_OK)
        return fail(conn, "connect");

    struct totals t = {0, 0.0, 0, 0};
    long rows = 0;
    long peak_before = peak_kb();
    double start = now();
    double elapsed;

    if (!single) {
        PGresult *res = PQexecParams(conn, query, 0, NULL, NULL, NULL, NULL, 1);
        if (PQresultStatus(res) != PGRES_TUPLES_OK) {
            PQclear(res);
            return fail(conn, "query");
        }
        rows = PQntuples(res);
        read_rows(res, 0, (int)rows, &t);
        elapsed = now() - start;
        PQclear(res);
    } else {
        if (!PQsendQueryParams(conn, query, 0, NULL, NULL, NULL, NULL, 1))
            return fail(conn, "send");
        if (!PQsetSingleRowMode(conn))
            return fail(conn, "single-row mode");
        int failed = 0;
        PGresult *res;
        elapsed = 0.0;
        while ((res = PQgetResult(conn)) != NULL) {
            ExecStatusType st = PQresultStatus(res);
            if (st == PGRES_SINGLE_TUPLE) {
                read_rows(res, 0, 1, &t);
                rows++;
            } else if (st == PGRES_TUPLES_OK) {
                elapsed = now() - start;  /* the closing (empty) result */
            } else {
                fprintf(stderr, "pg_floor: query: %s", PQresultErrorMessage(res));
                failed = 1;
            }
            PQclear(res);
        }
        if (failed) {
            PQfinish(conn);
            return 1;
        }
        if (elapsed == 0.0)
            elapsed = now() - start;
    }
    long peak_after = peak_kb();
    PQfinish(conn);

    printf("%.6f %ld %ld\n", elapsed, rows, peak_after - peak_before);
    fprintf(stderr, "pg_floor: totals %" PRId64 " %.1f %" PRId64 " %ld\n",
            t.ints, t.floats, t.bytes, t.nulls);
    return 0;
}
