// vesk runner: hosts one Pyodide interpreter and serves JSON-line requests on
// standard input, one at a time, until standard input ends.
//
// This is the entry point: it starts the interpreter, says it is ready, and
// serves requests in a loop. The protocol is in input.ts (requests) and
// output.ts (every line written); serving a request in serve.ts, the
// workspace in workspace.ts, Python's output in capture.ts.
//
// Arguments: the runner's own directory, then how to start (start.ts), and
// "--interpreter-memory-mb=N" (memory.ts) and "--parkable" (park.ts)
// anywhere. The
// runner may write only that directory, a directory of its own that the
// module removes when the runner goes: Pyodide keeps the packages it
// downloads there. Deno's cache, from which the next runner loads Pyodide,
// is read-only to it.
//
// Standard output carries protocol lines and nothing else; every diagnostic
// goes to standard error. The module embeds this program as one file,
// bundled from these modules at build time with Pyodide left as the one
// import (pinned: a newer package in Deno's cache never changes what runs).
//
// Errors: anything thrown out of a request (input that is no request, a
// workspace that cannot be laid out) ends the runner with no reply, and the
// module replaces it.
import { captureOutput, resetCapture, sendOutputToStderr } from "./capture.ts";
import { keepPythonExitsFromEndingTheRunner, routeConsole, setErrnoNames } from "./diagnostics.ts";
import { readRequest, releaseInput } from "./input.ts";
import { prepareInstaller } from "./installer.ts";
import { capInterpreterMemory, memoryCapFrom } from "./memory.ts";
import { installFetchGuard } from "./network.ts";
import { beginRequest, writeReady } from "./output.ts";
import { recordBaseline, servePark, trackTimers } from "./park.ts";
import { fileSystemOf } from "./pyodide.ts";
import { makePythonHelpers, prepareSnapshot } from "./python.ts";
import { serve } from "./serve.ts";
import { makeStartSnapshot, startInterpreter } from "./start.ts";
import { trackWorkspaceChanges } from "./workspace.ts";

// First: timers set from here on can be counted (park.ts).
trackTimers();
routeConsole();
keepPythonExitsFromEndingTheRunner();
installFetchGuard();
const cap = memoryCapFrom(Deno.args);
if (cap !== null) capInterpreterMemory(cap);

const [ownDir, startMode = ""] = Deno.args.filter((a) => !a.startsWith("--"));
const parkable = Deno.args.includes("--parkable");
const { pyodide, fromSnapshot } = await startInterpreter(ownDir, startMode, parkable);
sendOutputToStderr(pyodide);
if (startMode !== "snapshot-make") {
  // Packages are files, and files are not part of a snapshot: every runner
  // loads micropip itself.
  await prepareInstaller(pyodide);
}
trackWorkspaceChanges(fileSystemOf(pyodide));
setErrnoNames(pyodide.ERRNO_CODES);
const python = makePythonHelpers(pyodide);

if (startMode === "snapshot-make") {
  prepareSnapshot(pyodide);
  makeStartSnapshot(pyodide);
}

writeReady(fromSnapshot);
captureOutput(pyodide, python.flushStreams);
recordBaseline(pyodide);
const park = () => servePark(pyodide, python, cap);

for (;;) {
  const request = await readRequest();
  if (request === null) break;
  beginRequest();
  releaseInput(); // the request is parsed: its bytes need not outlive it
  resetCapture();
  await serve(request, python, park);
}
