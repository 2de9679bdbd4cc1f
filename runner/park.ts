// Parking: an image of the interpreter that a later runner resumes from, so
// that an idle session holds no process.
//
// A {"park":true} request is answered with an error reply, and the runner
// goes on as it was, when its state cannot be imaged faithfully:
//   - "work still scheduled": a JavaScript timer set since the ready line
//     (asyncio's sleeps and call_later are timers), an AbortSignal.timeout
//     not yet fired, an Atomics.waitAsync not yet settled, a Worker not
//     terminated, an asyncio task that has not finished, or anything else
//     that keeps Deno's event loop going (a fetch, a timer of Deno's own):
//     an image would drop it;
//   - "files still open": a file stream beyond those open at the ready line,
//     which a new runner would not have behind the same descriptor;
//   - "a package with binary parts": a dynamic library loaded since the ready
//     line, whose code is not part of the interpreter's memory;
//   - "references into JavaScript": Python holds JavaScript objects, which
//     makeMemorySnapshot() cannot write down (it throws);
//   - "the image would pass max_runner_memory_mb": imaging copies the files
//     it carries and may need a copy of the interpreter's memory (a Pyodide
//     whose memory view cannot be set aside), which must not take the runner
//     over its bound.
// Otherwise the reply is {"seq":N,"image":L} and L bytes: a lead the runner
// alone reads back, then Pyodide's memory snapshot. The lead holds the
// monotonic clock, so that time.monotonic() goes on from where it was rather
// than from the new process's zero, and the files of the in-memory file
// system outside /workspace (which the module carries), /lib (where
// reinstalled packages go) and the devices, such as what code wrote to /tmp.
// It comes first so that a resuming runner knows where the snapshot begins
// and can read the interpreter's memory straight into place (start.ts).
// The runner stays as it was; the module ends it.
//
// Lead: 24 bytes, the magic "vskpark2" then the JSON's length and the
// files' bytes' length as float64 (little-endian); then JSON
// {"clock":[monotonic ms, wall ms],"files":[[path, kind, mode, size or link
// target], ...]}, then the files' bytes in that order. Anything else is a
// damaged image.
import { textOf } from "./diagnostics.ts";
import { writeError, writeImage } from "./output.ts";
import { fileSystemOf, internalsOf, type PyodideAPI } from "./pyodide.ts";
import type { PythonHelpers } from "./python.ts";

const realSetTimeout = globalThis.setTimeout;
const realPerformanceNow = performance.now.bind(performance);

// Timers set once counting began (the ready line) and not yet fired or
// cleared: those are the session's, not the runner's own.
const liveTimers = new Set<number>();
// Other work set going since then and not yet over: AbortSignal.timeout's
// signals, Atomics.waitAsync's waits, Workers. None of it is a timer of
// setTimeout's, and Deno does not count the first two as work of its event
// loop (the signal's timer is unreferenced; the wait is V8's own).
const livePending = new Set<object>();
let counting = false;

// Deno's own answer to whether its event loop has work left: operations in
// flight (a fetch, a Worker's messages) and referenced timers, however they
// were set. Between requests the runner itself has none.
function eventLoopHasMoreWork(): boolean {
  const internal = (Deno as unknown as Record<symbol, unknown>)[Symbol.for("Deno.internal")] as
    | { core?: { eventLoopHasMoreWork?: () => boolean } }
    | undefined;
  return internal?.core?.eventLoopHasMoreWork?.() ?? false;
}

// Counts the work of AbortSignal.timeout, Atomics.waitAsync and Worker from
// the ready line on; each behaves as the original does.
function trackOtherWork(): void {
  const timeout = AbortSignal.timeout.bind(AbortSignal);
  AbortSignal.timeout = function (ms: number): AbortSignal {
    const signal = timeout(ms);
    if (counting) {
      livePending.add(signal);
      signal.addEventListener("abort", () => livePending.delete(signal), { once: true });
    }
    return signal;
  };
  type WaitAsync = (...args: unknown[]) => { async: boolean; value: unknown };
  const atomics = Atomics as unknown as { waitAsync?: WaitAsync };
  const waitAsync = atomics.waitAsync;
  if (waitAsync) {
    atomics.waitAsync = function (...args: unknown[]) {
      const result = waitAsync.apply(Atomics, args);
      if (counting && result.async) {
        const token = {};
        livePending.add(token);
        (result.value as Promise<unknown>).finally(() => livePending.delete(token));
      }
      return result;
    };
  }
  const RealWorker = globalThis.Worker;
  if (RealWorker) {
    // A Worker's state is in no image, whether or not it still has work:
    // one that was not terminated keeps the session live.
    globalThis.Worker = class extends RealWorker {
      constructor(...args: ConstructorParameters<typeof Worker>) {
        super(...args);
        if (counting) livePending.add(this);
      }
      override terminate(): void {
        livePending.delete(this);
        super.terminate();
      }
    };
  }
}

// Wraps the timer functions, and the other ways to set work going (see
// trackOtherWork), so that pending ones can be counted. Installed before
// anything else runs; the wrappers behave as the originals do.
export function trackTimers(): void {
  const g = globalThis as unknown as Record<string, (...args: unknown[]) => unknown>;
  const setT = g.setTimeout;
  const setI = g.setInterval;
  const clearT = g.clearTimeout;
  const clearI = g.clearInterval;
  g.setTimeout = function (handler: unknown, ...rest: unknown[]) {
    if (!counting || typeof handler !== "function") return setT.call(globalThis, handler, ...rest);
    let id = 0;
    id = setT.call(globalThis, function (this: unknown, ...args: unknown[]) {
      liveTimers.delete(id);
      return (handler as (...a: unknown[]) => unknown).apply(this, args);
    }, ...rest) as number;
    liveTimers.add(id);
    return id;
  };
  g.setInterval = function (handler: unknown, ...rest: unknown[]) {
    const id = setI.call(globalThis, handler, ...rest) as number;
    if (counting) liveTimers.add(id);
    return id;
  };
  g.clearTimeout = function (id: unknown) {
    liveTimers.delete(id as number);
    return clearT.call(globalThis, id);
  };
  g.clearInterval = function (id: unknown) {
    liveTimers.delete(id as number);
    return clearI.call(globalThis, id);
  };
  trackOtherWork();
}

// What a fresh runner has: taken at the ready line.
let baseStreams = new Set<number>();
let baseLibraries = new Set<string>();

interface Internals {
  streams: (unknown | null)[];
  libraries(): string[];
  heapBytes(): number;
}

function internals(pyodide: PyodideAPI): Internals {
  const fs = fileSystemOf(pyodide);
  const module = internalsOf(pyodide)._module;
  return {
    streams: fs.streams,
    libraries: () => Object.keys(module?.LDSO?.loadedLibsByName ?? {}),
    heapBytes: () => module?.HEAP8?.length ?? 0,
  };
}

function openStreams(pyodide: PyodideAPI): number[] {
  const out: number[] = [];
  internals(pyodide).streams.forEach((s, fd) => {
    if (s) out.push(fd);
  });
  return out;
}

export function recordBaseline(pyodide: PyodideAPI): void {
  baseStreams = new Set(openStreams(pyodide));
  baseLibraries = new Set(internals(pyodide).libraries());
  counting = true;
}

// ---------------------------------------------------------------------------
// Files outside the module's reach

const SKIPPED_ROOTS = new Set(["/workspace", "/dev", "/proc", "/lib"]);

type Entry = [string, "d" | "f" | "l", number, number | string];

// Every directory, file and link of the in-memory file system outside the
// skipped roots, parents first, with the files' bytes.
function carriedFiles(pyodide: PyodideAPI): { entries: Entry[]; bytes: Uint8Array[] } {
  const fs = fileSystemOf(pyodide);
  const memfs = fs.filesystems.MEMFS;
  const entries: Entry[] = [];
  const bytes: Uint8Array[] = [];
  const walk = (dir: string) => {
    for (const name of fs.readdir(dir === "" ? "/" : dir)) {
      if (name === "." || name === "..") continue;
      const path = dir + "/" + name;
      if (SKIPPED_ROOTS.has(path)) continue;
      const { node } = fs.lookupPath(path, { follow: false });
      // Mounts of other kinds (none but MEMFS is made by the runner) hold
      // nothing of the session's.
      if (node.mount?.type !== memfs) continue;
      const mode = fs.lstat(path).mode;
      if (fs.isDir(mode)) {
        entries.push([path, "d", mode & 0o7777, 0]);
        walk(path);
      } else if (fs.isFile(mode)) {
        const data = fs.readFile(path);
        entries.push([path, "f", mode & 0o7777, data.length]);
        bytes.push(data);
      } else if (fs.isLink(mode)) {
        entries.push([path, "l", 0, fs.readlink(path)]);
      }
    }
  };
  walk("");
  return { entries, bytes };
}

const MAGIC = "vskpark2";
export const LEAD_PREFIX = 24;

function lead(pyodide: PyodideAPI): Uint8Array[] {
  const { entries, bytes } = carriedFiles(pyodide);
  const head = new TextEncoder().encode(
    JSON.stringify({ clock: [realPerformanceNow() + clockOffset, Date.now()], files: entries }),
  );
  const fileBytes = bytes.reduce((n, b) => n + b.length, 0);
  const prefix = new Uint8Array(LEAD_PREFIX);
  prefix.set(new TextEncoder().encode(MAGIC), 0);
  const view = new DataView(prefix.buffer);
  view.setFloat64(8, head.length, true);
  view.setFloat64(16, fileBytes, true);
  return [prefix, head, ...bytes];
}

// ---------------------------------------------------------------------------
// Serving {"park":true}

// The reason the state cannot be imaged, or null.
function refusal(pyodide: PyodideAPI, python: PythonHelpers, memoryCapMb: number | null): string | null {
  if (
    liveTimers.size > 0 || livePending.size > 0 || python.pendingTasks() > 0 ||
    eventLoopHasMoreWork()
  ) {
    return "work still scheduled";
  }
  if (openStreams(pyodide).some((fd) => !baseStreams.has(fd))) return "files still open";
  if (internals(pyodide).libraries().some((name) => !baseLibraries.has(name))) {
    return "a package with binary parts";
  }
  if (memoryCapMb !== null) {
    // The interpreter's memory is bounded by three quarters of the runner's
    // bound (memory.ts); the copy the image is must fit beside what the
    // runner holds, with room to spare for writing it out.
    const bound = memoryCapMb * 4 / 3 * 1048576;
    const copy = internals(pyodide).heapBytes() + (16 << 20);
    if (Deno.memoryUsage().rss + copy > bound) return "the image would pass max_runner_memory_mb";
  }
  return null;
}

// Pyodide's snapshot is a header (the JavaScript side's state) followed by a
// copy of the interpreter's whole memory. The copy is made only to be
// written out, and making it takes as long as compressing a third of it: so
// the header is made with an empty memory view in the memory's place, and
// the memory itself is written after it as it stands (nothing runs between).
// Both parts together are byte for byte what makeMemorySnapshot() gives.
function snapshotParts(pyodide: PyodideAPI): Uint8Array[] {
  const module = internalsOf(pyodide)._module;
  const heap = module?.HEAP8;
  if (!module || !heap) return [pyodide.makeMemorySnapshot()];
  let header: Uint8Array;
  module.HEAP8 = new Int8Array(0);
  try {
    header = pyodide.makeMemorySnapshot();
  } finally {
    module.HEAP8 = heap;
  }
  return [header, new Uint8Array(heap.buffer, heap.byteOffset, heap.length)];
}

// The image, or why there is none.
function tryImage(
  pyodide: PyodideAPI,
  python: PythonHelpers,
  memoryCapMb: number | null,
): { image: Uint8Array[] } | { reason: string } {
  const reason = refusal(pyodide, python, memoryCapMb);
  if (reason !== null) return { reason };
  try {
    return { image: snapshotParts(pyodide) };
  } catch (error) {
    return { reason: "references into JavaScript (" + textOf(error) + ")" };
  }
}

export async function servePark(pyodide: PyodideAPI, python: PythonHelpers, memoryCapMb: number | null) {
  // What the last run's awaits left behind for the event loop (the callbacks
  // of settled promises) is let go on the next turn of it.
  await new Promise((resolve) => realSetTimeout(resolve, 0));
  let outcome = tryImage(pyodide, python, memoryCapMb);
  if ("reason" in outcome) {
    // Garbage in reference cycles may still hold a file or a JavaScript
    // object (an installer's open archive, say): collected only when it
    // matters, as a full collection of a large heap takes a while.
    python.collectGarbage();
    outcome = tryImage(pyodide, python, memoryCapMb);
  }
  if ("reason" in outcome) {
    writeError("not parked: " + outcome.reason);
    return;
  }
  let first: Uint8Array[];
  try {
    first = lead(pyodide);
  } catch (error) {
    writeError("not parked: the files outside /workspace could not be read (" + textOf(error) + ")");
    return;
  }
  writeImage([...first, ...outcome.image]);
}

// ---------------------------------------------------------------------------
// Resuming

// Added to performance.now() once resumed (see resumeClock).
let clockOffset = 0;

export interface ParkState {
  clock: [number, number];
  entries: Entry[];
  files: Uint8Array;
}

// The length of the lead that `prefix` (its first LEAD_PREFIX bytes) opens,
// prefix included. Throws for an image that is not one the runner wrote.
export function leadLength(prefix: Uint8Array, imageLength: number): number {
  if (new TextDecoder().decode(prefix.subarray(0, 8)) !== MAGIC) throw new Error("the image has no lead");
  const view = new DataView(prefix.buffer, prefix.byteOffset, LEAD_PREFIX);
  const length = LEAD_PREFIX + view.getFloat64(8, true) + view.getFloat64(16, true);
  if (!Number.isSafeInteger(length) || length < LEAD_PREFIX || length > imageLength) {
    throw new Error("the image's lead is damaged");
  }
  return length;
}

// What a lead (as leadLength() measured it) holds. Throws for a damaged one.
export function readLead(lead: Uint8Array): ParkState {
  const view = new DataView(lead.buffer, lead.byteOffset, LEAD_PREFIX);
  const headLength = view.getFloat64(8, true);
  const head = JSON.parse(new TextDecoder().decode(lead.subarray(LEAD_PREFIX, LEAD_PREFIX + headLength)));
  const clock = head?.clock;
  if (!Array.isArray(clock) || clock.length !== 2 || !clock.every(Number.isFinite) ||
    !Array.isArray(head.files)) {
    throw new Error("the image's lead is damaged");
  }
  return {
    clock: clock as [number, number],
    entries: head.files as Entry[],
    files: lead.subarray(LEAD_PREFIX + headLength),
  };
}

// Makes performance.now(), the interpreter's monotonic clock, go on from its
// reading at park plus the wall-clock time since.
export function resumeClock([monotonic, wall]: [number, number]): void {
  clockOffset = monotonic + Math.max(0, Date.now() - wall) - realPerformanceNow();
  const offset = clockOffset;
  performance.now = () => realPerformanceNow() + offset;
}

// Puts the carried files back; an entry that cannot be made is passed over.
export function restoreFiles(pyodide: PyodideAPI, entries: Entry[], files: Uint8Array): void {
  const fs = fileSystemOf(pyodide);
  let at = 0;
  for (const entry of entries) {
    if (!Array.isArray(entry) || typeof entry[0] !== "string") continue;
    const [path, kind, mode, extra] = entry;
    try {
      if (kind === "d") {
        fs.mkdirTree(path);
        fs.chmod(path, Number(mode));
      } else if (kind === "f") {
        const size = Number(extra);
        const data = files.slice(at, at + size);
        at += size;
        fs.writeFile(path, data, { canOwn: true });
        fs.chmod(path, Number(mode));
      } else if (kind === "l") {
        fs.symlink(String(extra), path);
      }
    } catch {
      // there already (a directory of a fresh start), or not makeable
    }
  }
}
