// Serving one request: an execute (a run of Python code over the workspace),
// an install or a park (park.ts), each answered by exactly one reply.
//
// The runner keeps /workspace between requests. A whole execute request
// ("files") lays it out anew; a difference request ("changed", "removed")
// builds on the workspace the runner last reported, which it holds as
// `held`, and is answered {"resync":true} when it no longer knows that
// workspace (a failed request, or a change made between requests by code
// left running, such as an asyncio task or a JavaScript timer). An install
// request that carries "files" lays out the workspace first, so that a wheel
// in it can be installed by its emfs: path.
//
// Errors: a failing run or install is an error reply. A request that cannot
// be laid out (no "files", a file where a directory must be) throws, and the
// runner ends without a reply.
import { capturedOutput, flushPythonOutput, resetCapture } from "./capture.ts";
import { textOf } from "./diagnostics.ts";
import { memoryNote, memoryRefusals } from "./memory.ts";
import { writeChanges, writeError, writeResync, writeSuccess } from "./output.ts";
import type { PythonHelpers } from "./python.ts";
import {
  applyChanges,
  type Changes,
  changesSince,
  collectFiles,
  enterWorkspace,
  pruneWorkspace,
  syncWorkspace,
  walkWorkspace,
  workspaceChangeCount,
  workspaceIsDirectory,
  type WorkspaceRecord,
} from "./workspace.ts";

// The workspace as the runner last reported it (or laid it out from a whole
// "files" map). null when unknown, which makes a difference request answer
// {"resync":true}.
let held: WorkspaceRecord | null = null;
// workspaceChangeCount() when `held` was taken: any change since means code
// left running between requests touched the workspace, which the module's
// record no longer matches.
let heldAt = -1;

// Serves the request `readRequest()` gave: an object's members as a Map, or
// any other JSON value.
// A park request ({"park":true}) goes to `park`.
export async function serve(request: unknown, python: PythonHelpers, park: () => Promise<void>): Promise<void> {
  // Any other JSON value is taken by its members: an array's elements, and
  // none for a string or a number, which makes `in` throw and ends the
  // runner as any request that cannot be served does.
  if (request instanceof Map ? request.has("park") : "park" in (request as object)) {
    await park();
  } else if (request instanceof Map ? request.has("package") : "package" in (request as object)) {
    await serveInstall(request instanceof Map ? request : new Map(Object.entries(request as object)), python);
  } else {
    await serveExecute(request instanceof Map ? request : new Map(Object.entries(request as object)), python);
  }
}

async function serveInstall(request: Map<string, unknown>, python: PythonHelpers): Promise<void> {
  const pkg = request.get("package");
  if (request.has("files")) {
    syncWorkspace(request.get("files"));
    held = null;
  }
  request.clear();
  let outcome;
  try {
    outcome = await python.install(textOf(pkg));
  } catch (error) {
    flushPythonOutput();
    writeError(textOf(error));
    return;
  }
  flushPythonOutput();
  try {
    if (typeof outcome === "string") {
      writeError(textOf(outcome));
    } else {
      writeSuccess("", "", [], outcome === undefined ? undefined : outcome.toJs());
    }
  } finally {
    if (typeof outcome !== "string") outcome?.destroy?.();
  }
}

async function serveExecute(request: Map<string, unknown>, python: PythonHelpers): Promise<void> {
  const code = request.get("code");
  // The difference form names "changed"; anything else is the whole form,
  // whose "files" must be there.
  const whole = !request.has("changed");
  // A whole request may ask for the difference form of the reply: the module
  // knows what it sent, and a reply with only what the run changed is a
  // fraction of one that sends the whole workspace back.
  const diffReply = !whole || request.get("reply") === "changes";
  if (whole) {
    syncWorkspace(request.get("files"));
    request.clear();
    // Otherwise `held` is taken once the run is over; until then nothing
    // reads it.
    held = diffReply ? walkWorkspace() : null;
    heldAt = workspaceChangeCount();
  } else {
    if (held === null || heldAt !== workspaceChangeCount() || !workspaceIsDirectory()) {
      request.clear();
      held = null;
      writeResync();
      return;
    }
    applyChanges(request.get("changed"), request.get("removed"));
    request.clear();
    // Nothing applied, nothing changed: `held` still describes /workspace.
    if (heldAt !== workspaceChangeCount()) held = walkWorkspace();
    heldAt = workspaceChangeCount();
  }
  const changesBefore = workspaceChangeCount();
  resetCapture();
  let collected: [string, Uint8Array][] | Changes;
  const refusalsBefore = memoryRefusals();
  try {
    enterWorkspace();
    const failure = await python.runUserCode(textOf(code));
    flushPythonOutput();
    if (failure !== undefined) {
      held = null;
      const note = memoryNote(refusalsBefore);
      writeError(note === "" ? textOf(failure) : textOf(failure).trimEnd() + "\n" + note + "\n");
      return;
    }
    if (!diffReply) {
      collected = collectFiles();
      held = walkWorkspace();
    } else if (workspaceChangeCount() === changesBefore) {
      // Every change below /workspace counts (see trackWorkspaceChanges):
      // none, so the run changed no file and left nothing to prune.
      collected = { changed: [], removed: [], now: held! };
    } else {
      collected = changesSince(held!);
      held = collected.now;
    }
    // The next run must find the checkpoint and nothing else.
    if (workspaceChangeCount() !== changesBefore) pruneWorkspace();
  } catch (error) {
    held = null;
    flushPythonOutput();
    writeError(textOf(error));
    return;
  }
  heldAt = workspaceChangeCount();
  const { stdout, stderr } = capturedOutput();
  if (!diffReply) {
    writeSuccess(stdout, stderr, collected as [string, Uint8Array][]);
  } else {
    writeChanges(stdout, stderr, collected as Changes);
  }
}
