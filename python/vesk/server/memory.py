"""The worker's own memory: given back after each call, and bounded.

What a session holds in its worker is mostly its history, which the module
bounds by `max_history_mb` (and the worker keeps under it by forgetting the
oldest checkpoints first). But what the host pays is the worker's resident
set, and glibc keeps memory a call freed in its arenas for reuse: contents of
a megabyte or so, and the buffers a large run or reply went through, stay
resident after their checkpoints are forgotten or the call has ended (a
history of 150 one-MiB files, forgotten, left 150 MiB resident; a worker's
1 GB history written by Python runs, forgotten, left 1.2 GB). So:

- after a call that left the resident set `TRIM_STEP` above where the last
  trim left it, the worker returns the free pages (`malloc_trim`, a few to a
  hundred milliseconds for a heap of gigabytes, paid only by calls that grew
  it by that much);
- before a change, a resident set past the budget, `max_history_mb + 4 *
  max_workspace_mb + max_park_image_mb + MARGIN_MB`, makes the worker forget
  the oldest checkpoints, one at a time, until it is under; still past it
  with nothing left to forget, the memory is held by something no bound
  covers, and the session is ended (`OverBudget`, a fatal reply) rather than
  left to grow. The budget counts the history; four times a workspace for
  what the session holds beside it (the last run's reply as it was read,
  whose files travel as JSON numbers of up to four bytes a byte, and which
  the session's runner connection may keep until the next one; the mount
  records); a park image; and the interpreter and module (about 20 MiB)
  with room to spare.

Off glibc (no `malloc_trim`) nothing is trimmed; the budget still holds.
"""

from __future__ import annotations

import ctypes
import os
from collections.abc import Mapping
from typing import Any, Callable

MIB = 1 << 20
MARGIN_MB = 256
TRIM_STEP = 64 * MIB
_PAGE = os.sysconf("SC_PAGE_SIZE")


class OverBudget(Exception):
    """The worker holds more than its budget with nothing left to forget."""


def resident_bytes() -> int:
    """This process's resident set."""
    with open("/proc/self/statm", "rb") as f:
        return int(f.read().split()[1]) * _PAGE


def _trimmer() -> Callable[[], object]:
    try:
        trim = ctypes.CDLL(None).malloc_trim
    except (OSError, AttributeError):
        return lambda: None
    trim.argtypes = [ctypes.c_size_t]
    return lambda: trim(0)


class Memory:
    """The budget of one worker, from the module's configuration keys."""

    def __init__(self, settings: Mapping[str, Any]) -> None:
        self.budget_mb: int = (settings["max_history_mb"] + 4 * settings["max_workspace_mb"]
                               + settings["max_park_image_mb"] + MARGIN_MB)
        self._trim = _trimmer()
        self._slack = resident_bytes()

    def give_back(self, held: int, always: bool = False) -> int:
        """Trims when what is resident beside the history's `held` bytes grew
        by TRIM_STEP since the last trim (a large call's buffers, or contents
        a forget freed), or `always`; returns the resident set."""
        resident = resident_bytes()
        if always or resident - held > self._slack + TRIM_STEP:
            self._trim()
            resident = resident_bytes()
            self._slack = resident - held
        self._slack = min(self._slack, resident - held)
        return resident

    def over_budget(self, held: int) -> bool:
        """Whether the resident set is past the budget once free pages are
        given back; `held`: the history's bytes now."""
        budget = self.budget_mb * MIB
        resident = self.give_back(held)
        if resident > budget:
            resident = self.give_back(held, always=True)
        return resident > budget

    def check(self, held: int) -> None:
        """Raises OverBudget when the resident set is past the budget (the
        caller has forgotten what it could)."""
        if self.over_budget(held):
            raise OverBudget(
                f"the session's worker holds {resident_bytes() // MIB} MiB, past its budget of "
                f"{self.budget_mb} MiB (max_history_mb + 4 x max_workspace_mb + "
                f"max_park_image_mb + {MARGIN_MB}), with every older checkpoint forgotten; "
                "the session is ended")
