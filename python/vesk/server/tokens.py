"""Bearer tokens and the principals they stand for.

Pure: `parse` reads a token file's text. Each non-empty line is
`PRINCIPAL:TOKEN`, or a bare `TOKEN`, which stands for the principal
`default` (so a file of one token, as before principals, still works; a
token with a colon in it must therefore be written with its principal). A
principal's sessions and workspaces are its own: another principal's handles
are refused as unknown ones. Errors are returned as text for the operator.
"""

from __future__ import annotations

DEFAULT_PRINCIPAL = "default"


def parse(text: str) -> tuple[tuple[tuple[str, str], ...], str | None]:
    """The (principal, token) pairs of a token file, and what is wrong with
    it (then no pairs)."""
    pairs: list[tuple[str, str]] = []
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        principal, colon, token = line.partition(":")
        principal, token = (principal.strip(), token.strip()) if colon else \
            (DEFAULT_PRINCIPAL, line)
        if not principal or not token or any(c.isspace() for c in token):
            return (), f"line {number} is not PRINCIPAL:TOKEN (a token has no spaces)"
        if any(token == known for _, known in pairs):
            return (), f"line {number} repeats a token: each must name one principal"
        pairs.append((principal, token))
    if not pairs:
        return (), "the token file is empty"
    return tuple(pairs), None
