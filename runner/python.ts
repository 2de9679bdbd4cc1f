// Python helpers: the functions the runner calls inside the interpreter.
//
// They are called through their proxies: one flushes Python's output
// streams, one runs user code, one installs a requirement with micropip, one
// counts unfinished asyncio tasks, one collects garbage. They are defined
// once, in a module of their own that the interpreter keeps, before a start
// snapshot is made (prepareSnapshot imports what they import on first use),
// so that a runner started from the snapshot, or resumed from a park image,
// finds them and needs no imports for its first request, while an ordinary
// start stays as quick as Pyodide's own.
//
// Errors: Python exceptions of user code and of installs come back as text
// (CPython's rendering), never as a thrown error.
import type { PyodideAPI, PyProxy } from "./pyodide.ts";

// What an install gives back: the error as Python words it, the wheel
// addresses the built-in installer put in place (a list's proxy; the caller
// destroys it), or undefined when the real micropip did it, which keeps no
// such record.
export type InstallOutcome = string | PyProxy | undefined;

export interface PythonHelpers {
  flushStreams(): void;
  // undefined, or the error as CPython prints it.
  runUserCode(code: string): Promise<string | undefined>;
  install(requirement: string): Promise<InstallOutcome>;
  // How many asyncio tasks have not finished (work a park would drop).
  pendingTasks(): number;
  // A full collection of Python's garbage (gc.collect()).
  collectGarbage(): void;
}

// The helpers' functions are kept in the interpreter under this module
// name. A runner started from a start snapshot or resumed from a park image
// finds them there instead of compiling them again: compiling them costs a
// resume two to three times what it costs a start, as the collections it
// sets off go over all of the session's data.
const KEPT = "_vesk_runner";

const FIND_SOURCE = `import sys
kept = sys.modules.get("${KEPT}")
found = tuple(getattr(kept, name, None) for name in ("flush", "run", "install", "pending", "collect"))
found if all(callable(f) for f in found) else None`;

const DEFINE_SOURCE = `def make():
    import gc, sys, types

    def flush():
        import os, sys
        for stream in (sys.stdout, sys.stderr, sys.__stdout__, sys.__stderr__):
            try:
                stream.flush()
            except Exception:
                pass
        for fd in (1, 2):
            try:
                os.fsync(fd)
            except Exception:
                pass

    # Runs user code in the interpreter's global namespace (top-level await
    # allowed) and returns None, or the error as CPython prints it: the
    # frames of Pyodide's own machinery before the user's first frame are
    # left out, and a syntax error shows no traceback at all. Imports on
    # first use: an ordinary start stays as quick as Pyodide's own, and a
    # start snapshot has them imported already.
    async def run(source):
        import __main__, traceback
        from pyodide.code import eval_code_async

        try:
            await eval_code_async(source, __main__.__dict__, filename="<exec>")
        except BaseException as error:
            tb = error.__traceback__
            while tb is not None and tb.tb_frame.f_code.co_filename != "<exec>":
                tb = tb.tb_next
            return "".join(traceback.format_exception(type(error), error, tb))
        return None

    # Installs one requirement with micropip (see InstallOutcome).
    async def install(requirement):
        import micropip, traceback

        try:
            await micropip.install(requirement, verbose=True)
        except BaseException as error:
            return "".join(traceback.format_exception_only(error)).rstrip()
        # Only the built-in installer keeps this record.
        return list(micropip.installed) if hasattr(micropip, "installed") else None

    def pending():
        import sys
        asyncio = sys.modules.get("asyncio")
        if asyncio is None:
            return 0
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                loop = asyncio.get_event_loop()
            except Exception:
                return 0
        return sum(1 for task in asyncio.all_tasks(loop) if not task.done())

    found = (flush, run, install, pending, gc.collect)
    kept = types.ModuleType("${KEPT}")
    kept.flush, kept.run, kept.install, kept.pending, kept.collect = found
    sys.modules["${KEPT}"] = kept
    return found
make()`;

export function makePythonHelpers(pyodide: PyodideAPI): PythonHelpers {
  const options = () => ({ globals: pyodide.toPy({}), filename: "<vesk runner>" });
  // Code in the session may have changed what is kept; that harms nobody
  // but the session, whose interpreter it owns anyway. Anything not
  // callable there is defined afresh.
  const found: PyProxy = pyodide.runPython(FIND_SOURCE, options()) ??
    pyodide.runPython(DEFINE_SOURCE, options());
  const [flushStreams, runUserCodeProxy, installProxy, pendingTasksProxy, collectProxy] = [0, 1, 2, 3, 4]
    .map((i) => found.get(i));
  found.destroy();
  return {
    flushStreams: () => void flushStreams(),
    pendingTasks: () => Number(pendingTasksProxy()),
    collectGarbage: () => void collectProxy(),
    async runUserCode(code) {
      const failure = await runUserCodeProxy(code);
      return failure === null || failure === undefined ? undefined : String(failure);
    },
    install: (requirement) => installProxy(requirement),
  };
}

// What the first run and the first install would import, imported before a
// start snapshot is taken.
export function prepareSnapshot(pyodide: PyodideAPI): void {
  pyodide.runPython("import __main__, traceback, pyodide.code", { globals: pyodide.toPy({}) });
}
