// Diagnostics: the runner's standard error, and the text form of errors.
//
// Standard error is inherited from the host, free-form and best effort: a
// closed one never ends the runner. Every console method goes there, so that
// Pyodide's and any library's messages stay off standard output, which
// carries the protocol alone. textOf() is how every error reaches a reply or
// a diagnostic, the file system's errno objects included once Pyodide has
// given their names (setErrnoNames).
import { writeAll } from "./output.ts";

const utf8 = new TextEncoder();

// Names of the file system's error numbers, once Pyodide has loaded.
let errnoNames: Record<number, string> = {};

export function setErrnoNames(codes: Record<string, number>): void {
  errnoNames = Object.fromEntries(Object.entries(codes).map(([name, code]) => [code, name]));
}

export function textOf(value: unknown): string {
  let text;
  try {
    text = String(value);
  } catch {
    text = Object.prototype.toString.call(value);
  }
  // The file system's errors are plain objects carrying an errno.
  const fsError = value as { errno?: unknown; name?: unknown } | null | undefined;
  if (text === "[object Object]" && typeof fsError?.errno === "number") {
    text = `${fsError.name ?? "Error"}: ${errnoNames[fsError.errno] ?? "errno " + fsError.errno}`;
  }
  return text;
}

// Diagnostics are best effort: a closed standard error must not end the runner.
export function toStderr(...values: unknown[]): void {
  try {
    writeAll(Deno.stderr, utf8.encode(values.map(textOf).join(" ") + "\n"));
  } catch {
    // nothing sensible left to report to
  }
}

export function routeConsole(): void {
  console.log = console.info = console.warn = console.debug = toStderr;
  console.dir = console.dirxml = console.table = toStderr;
}

// Python's SystemExit and KeyboardInterrupt escape asyncio's event loop on
// top of failing the run that raised them; the run's own failure is the
// reply, so the escaped copy must not end the process.
function isPythonExit(error: unknown): boolean {
  const e = error as { constructor?: { name?: string }; type?: string } | null | undefined;
  return e?.constructor?.name === "PythonError" &&
    (e.type === "SystemExit" || e.type === "KeyboardInterrupt");
}

export function keepPythonExitsFromEndingTheRunner(): void {
  globalThis.addEventListener("unhandledrejection", (event) => {
    if (isPythonExit(event.reason)) event.preventDefault();
  });
  globalThis.addEventListener("error", (event) => {
    if (isPythonExit(event.error)) event.preventDefault();
  });
}
