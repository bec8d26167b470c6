/* The C interface of an installed Tallyquill: one call per event.
 *     c_host DSN        writes two rows into EXAMPLE_logs and shows why a
 *                       third, with no data source, is not written */
#include <tallyquill/tallyquill.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    tq_logger *log = tq_open(argc > 1 ? argv[1] : "", "example", "ws01", NULL, NULL);
    if (!log)
        return 2;
    if (tq_write(log, "example", "start", "C host started") != 0
        || tq_write(log, "example", "stop", "C host stopped") != 0) {
        fprintf(stderr, "not logged: %s\n", tq_error(log));
        tq_close(log);
        return 1;
    }
    tq_close(log);

    /* Without a data source nothing is written, and the reason says so. */
    tq_logger *none = tq_open(NULL, "example", "ws01", NULL, NULL);
    int answer = tq_write(none, "example", "start", "never written");
    printf("without a data source: %d (%s)\n", answer, tq_error(none));
    int ok = answer == -1 && strcmp(tq_error(none), "No DSN provided") == 0;
    tq_close(none);
    return ok ? 0 : 3;
}
