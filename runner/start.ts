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
//                    an earlier runner of the session wrote when it parked,
//                    its bytes sent as records without its zero runs
//                    (sparse.ts);
//   "snapshot-make"  start as for a session, run nothing else, write
//                    {"snapshot":N} and the N bytes of a memory snapshot to
//                    standard output, and end (makeStartSnapshot);
//   "spare"          start as far as Pyodide goes without the bytes, then
//                    read a line "snapshot-load N" or "resume N" and go on
//                    as that mode would (a runner started ahead of need).
// Standard input that ends before the length line ends the runner quietly:
// the module has gone (or no longer needs a spare).
// A runner of a session that may park ("--parkable") loads Pyodide with
// `_makeSnapshot`, without which it could not write a park image.
//
// Errors: an ordinary load that fails throws, and the runner ends before its
// ready line. A snapshot or image this Pyodide refuses (made by another
// build, or damaged) gives an ordinary start instead, with a word on standard
// error; the ready line then says "snapshot":false.
import { textOf, toStderr } from "./diagnostics.ts";
import { readBytesInto, readLine } from "./input.ts";
import { writeSnapshot } from "./output.ts";
import { LEAD_PREFIX, leadLength, type ParkState, readLead, restoreFiles, resumeClock } from "./park.ts";
import { internalsOf, loadPyodide, type PyodideAPI, type PyodideConfig } from "./pyodide.ts";
import { SparseInput } from "./sparse.ts";

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

// The most bytes a snapshot or image may have: the buffer they arrive in is
// reserved this large and grows as they come (address space, not memory).
const MAX_START_BYTES = 2 ** 34;

// A snapshot or park image arriving on standard input: a line with its
// length, then the bytes. A start snapshot is read into `whole` (which grows
// to hold it) while Pyodide loads. Of a park image (sparse.ts, park.ts) only
// the lead and the snapshot's header are read then: its memory is read
// straight into the interpreter's memory when Pyodide restores it
// (loadSparsely), and `image` holds the input until then. `settled`
// resolves once what is read first is there or has failed: `snapshotLength`
// then says how long the memory snapshot is, `park` what the lead held, and
// `ended` whether standard input ended or said no length (the runner must
// end: the module is gone, or stopped it) rather than the bytes being
// refused.
interface Arrival {
  buffer: ArrayBuffer;
  whole: Uint8Array;
  settled: Promise<void>;
  // Whether Pyodide has got as far as it can without the bytes (a spare
  // runner, taken), so that nothing else needs the event loop while they
  // arrive: then they are read with blocking reads.
  awaited: boolean;
  snapshotLength: number;
  park: ParkState | null;
  image: SparseInput | null;
  // Where in the snapshot the interpreter's memory begins.
  memoryOffset: number;
  resume: boolean;
  ended: boolean;
  failure: unknown;
}

function receive(startMode: string): Arrival {
  const buffer = new ArrayBuffer(0, { maxByteLength: MAX_START_BYTES });
  const arrival: Arrival = {
    buffer,
    whole: new Uint8Array(buffer),
    settled: Promise.resolve(),
    awaited: false,
    snapshotLength: -1,
    park: null,
    image: null,
    memoryOffset: 0,
    resume: false,
    ended: false,
    failure: null,
  };
  arrival.settled = (async () => {
    try {
      const header = await readLine();
      if (header === null) Deno.exit(0);
      let text = utf8Decoder.decode(header);
      let resume = startMode === "resume";
      if (startMode === "spare") {
        resume = text.startsWith("resume ");
        if (!resume && !text.startsWith("snapshot-load ")) text = "";
        text = text.slice(text.indexOf(" ") + 1);
      }
      const length = text === "" ? NaN : Number(text);
      if (!Number.isSafeInteger(length) || length < 0 || length > MAX_START_BYTES) {
        arrival.ended = true;
        throw new Error("snapshot length line expected");
      }
      arrival.resume = resume;
      if (resume) {
        readImageStart(arrival, length);
      } else {
        buffer.resize(length);
        try {
          await readBytesInto(arrival.whole, arrival.awaited);
        } catch (error) {
          arrival.ended = true;
          throw error;
        }
        arrival.snapshotLength = length;
      }
    } catch (error) {
      arrival.failure = error;
      arrival.ended ||= arrival.image?.broken ?? false;
      // Pyodide then finds no snapshot in the bytes and refuses them.
      arrival.snapshotLength = -1;
      buffer.resize(0);
    }
  })();
  return arrival;
}

// Reads a park image's lead and its snapshot's header, which says where the
// interpreter's memory begins (Pyodide's header: 32-bit words, the second
// being the memory's offset).
function readImageStart(arrival: Arrival, length: number): void {
  const input = new SparseInput(length);
  arrival.image = input;
  const prefix = new Uint8Array(LEAD_PREFIX);
  input.readTo(Math.min(LEAD_PREFIX, length), (from, n) => prefix.subarray(from, from + n));
  const leadEnd = leadLength(prefix, length);
  const lead = new Uint8Array(leadEnd);
  lead.set(prefix);
  input.readTo(leadEnd, (from, n) => lead.subarray(from, from + n));
  arrival.park = readLead(lead);
  const snapshotLength = length - leadEnd;
  arrival.buffer.resize(snapshotLength);
  const intoSnapshot = (from: number, n: number) => arrival.whole.subarray(from - leadEnd, from - leadEnd + n);
  input.readTo(leadEnd + Math.min(12, snapshotLength), intoSnapshot);
  const memoryOffset = snapshotLength < 12 ? -1 : new DataView(arrival.buffer).getUint32(4, true);
  if (memoryOffset < 12 || memoryOffset > snapshotLength) throw new Error("the image's snapshot is damaged");
  input.readTo(leadEnd + memoryOffset, intoSnapshot);
  arrival.memoryOffset = memoryOffset;
  arrival.snapshotLength = snapshotLength;
}

// Loads Pyodide from the snapshot that `arrival` brings. Pyodide needs the
// bytes only once it has compiled and set up its WebAssembly module, so it
// is given the buffer they are arriving in at once, and its file-system hook
// (the last step before it restores the snapshot) waits for them: reading
// them and Pyodide's own start overlap.
//
// Restoring copies the whole snapshot into the interpreter's fresh memory,
// and half of it is zero pages, which an ordinary start never touches:
// copied, they would stay resident in every idle runner. So the copy from a
// start snapshot skips each chunk that is zero on both sides (fresh memory
// reads as zero without becoming resident; a chunk that is not zero there is
// copied as it is). A park image's memory is not copied at all: it is read
// from standard input into place, and its zero runs, which were not sent,
// are cleared only where the memory holds anything.
async function loadSparsely(options: PyodideConfig, arrival: Arrival): Promise<PyodideAPI> {
  options._loadSnapshot = arrival.whole;
  options.fsInit = () => {
    arrival.awaited = true;
    return arrival.settled;
  };
  const plainSet = Int8Array.prototype.set;
  const heap: Heap = {};
  Int8Array.prototype.set = function (this: Int8Array, given: ArrayLike<number>, offset = 0) {
    if (
      !(given instanceof Uint8Array) || given.buffer !== arrival.buffer || offset !== 0 ||
      arrival.snapshotLength < 0
    ) {
      return plainSet.call(this, given, offset);
    }
    const length = Math.max(0, arrival.snapshotLength - given.byteOffset);
    const used = this.length;
    let target: Uint8Array;
    if (this.length >= length) {
      target = new Uint8Array(this.buffer, this.byteOffset, length);
    } else if (heap.resize && heap.memory && this.buffer === heap.memory.buffer) {
      heap.resize(length);
      if (heap.memory.buffer.byteLength < length) return plainSet.call(this, given.subarray(0, length), offset);
      target = new Uint8Array(heap.memory.buffer, 0, length);
    } else {
      return plainSet.call(this, given.subarray(0, length), offset);
    }
    if (arrival.image) {
      readMemory(arrival, target, given.byteOffset, used);
    } else {
      copySparsely(given.subarray(0, length), target);
    }
  };
  try {
    const pyodide = await withHeapCaught(heap, () => loadPyodide(options));
    if (arrival.image) throw new Error("Pyodide did not restore the park image");
    return pyodide;
  } finally {
    Int8Array.prototype.set = plainSet;
  }
}

const CHUNK = 1 << 16;

function allZero(bytes: Uint8Array, from: number, to: number): boolean {
  for (let i = from; i < to; i += 8) {
    if (
      bytes[i] | bytes[i + 1] | bytes[i + 2] | bytes[i + 3] | bytes[i + 4] | bytes[i + 5] |
      bytes[i + 6] | bytes[i + 7]
    ) return false;
  }
  return true;
}

function copySparsely(source: Uint8Array, target: Uint8Array): void {
  for (let at = 0; at < source.length; at += CHUNK) {
    const end = Math.min(at + CHUNK, source.length);
    if (end - at === CHUNK && allZero(source, at, end) && allZero(target, at, end)) continue;
    target.set(source.subarray(at, end), at);
  }
}

// Reads the rest of a park image, its memory, into `target`, the
// interpreter's memory (of which the first `used` bytes may hold anything;
// the rest is fresh). `offset` is where in the snapshot Pyodide's copy
// begins, which must be where the memory does (the input stands there).
function readMemory(arrival: Arrival, target: Uint8Array, offset: number, used: number): void {
  const input = arrival.image!;
  arrival.image = null;
  const base = input.at;
  try {
    if (offset !== arrival.memoryOffset) {
      throw new Error("Pyodide restores the park image from an unexpected place");
    }
    input.readTo(
      input.length,
      (from, n) => target.subarray(from - base, from - base + n),
      (from, to) => {
        const stop = Math.min(to - base, used);
        for (let at = from - base; at < stop;) {
          const end = Math.min(at - (at % CHUNK) + CHUNK, stop);
          if (!allZero(target, at, end)) target.fill(0, at, end);
          at = end;
        }
      },
    );
  } catch (error) {
    // Standard input broke: the runner must end. Anything else refuses the
    // image, whose rest is then read off (startInterpreter).
    arrival.ended ||= input.broken;
    arrival.failure = error;
    if (!input.broken) arrival.image = input;
    throw error;
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
  const arrival = startMode === "snapshot-load" || startMode === "resume" || startMode === "spare"
    ? receive(startMode)
    : null;
  let fromSnapshot = arrival !== null;
  let pyodide;
  try {
    pyodide = arrival ? await loadSparsely(loadOptions, arrival) : await loadPyodide(loadOptions);
  } catch (error) {
    if (!arrival) throw error;
    await arrival.settled;
    if (arrival.ended) throw arrival.failure;
    // What is left of a refused park image is taken off standard input
    // (input that breaks meanwhile ends the runner).
    arrival.image?.drain();
    // A snapshot the module checked but this Pyodide cannot take (it was made
    // by another build), or a park image it cannot restore (or split): start
    // the ordinary way instead.
    const what = arrival.resume ? "the park image" : "the start snapshot";
    toStderr("vesk runner: " + what + " was refused (" + textOf(arrival.failure ?? error) + "); loading Pyodide");
    delete loadOptions._loadSnapshot;
    delete loadOptions.fsInit;
    arrival.buffer.transfer(0);
    fromSnapshot = false;
    pyodide = await loadPyodide(loadOptions);
  }
  const internals = internalsOf(pyodide);
  if (arrival && fromSnapshot) {
    if (arrival.park) {
      // The interpreter's clock goes on from where it was parked, and the
      // files it had outside the workspace are back (before the bytes go).
      resumeClock(arrival.park.clock);
      restoreFiles(pyodide, arrival.park.entries, arrival.park.files);
      arrival.park = null;
    }
    // The interpreter's memory now holds what the snapshot's bytes said. The
    // bytes themselves would stay until a major collection, which an idle
    // runner may never reach: detaching their buffer frees them now (every
    // view of it, Pyodide's configuration included, reads as empty).
    arrival.buffer.transfer(0);
    delete loadOptions._loadSnapshot;
    delete loadOptions.fsInit;
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
