/* The C interface from an installed copy, one logger shared by threads:
 * every acknowledged row arrives once, and each thread reads its own reason.
 *     c_api_host DSN APP      exit 0 when all holds; prints what did not */
#include <tallyquill/tallyquill.h>

#include <pthread.h>
#include <stdio.h>
#include <string.h>

enum { THREADS = 4, ROWS = 50 };

static tq_logger *shared;

struct result {
    int index;
    int written;
    int refusedWithReason;
};

static void *writer(void *arg)
{
    struct result *r = arg;
    char text[64];
    for (int i = 0; i < ROWS; ++i) {
        snprintf(text, sizeof text, "thread %d row %d", r->index, i);
        if (tq_write(shared, "worker", "row", text) == 0 && tq_error(shared)[0] == '\0')
            ++r->written;
        /* Bytes that are not UTF-8 are refused, and the reason is this
         * thread's, whatever the others did in between. */
        if (tq_write(shared, "worker", "row", "bad \xff text") == -1 && strstr(tq_error(shared), "UTF-8"))
            ++r->refusedWithReason;
    }
    return NULL;
}

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    shared = tq_open(argv[1], argv[2], "ws01", NULL, NULL);
    pthread_t threads[THREADS];
    struct result results[THREADS];
    memset(results, 0, sizeof results);
    for (int t = 0; t < THREADS; ++t) {
        results[t].index = t;
        pthread_create(&threads[t], NULL, writer, &results[t]);
    }
    int written = 0, refused = 0;
    for (int t = 0; t < THREADS; ++t) {
        pthread_join(threads[t], NULL);
        written += results[t].written;
        refused += results[t].refusedWithReason;
    }
    tq_close(shared);
    if (written != THREADS * ROWS || refused != THREADS * ROWS) {
        fprintf(stderr, "written %d, refused with their reason %d, of %d each\n", written, refused, THREADS * ROWS);
        return 1;
    }
    return 0;
}
