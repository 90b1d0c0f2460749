# handler_child.py LOG_DIR ENDING [FILE_SIZE_LIMIT]: logs records 0..399 through an AuditHandler, then ends by
# ENDING: "kill" (flush, then SIGKILL itself), "exit" (return without closing: logging.shutdown closes) or "fail"
# (close after the log failed; prints a JSON report of every record that reached handleError and of flush).

import json
import logging
import os
import resource
import signal
import sys

import corvane_audit as ca

log_dir, ending = sys.argv[1], sys.argv[2]
if len(sys.argv) > 3:  # writes past this size fail with EFBIG, as on a full disk
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[3]),) * 2)
handler = ca.AuditHandler(log_dir, ca.KeyHandle.from_bytes(b"\x42" * 32))
errors: dict[int, str] = {}
if ending == "fail":
    handler.handleError = lambda record: errors.setdefault(record.args[0], str(sys.exc_info()[1]))  # type: ignore
(logger := logging.getLogger("child")).addHandler(handler)
for i in range(400):
    logger.warning("r%d", i, extra={"i": i, "pad": "x" * 200})
if ending == "kill":
    handler.flush()
    os.kill(os.getpid(), signal.SIGKILL)
if ending == "fail":
    try:
        handler.flush()
        flushed = "ok"
    except ca.IoFailure as exc:
        flushed = str(exc)
    handler.close()
    print(json.dumps({"errors": errors, "flush": flushed}))
