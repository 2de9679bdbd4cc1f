// Starting the interpreter: an ordinary load of Pyodide, a start from a
// memory snapshot the module hands over, a resume from a park image, or
// making a start snapshot.
//
// Start modes (the runner's second argument):
//   ""               load Pyodide the ordinary way;
//   "snapshot-load"  standard input first carries a memory snapshot of a
//                    freshly started runner: a line with its length in bytes,
//                    then the bytes. The module made it and checked it; the
//                    runner only reads it (it has no access to where it is
//                    kept);
//   "resume"         the same with a park image (park.ts) instead: the image
//                    an earlier runner of the session wrote when it parked;
//   "snapshot-make"  start as for a session, run nothing else, write
//                    {"snapshot":N} and the N bytes of a memory snapshot to
//                    standard output, and end (makeStartSnapshot).
// A runner of a session that may park ("--parkable") loads Pyodide with
// `_makeSnapshot`, without which it could not write a park image.
//
// Errors: an ordinary load that fails throws, and the runner ends before its
// ready line. A snapshot or image this Pyodide refuses (made by another
// build, or damaged) gives an ordinary start instead, with a word on standard
// error; the ready line then says "snapshot":false.
import { textOf, toStderr } from "./diagnostics.ts";
import { readBytes, readLine } from "./input.ts";
import { writeSnapshot } from "./output.ts";
import { type ParkState, restoreFiles, resumeClock, splitImage } from "./park.ts";
import { internalsOf, loadPyodide, type PyodideAPI, type PyodideConfig } from "./pyodide.ts";

export interface Started {
  pyodide: PyodideAPI;
  fromSnapshot: boolean;
}

// Emscripten's own heap growth (which keeps its views of the memory up to
// date) and the interpreter's memory, caught as Pyodide instantiates its
// WebAssembly module. Pyodide sizes the memory for a snapshot by the
// snapshot's length, but the module brings its own memory of the size it
// starts with, so the image of an interpreter whose memory grew would not
// fit: restoring grows it first (loadSparsely).
interface Heap {
  resize?: (bytes: number) => unknown;
  memory?: WebAssembly.Memory;
}

async function withHeapCaught<T>(heap: Heap, load: () => Promise<T>): Promise<T> {
  const wasm = WebAssembly as unknown as Record<string, (...args: unknown[]) => Promise<unknown>>;
  const originals = { instantiate: wasm.instantiate, instantiateStreaming: wasm.instantiateStreaming };
  for (const name of ["instantiate", "instantiateStreaming"] as const) {
    const original = originals[name];
    wasm[name] = async function (source: unknown, imports?: unknown) {
      const env = (imports as { env?: Record<string, unknown> } | undefined)?.env;
      if (typeof env?.emscripten_resize_heap === "function") {
        heap.resize = env.emscripten_resize_heap as (bytes: number) => unknown;
      }
      const result = await original.call(WebAssembly, source, imports);
      const instance = (result as { instance?: WebAssembly.Instance }).instance ?? result;
      const memory = (instance as WebAssembly.Instance).exports?.memory;
      if (memory instanceof WebAssembly.Memory) heap.memory = memory;
      return result;
    };
  }
  try {
    return await load();
  } finally {
    wasm.instantiate = originals.instantiate;
    wasm.instantiateStreaming = originals.instantiateStreaming;
  }
}

const utf8Decoder = new TextDecoder("utf-8", { ignoreBOM: true });

// Loads Pyodide from the snapshot that `snapshot` gives. Restoring copies the
// whole snapshot into the interpreter's fresh memory, and half of it is zero
// pages, which an ordinary start never touches: copied, they would stay
// resident in every idle runner. So while Pyodide loads, the copy from the
// snapshot skips each chunk that is zero on both sides (fresh memory reads as
// zero without becoming resident; a chunk that is not zero there is copied as
// it is). The snapshot may still be arriving: Pyodide awaits it only once
// its own script has loaded, which takes longer than reading the snapshot.
async function loadSparsely(options: PyodideConfig, snapshot: Promise<Uint8Array>): Promise<PyodideAPI> {
  let bytes: Uint8Array | null = null;
  options._loadSnapshot = snapshot.then((arrived) => (bytes = arrived));
  const plainSet = Int8Array.prototype.set;
  const CHUNK = 1 << 16;
  const allZero = (bytes: Uint8Array, from: number, to: number) => {
    for (let i = from; i < to; i += 8) {
      if (
        bytes[i] | bytes[i + 1] | bytes[i + 2] | bytes[i + 3] | bytes[i + 4] | bytes[i + 5] |
        bytes[i + 6] | bytes[i + 7]
      ) return false;
    }
    return true;
  };
  const heap: Heap = {};
  Int8Array.prototype.set = function (this: Int8Array, source: ArrayLike<number>, offset = 0) {
    if (!(source instanceof Uint8Array) || bytes === null || source.buffer !== bytes.buffer || offset !== 0) {
      return plainSet.call(this, source, offset);
    }
    let target: Uint8Array;
    if (this.length >= source.length) {
      target = new Uint8Array(this.buffer, this.byteOffset, source.length);
    } else if (heap.resize && heap.memory && this.buffer === heap.memory.buffer) {
      heap.resize(source.length);
      if (heap.memory.buffer.byteLength < source.length) return plainSet.call(this, source, offset);
      target = new Uint8Array(heap.memory.buffer, 0, source.length);
    } else {
      return plainSet.call(this, source, offset);
    }
    for (let at = 0; at < source.length; at += CHUNK) {
      const end = Math.min(at + CHUNK, source.length);
      if (end - at === CHUNK && allZero(source, at, end) && allZero(target, at, end)) continue;
      target.set(source.subarray(at, end), at);
    }
  };
  try {
    return await withHeapCaught(heap, () => loadPyodide(options));
  } finally {
    Int8Array.prototype.set = plainSet;
  }
}

// Loads Pyodide as `startMode` says, with `packageCacheDir` (the runner's
// own directory) as the place it keeps downloaded packages.
export async function startInterpreter(
  packageCacheDir: string | undefined,
  startMode: string,
  parkable: boolean,
): Promise<Started> {
  const loadOptions: PyodideConfig = packageCacheDir ? { packageCacheDir } : {};
  if (parkable || startMode === "snapshot-make") loadOptions._makeSnapshot = true;
  let fromSnapshot = false;
  let park: ParkState | null = null;
  // The bytes as they arrive (read alongside Pyodide's own loading), and the
  // whole of them once read: their buffer is let go after the restore.
  let snapshot: Promise<Uint8Array> | null = null;
  let received: Uint8Array<ArrayBuffer> | null = null;
  let inputEnded = false;
  if (startMode === "snapshot-load" || startMode === "resume") {
    const header = await readLine();
    const length = header === null ? NaN : Number(utf8Decoder.decode(header));
    if (!Number.isSafeInteger(length) || length < 0) throw new Error("snapshot length line expected");
    const arriving = readBytes(length).then((bytes) => (received = bytes), (error) => {
      inputEnded = true;
      throw error;
    });
    snapshot = startMode === "resume"
      ? arriving.then((bytes) => {
        park = splitImage(bytes);
        return park.snapshot;
      })
      : arriving;
    // Awaited by Pyodide only later: a failure meanwhile is not unhandled.
    snapshot.catch(() => {});
    fromSnapshot = true;
  }
  let pyodide;
  try {
    pyodide = snapshot ? await loadSparsely(loadOptions, snapshot) : await loadPyodide(loadOptions);
  } catch (error) {
    // Standard input that ended inside the bytes ends the runner: the module
    // is gone, or stopped it.
    if (!fromSnapshot || inputEnded) throw error;
    // A snapshot the module checked but this Pyodide cannot take (it was made
    // by another build), or a park image it cannot restore (or split): start
    // the ordinary way instead.
    const what = startMode === "resume" ? "the park image" : "the start snapshot";
    toStderr("vesk runner: " + what + " was refused (" + textOf(error) + "); loading Pyodide");
    delete loadOptions._loadSnapshot;
    if (received !== null) (received as Uint8Array<ArrayBuffer>).buffer.transfer(0);
    fromSnapshot = false;
    park = null;
    pyodide = await loadPyodide(loadOptions);
  }
  const internals = internalsOf(pyodide);
  if (fromSnapshot) {
    const resumed = park as ParkState | null;
    if (resumed) {
      // The interpreter's clock goes on from where it was parked, and the
      // files it had outside the workspace are back (before the bytes go).
      resumeClock(resumed.clock);
      restoreFiles(pyodide, resumed.entries, resumed.files);
    }
    // The interpreter's memory now holds what the snapshot's bytes said. The
    // bytes themselves would stay resident until a major collection, which an
    // idle runner may never reach: detaching their buffer frees them now
    // (every view of it, Pyodide's configuration included, reads as empty).
    if (received !== null) (received as Uint8Array<ArrayBuffer>).buffer.transfer(0);
    delete loadOptions._loadSnapshot;
    if (internals._api?.config) internals._api.config._loadSnapshot = undefined;
    // Restoring puts the script's directory in front of sys.path once more.
    pyodide.runPython("import sys\nif sys.path[:1] == ['']:\n    del sys.path[0]", {
      globals: pyodide.toPy({}),
    });
  }
  // The loader leaves its instantiation hook in the interpreter's module, and
  // the hook holds the interpreter's WebAssembly bytes (9.6 MB) that were
  // compiled from; V8 keeps its own copy, and nothing calls the hook again.
  if (internals._module?.instantiateWasm) internals._module.instantiateWasm = undefined;
  return { pyodide, fromSnapshot };
}

// Writes a memory snapshot of the interpreter, which has run nothing of a
// session, to standard output and ends the runner.
export function makeStartSnapshot(pyodide: PyodideAPI): never {
  const snapshot = pyodide.makeMemorySnapshot();
  try {
    writeSnapshot(snapshot);
  } catch {
    // The module went away meanwhile (its process ended): nobody to tell.
  }
  Deno.exit(0);
}
