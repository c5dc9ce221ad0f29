"""The standard output of a call, C++ writes included (print_circuit writes
through std::cout, past Python's sys.stdout), and the error it ended with."""
import os
import sys
import tempfile


def captured(call):
    """(what `call()` printed, "ran" or "ErrorType: message")."""
    out = tempfile.TemporaryFile(mode="w+")
    sys.stdout.flush()
    saved = os.dup(1)
    os.dup2(out.fileno(), 1)
    try:
        call()
        error = "ran"
    except Exception as e:  # noqa: BLE001  (the dumps compare failures too)
        error = f"{type(e).__name__}: {e}"
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)
    out.seek(0)
    return out.read().strip(), error
