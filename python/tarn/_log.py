"""The library's log, carried to Python's `logging` under the logger "tarn".

Importing the package routes it there instead of standard output; the levels keep their
meaning (the library's warnings are logging.WARNING records, and so on). What reaches the
logger still depends on the library's own level (`tarn.set_log_level`, info by default).
"""
import atexit
import logging
import threading

from . import _tarn

logger = logging.getLogger("tarn")

# The library's levels 0 (trace) to 5 (critical).
_LEVELS = (5, logging.DEBUG, logging.INFO, logging.WARNING, logging.ERROR, logging.CRITICAL)


def _emit(level, text):
    logger.log(_LEVELS[level] if 0 <= level < len(_LEVELS) else logging.ERROR, text)


def _carry():
    while _tarn.wait_for_log():
        pass


def route():
    """Sends the library's log to the logger "tarn" (done once, when the package is imported)."""
    _tarn.route_log(_emit)
    carrier = threading.Thread(target=_carry, name="tarn-log", daemon=True)
    carrier.start()

    def stop():
        # Messages of library threads still running at exit go to standard output again;
        # the carrier ends while the interpreter can still take it back.
        _tarn.unroute_log()
        carrier.join(timeout=5)

    atexit.register(stop)
