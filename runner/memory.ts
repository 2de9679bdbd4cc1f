// The bound on the interpreter's memory.
//
// Pyodide's WebAssembly memory, which holds every Python object, grows only
// through WebAssembly.Memory.prototype.grow (the C library's allocator asks
// for more that way). capInterpreterMemory() puts a wrapper in its place
// before Pyodide loads that refuses to grow any memory beyond the cap: the
// allocation fails inside the interpreter, Python raises MemoryError, and
// the interpreter goes on as it was. The wrapper cannot be taken back by
// code in the runner (the property is neither writable nor configurable),
// and the original is held only here. JavaScript's own objects are bounded
// apart from this, by V8's heap limit and the module's watch on the
// runner's resident memory.
//
// The cap comes from the module as "--interpreter-memory-mb=N" on the
// command line; without it nothing is capped.

export const MEMORY_FLAG = "--interpreter-memory-mb=";

const PAGE = 65536;
let capMb: number | null = null;
let refusals = 0;

// Installs the wrapper for a cap of `mb` MiB. Idempotent per process.
export function capInterpreterMemory(mb: number): void {
  if (capMb !== null || !Number.isSafeInteger(mb) || mb <= 0) return;
  capMb = mb;
  const capBytes = mb * 1048576;
  const grow = WebAssembly.Memory.prototype.grow;
  Object.defineProperty(WebAssembly.Memory.prototype, "grow", {
    value: function (this: WebAssembly.Memory, delta: number): number {
      const after = this.buffer.byteLength + Number(delta) * PAGE;
      if (after > capBytes) {
        refusals++;
        throw new RangeError(`WebAssembly.Memory.grow(): the interpreter's memory is limited to ${mb} MiB`);
      }
      return grow.call(this, delta);
    },
    writable: false,
    configurable: false,
    enumerable: false,
  });
}

// The cap named on the command line, if any.
export function memoryCapFrom(args: readonly string[]): number | null {
  const flag = args.find((a) => a.startsWith(MEMORY_FLAG));
  return flag === undefined ? null : Number(flag.slice(MEMORY_FLAG.length));
}

// How often growth has been refused so far.
export function memoryRefusals(): number {
  return refusals;
}

// A line to add to a run's error when growth was refused during the run, so
// that a MemoryError says which bound it met.
export function memoryNote(refusalsBefore: number): string {
  if (capMb === null || refusals === refusalsBefore) return "";
  return `the interpreter's memory is limited to ${capMb} MiB (three quarters of ` +
    "max_runner_memory_mb in the vesk configuration)";
}
