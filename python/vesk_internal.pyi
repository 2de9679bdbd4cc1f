"""Private, versioned workspaces in which untrusted code runs in isolation.

A VeskSession holds a history of immutable checkpoints of a workspace of
files. Python code runs in Pyodide inside a Deno child process; shell
commands run under bubblewrap; files come in from the host with mount and go
back out with commit and export. Every core error is raised as RuntimeError
with the error's message; one raised by execute_python, execute_bash or
install also carries `stdout: str`, `stderr: str` (the output printed before
the failure) and `interpreter_reset: bool` (True when the interpreter's
variables and imports were lost; the message then gains the line "the
interpreter was restarted; its variables and imports are gone").
"""

from collections.abc import Callable, Sequence
from os import PathLike
from types import TracebackType
from typing import Literal, SupportsIndex, final

def _serve_spares(control_fd: int) -> None:
    """Lends spare runners to a server's workers until the control socket
    ends (vesk.server.spares); returns at once when sessions would keep none."""

def _spare_runner_pid() -> int:
    """For tests: the process of the spare runner this process keeps (once
    none is being started), 0 when there is none."""

def _image_of_blob(blob: bytes) -> bytes:
    """A stored interpreter image (VeskSession._image()) uncompressed, for a
    store that keeps what images share once. RuntimeError when it is damaged
    or larger than max_runner_memory_mb."""

def _blob_of_image(image: bytes) -> bytes:
    """The reverse of _image_of_blob, for VeskSession._from_store."""

def _pack_image_piece(piece: bytes) -> bytes:
    """A piece of an expanded image as a store keeps it (one zstd frame)."""

def _unpack_image_pieces(pieces: list[tuple[bytes, bytes]], max_piece: int) -> list[bytes]:
    """The bytes of each (digest, frame), checked against its SHA-256 digest
    without the interpreter's lock; RuntimeError("its piece {hex} is
    damaged") for the first that is not, or expands past max_piece."""

class InternalFault(BaseException):
    """A condition the module treats as impossible (a thread that cannot start,
    memory exhausted inside an operation). Derives from BaseException, so
    `except Exception` lets it through; the session that raised it refuses
    every later call."""

@final
class VeskCheckpoint:
    """One immutable state of a session's workspace; never changes.

    Cheap to hold: it shares the session's immutable contents (it outlives
    the session too) and copies them only when files is read.
    """

    @property
    def id(self) -> int:
        """Its id: 0 for the first checkpoint, then in order of making; it stays
        the same when older checkpoints are forgotten."""
    @property
    def stdout(self) -> str:
        """Standard output of the run that made it ("" for file edits)."""
    @property
    def stderr(self) -> str:
        """Standard error of the run that made it ("" for file edits)."""
    @property
    def exit_code(self) -> int | None:
        """Exit status of the shell command that made it (128+N for one
        killed by signal N); None for every other checkpoint."""
    @property
    def files(self) -> dict[str, bytes]:
        """The complete workspace: a new dict of new bytes on every read.

        Each read copies every content; read it once and keep the dict when
        you need several files.
        """

@final
class VeskSession:
    """A private, versioned workspace with its own Python runner.

    Construction reads the configuration named by VESK_CONFIG, starts the
    Deno runner and waits until it is ready (at most install_timeout_ms).
    Raises RuntimeError if Deno is missing or the runner does not start.
    After close() every method and property raises RuntimeError("session is
    closed"); `with VeskSession() as s:` closes it on leaving.
    """

    def __init__(self) -> None: ...
    def __enter__(self) -> VeskSession: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> Literal[False]: ...
    def close(self) -> None:
        """Kill the runner, remove the session's directories and release its
        history now. Closing again does nothing."""
    @property
    def current(self) -> VeskCheckpoint:
        """The current checkpoint (O(1); nothing is copied until files is read)."""
    @property
    def history(self) -> list[VeskCheckpoint]:
        """Every kept checkpoint, oldest first (later ones after a rollback included).

        O(number of checkpoints); no content is copied until files is read.
        """
    @property
    def history_bytes(self) -> int:
        """Bytes the history holds: its distinct file contents, each counted
        once however many checkpoints share it, and its checkpoints' output.
        A change that would take it past max_history_mb is refused; forgetting
        checkpoints lowers it."""
    def mount(self, path: str) -> list[str]:
        """Import a host file or directory into the current checkpoint, in place.

        Returns the workspace keys imported. A directory's regular files are
        imported under their paths relative to it; links inside are skipped.
        """
    def commit(self, keys: Sequence[str] | None) -> list[str]:
        """Write mounted files that changed back to their host paths.

        None commits every mounted key. Returns the host paths written.
        """
    def diff(self, from_id: SupportsIndex | None = None, to_id: SupportsIndex | None = None) -> str:
        """Unified diff from checkpoint from_id (None: the oldest kept one, 0
        until forget_before) to to_id (None: the current one)."""
    def install(self, package: str, *, timeout_ms: int | None = None,
                cancel_fd: int | None = None) -> None:
        """Install a package into the runner with micropip and remember it.

        Remembered packages are installed again whenever the runner is
        replaced. A failure replaces the runner (its Python state is lost:
        interpreter_reset is True). timeout_ms and cancel_fd as for
        execute_python.
        """
    def execute_python(self, code: str, *, timeout_ms: int | None = None,
                       cancel_fd: int | None = None,
                       on_output: Callable[[str], object] | None = None) -> VeskCheckpoint:
        """Run Python over the current workspace (as /workspace, the working directory).

        The files it leaves become a new checkpoint carrying its output.
        Interpreter state persists between runs until the runner is replaced
        after a time-out, crash or cancel.

        timeout_ms: this call's limit (the configured one still caps it).
        cancel_fd: a descriptor the caller owns and drains; once readable the
        run stops as at a time-out, appends nothing and raises "execution
        cancelled". on_output: called on this thread with each line printed,
        as it comes. With a cancel_fd the interpreter lock is released while
        the code runs, so that another thread may cancel.
        """
    def execute_bash(self, command: str, *, timeout_ms: int | None = None,
                     cancel_fd: int | None = None,
                     on_output: Callable[[str], object] | None = None) -> VeskCheckpoint:
        """Run a shell command under bubblewrap over the current workspace.

        Host read-only, no network, only the workspace writable. The files it
        leaves become a new checkpoint carrying its output and exit_code.
        Keywords as for execute_python (on_output gets each line of standard
        output); a failure never resets the interpreter.
        """
    def write_file(self, path: str, content: bytes | bytearray | Sequence[int]) -> None:
        """Create or replace one file, appending a checkpoint."""
    def delete_file(self, path: str) -> VeskCheckpoint:
        """Remove one file, appending and returning a checkpoint."""
    def export(self, output_dir: str, keys: Sequence[str] | None = None) -> list[str]:
        """Write workspace files into output_dir (default: every file not mounted).

        Returns the paths written.
        """
    def set_label(self, label: str) -> None:
        """Set the session's label ("" clears it)."""
    def set_checkpoint_label(self, checkpoint_id: SupportsIndex, label: str) -> None:
        """Label a checkpoint ("" clears it)."""
    def rollback(self, id: SupportsIndex) -> None:
        """Make checkpoint id current; later checkpoints stay until the next change."""
    def forget_before(self, id: SupportsIndex, *, keep_labelled: bool = False) -> None:
        """Drop the checkpoints older than id (keep_labelled: all but the labelled).

        Ids stay as they were; history[0] becomes the oldest kept. Contents no
        kept checkpoint uses are freed. id may be the current checkpoint, not
        a later one.
        """
    def labels(self) -> dict[int, str]:
        """{checkpoint id: label} of the kept labelled checkpoints."""
    @property
    def session_label(self) -> str | None:
        """The session's label (set_label), None when there is none."""
    def save(self, path: str | bytes | PathLike[str] | PathLike[bytes],
             interpreter: bool = True) -> bool:
        """Write the session to one file, replaced atomically (mode 0600).

        The file holds the whole history (ids, files, output, exit codes,
        labels), the current position, the session's label, the mount origins
        and the installed packages; every content once, with its SHA-256; the
        whole checksummed and versioned. With interpreter, an image of the
        interpreter when the runner can make one (parking on, and no refusal
        such as "work still scheduled"); the session goes on afterwards.
        Returns whether the image is in the file.
        """
    @classmethod
    def load(cls, path: str | bytes | PathLike[str] | PathLike[bytes]) -> VeskSession:
        """The session saved at path, under the current configuration.

        Its first Python call resumes the saved interpreter, or without an
        image starts a fresh one and installs the packages again. A damaged,
        truncated, foreign or other-version file raises RuntimeError naming
        what is wrong; nothing half-loaded is returned.
        """
    def fork(self, id: SupportsIndex | None = None) -> VeskSession:
        """A new, independent session whose history is this one's up to id
        (default: the current checkpoint), id current; contents are shared in
        memory, changes never. At the current checkpoint its interpreter is a
        copy of this one's (when the runner can be imaged), else fresh with
        the packages installed again."""
    # Internal, for the tests and benchmarks of parking; not part of the API.
    def _park(self) -> str:
        """Park now: "parked", the runner's reason for staying live, or
        "no live runner, or parking is off"."""
    def _damage_parked_image(self, keep_frame: bool, /) -> None:
        """Damage the kept image (keep_frame: so that the runner refuses it)."""
    @property
    def _parked_size(self) -> int:
        """Bytes the kept image takes; 0 while the runner is live."""
    # Internal, for a host that keeps sessions in a store (the server).
    def _journal(self) -> dict[str, object]:
        """What changed since the store's last confirmed write: {"dropped":
        [ids to delete], "written": [(id, row bytes) to write in place of any
        with that id], "contents": [32-byte SHA-256 digests the rows and parts
        refer to], "current_id": int, "parts": bytes | None (the label,
        packages, mount origins and forgotten first files, when changed)}."""
    def _journal_written(self) -> None:
        """The store holds what the last _journal() gave."""
    def _journal_content(self, digest: bytes, /) -> bytes | None:
        """The content of a digest the last _journal() named."""
    def _image(self) -> bytes | None:
        """The interpreter's image as a store keeps it, as save() makes one."""
    @classmethod
    def _from_store(cls, current_id: int, rows: Sequence[bytes], parts: bytes,
                    content: Callable[[bytes], bytes | None],
                    image: bytes | list[bytes] | None = None,
                    expanded: bool = False) -> VeskSession:
        """The session a store holds (rows in any order); content(digest)
        gives a content's bytes or None. `image` is an _image() blob, or with
        `expanded` the image itself (_image_of_blob; or a list of its pieces,
        joined), handed to the runner as it is at the resume. Its first
        _journal() is empty."""
