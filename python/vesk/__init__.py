"""vesk: what programs build around the `vesk_internal` extension module.

The extension gives a Python program sessions: private, versioned workspaces
in which untrusted Python and shell code runs in isolation. This package holds
what is written in Python on top of it, so far the Model Context Protocol tool
server `vesk serve` (`vesk.server`), started by the console script `vesk` or
by `python -m vesk`.

Importing this package imports nothing of the extension and starts nothing.
"""

__version__ = "0.1.0"
