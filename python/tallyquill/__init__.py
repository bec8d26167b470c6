"""Tallyquill's shared activity log from Python.

    import logging, tallyquill
    logging.getLogger().addHandler(tallyquill.Handler(dsn="Tallyquill", app="ORDERS"))
    logging.getLogger().warning("order %s cancelled", 1001)

or, one row per call:

    with tallyquill.Logger("Tallyquill", "ORDERS", "WS01") as log:
        log.write("john", "login", "Signed on")
"""

import ctypes
import getpass
import logging
import os
import socket
import sys

from tallyquill import _where

__all__ = ["Error", "Logger", "Handler"]

# The widths of the event and activity columns, in characters.
EVENT_WIDTH = 8
ACTIVITY_WIDTH = 250


class Error(Exception):
    """A row that was not written, with the library's reason."""


def _library():
    candidates = []
    if os.environ.get("TALLYQUILL_LIBRARY"):
        candidates.append(os.environ["TALLYQUILL_LIBRARY"])
    here = os.path.dirname(os.path.abspath(__file__))
    candidates.append(os.path.normpath(os.path.join(here, _where.LIBRARY_FROM_PACKAGE)))
    candidates.append("libtallyquill.so.0")
    reasons = []
    for path in candidates:
        try:
            lib = ctypes.CDLL(path)
        except OSError as e:
            reasons.append(str(e))
            continue
        lib.tq_open.restype = ctypes.c_void_p
        lib.tq_open.argtypes = [ctypes.c_char_p] * 5
        lib.tq_spool.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.tq_write.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p]
        lib.tq_error.restype = ctypes.c_char_p
        lib.tq_error.argtypes = [ctypes.c_void_p]
        lib.tq_flush.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.tq_pending.restype = ctypes.c_longlong
        lib.tq_pending.argtypes = [ctypes.c_void_p]
        lib.tq_close.argtypes = [ctypes.c_void_p]
        return lib
    raise ImportError("libtallyquill.so.0 not found: " + "; ".join(reasons))


_lib = _library()


def _utf8(value, what):
    # A C string ends at its first NUL: refuse one rather than cut the text.
    if value is None:
        return None
    value = str(value)
    if "\0" in value:
        raise Error("The %s holds a NUL character" % what)
    return value.encode("utf-8", "surrogatepass")


class Logger:
    """One row per write() into <app>_logs of the ODBC data source `dsn`.
    Several threads may share one."""

    def __init__(self, dsn, app, ws=None, login=None, password=None, spooled=False):
        ws = ws if ws is not None else socket.gethostname().split(".")[0][:16]
        self._h = None
        self._h = _lib.tq_open(_utf8(dsn, "data source name"), _utf8(app, "application ID"),
                               _utf8(ws, "workstation ID"), _utf8(login, "login"), _utf8(password, "password"))
        if not self._h:
            raise MemoryError("tq_open")
        if spooled and _lib.tq_spool(self._h, 1) != 0:
            reason = self._reason()
            self.close()
            raise Error(reason)

    def _reason(self):
        return _lib.tq_error(self._h).decode("utf-8", "replace")

    def write(self, user, event, activity):
        """Raises Error with the reason when the row was not written."""
        if not self._h:
            raise Error("the logger is closed")
        if _lib.tq_write(self._h, _utf8(user or "", "user name"), _utf8(event or "", "event type"),
                         _utf8(activity, "activity text")) != 0:
            raise Error(self._reason())

    def pending(self):
        return _lib.tq_pending(self._h) if self._h else -1

    def flush(self, timeout=10.0):
        """Spooled mode: waits for the spool to empty; Error if it did not."""
        if self._h and _lib.tq_flush(self._h, int(timeout * 1000)) != 0:
            raise Error(self._reason())

    def close(self):
        if self._h:
            _lib.tq_close(self._h)
            self._h = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()


class Handler(logging.Handler):
    """Sends Python's log records to the shared log: the user from the
    record's `user` attribute (logger.info(..., extra={"user": ...})), else
    `user`, else the login, else the process's user; the event from the
    level name (its first 8 characters); the activity from the formatted
    message, in rows of 250 characters when it is longer (a traceback, say),
    so that nothing is cut. A record that cannot be written goes to
    handleError, as logging's own handlers do."""

    def __init__(self, dsn, app, ws=None, login=None, password=None, user=None, spooled=True,
                 level=logging.NOTSET):
        super().__init__(level)
        self.logger = Logger(dsn, app, ws, login, password, spooled)
        self.user = user or login or getpass.getuser()

    def emit(self, record):
        try:
            user = getattr(record, "user", None) or self.user
            event = record.levelname[:EVENT_WIDTH]
            text = self.format(record)
            for start in range(0, max(len(text), 1), ACTIVITY_WIDTH):
                self.logger.write(user, event, text[start:start + ACTIVITY_WIDTH])
        except Exception:
            self.handleError(record)

    def flush(self):
        # What is left stays in the spool for the next writer; say why.
        try:
            self.logger.flush()
        except Error as e:
            sys.stderr.write("tallyquill: %s\n" % e)

    def close(self):
        try:
            self.logger.close()
        finally:
            super().close()
