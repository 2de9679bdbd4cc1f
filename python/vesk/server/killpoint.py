"""Test-only crash points: with VESK_TEST_KILL_AT="STEP:N" in its
environment, a server or worker process kills itself with SIGKILL the Nth
time it reaches `reach(STEP)`, saying so on standard error first. Tests
use it to crash a process at each boundary of a store write, a call and a
park. Unset (always, outside tests), `reach` does nothing."""

from __future__ import annotations

import os
import signal

_STEP, _, _COUNT = os.environ.get("VESK_TEST_KILL_AT", "").rpartition(":")
_seen = 0


def reach(step: str) -> None:
    global _seen
    if step != _STEP:
        return
    _seen += 1
    if str(_seen) == _COUNT:
        os.write(2, f"vesk: killed at {step}\n".encode())
        os.kill(os.getpid(), signal.SIGKILL)
