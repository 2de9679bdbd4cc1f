// Python helpers: the functions the runner calls inside the interpreter.
//
// Each is defined once at start, in a namespace of its own, and called
// through its proxy: one flushes Python's output streams, one runs user code,
// one installs a requirement with micropip, one counts unfinished asyncio
// tasks. They are defined before a start
// snapshot is made (prepareSnapshot imports what they import on first use),
// so that a runner started from the snapshot needs no imports for its first
// request, while an ordinary start stays as quick as Pyodide's own.
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

export function makePythonHelpers(pyodide: PyodideAPI): PythonHelpers {
  const flushStreams: () => void = pyodide.runPython(
    `def flush():
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
flush`,
    { globals: pyodide.toPy({}) },
  );

  // Runs user code in the interpreter's global namespace (top-level await
  // allowed) and returns None, or the error as CPython prints it: the frames
  // of Pyodide's own machinery before the user's first frame are left out,
  // and a syntax error shows no traceback at all.
  const runUserCodeProxy: (code: string) => Promise<unknown> = pyodide.runPython(
    `def make():
    # Imported on first use: an ordinary start stays as quick as Pyodide's
    # own, and a start snapshot has them imported already.
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

    return run
make()`,
    { globals: pyodide.toPy({}), filename: "<vesk runner>" },
  );

  // Installs one requirement with micropip (see InstallOutcome).
  const installProxy: (requirement: string) => Promise<InstallOutcome> = pyodide.runPython(
    `def make():
    async def install(requirement):
        import micropip, traceback

        try:
            await micropip.install(requirement, verbose=True)
        except BaseException as error:
            return "".join(traceback.format_exception_only(error)).rstrip()
        # Only the built-in installer keeps this record.
        return list(micropip.installed) if hasattr(micropip, "installed") else None

    return install
make()`,
    { globals: pyodide.toPy({}), filename: "<vesk runner>" },
  );

  const pendingTasksProxy: () => number = pyodide.runPython(
    `def make():
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

    return pending
make()`,
    { globals: pyodide.toPy({}), filename: "<vesk runner>" },
  );

  const collectProxy: () => unknown = pyodide.runPython("import gc\ngc.collect", {
    globals: pyodide.toPy({}),
    filename: "<vesk runner>",
  });

  return {
    flushStreams,
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
