#!/usr/bin/env python3
"""The Python package of an installed copy, used through the standard
logging module: records arrive as rows, failures carry their reason.

    python_handler_test.py <tallyquill command>     (tallyquill on PYTHONPATH)
"""

import json
import logging
import subprocess
import sys
import unittest

import tallyquill

TOOL = sys.argv.pop(1)


def rows(app):
    out = subprocess.run([TOOL, "list", "--dsn", "Tallyquill", "--app", app, "--format", "json"],
                         check=True, capture_output=True, text=True).stdout
    return [json.loads(line) for line in out.splitlines() if line]


class Handler(unittest.TestCase):
    def test_records_become_rows_with_user_event_and_whole_text(self):
        log = logging.getLogger("tq.rows")
        log.propagate = False
        handler = tallyquill.Handler(dsn="Tallyquill", app="PYLOG", ws="ws09", user="daemon")
        handler.setFormatter(logging.Formatter("%(name)s: %(message)s"))
        log.addHandler(handler)
        log.warning("order %s cancelled", 1001)
        log.error("refund by hand", extra={"user": "mary"})
        long_text = "x" * 300 + "end"
        log.critical(long_text)
        handler.flush()
        handler.close()
        got = [(r["user"], r["event"], r["ws"], r["activity"]) for r in rows("PYLOG")]
        self.assertEqual(got[:2], [("DAEMON", "WARNING", "WS09", "tq.rows: order 1001 cancelled"),
                                   ("MARY", "ERROR", "WS09", "tq.rows: refund by hand")])
        # A text wider than the column arrives whole, in consecutive rows.
        self.assertEqual([r[1] for r in got[2:]], ["CRITICAL", "CRITICAL"])
        self.assertEqual("".join(r[3] for r in got[2:]), "tq.rows: " + long_text)

    def test_a_record_that_cannot_be_written_reaches_handle_error(self):
        failures = []

        class Seen(tallyquill.Handler):
            def handleError(self, record):
                failures.append(sys.exc_info()[1])

        handler = Seen(dsn="", app="PYLOG", spooled=False)
        handler.emit(logging.makeLogRecord({"msg": "lost?", "levelname": "INFO"}))
        handler.close()
        self.assertEqual([str(e) for e in failures], ["No DSN provided"])


class Logger(unittest.TestCase):
    def test_write_raises_with_the_reason(self):
        cases = [({"dsn": "", "app": "PYLOG", "ws": "WS01"}, "No DSN provided"),
                 ({"dsn": "Tallyquill", "app": "NO-SUCH", "ws": "WS01"}, "NO-SUCH"),
                 ({"dsn": "Tallyquill", "app": "PYLOG", "ws": "WS01"}, "NUL")]
        for args, reason in cases:
            with self.subTest(**args), tallyquill.Logger(**args) as log:
                with self.assertRaises(tallyquill.Error) as caught:
                    log.write("john", "login", "a\0b" if reason == "NUL" else "text")
                self.assertIn(reason, str(caught.exception))

    def test_spooled_rows_arrive_once_after_flush(self):
        with tallyquill.Logger("Tallyquill", "PYSPOOL", "WS01", spooled=True) as log:
            for i in range(20):
                log.write("john", "spool", "row %d" % i)
            log.flush(30)
            self.assertEqual(log.pending(), 0)
        self.assertEqual([r["activity"] for r in rows("PYSPOOL")], ["row %d" % i for i in range(20)])


if __name__ == "__main__":
    unittest.main(verbosity=1)
