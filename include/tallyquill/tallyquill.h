/* Tallyquill's C interface: one call per event, as syslog(3) has it.
 *
 *     tq_logger *log = tq_open("Tallyquill", "ORDERS", "WS01", NULL, NULL);
 *     if (tq_write(log, "john", "login", "Signed on") != 0)
 *         fprintf(stderr, "not logged: %s\n", tq_error(log));
 *     tq_close(log);
 *
 * Texts are UTF-8. A logger may be shared by several threads. */
#ifndef TALLYQUILL_TALLYQUILL_H
#define TALLYQUILL_TALLYQUILL_H

#if defined(_WIN32)
#  define TQ_C_API __declspec(dllimport)
#else
#  define TQ_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tq_logger tq_logger;

/* A logger for the table <app>_logs of the data source `dsn`; NULL for login
 * or password sends the data source's own. The connection opens at the first
 * write. NULL only when memory runs out. A value it cannot take (not UTF-8,
 * an app that cannot name a table) makes every tq_write fail, and tq_error
 * says why. */
TQ_C_API tq_logger *tq_open(const char *dsn, const char *app, const char *ws, const char *login,
                            const char *password);

/* 1: tq_write appends to the local spool and a background thread delivers
 * it, in order and exactly once; 0: tq_write inserts the row itself (the
 * default). 0 when done, -1 on failure. */
TQ_C_API int tq_spool(tq_logger *log, int on);

/* One row: user and event are stored in capitals. 0 when the row was written
 * (or spooled); -1 when it was not, and tq_error says why. */
TQ_C_API int tq_write(tq_logger *log, const char *user, const char *event, const char *text);

/* Why the calling thread's last failed call on `log` failed, in English;
 * "" after a success. Valid until this thread's next call on `log`. */
TQ_C_API const char *tq_error(const tq_logger *log);

/* Spooled mode: waits up to timeout_ms for every spooled record to be
 * delivered. 0 when the spool is empty, -1 when records still wait
 * (tq_error says why they could not be delivered). */
TQ_C_API int tq_flush(tq_logger *log, int timeout_ms);

/* Records of this logger's data source and table still in the spool; -1
 * when the spool cannot be read. */
TQ_C_API long long tq_pending(const tq_logger *log);

/* Delivers what it can of the spool within 2 s, then frees the logger;
 * what is left waits for the next spooled writer. NULL is ignored. */
TQ_C_API void tq_close(tq_logger *log);

#ifdef __cplusplus
}
#endif

#endif
