// Python output capture: what Python writes to its standard output and error.
//
// Until the ready line is out, Python output is a diagnostic like any other
// (sendOutputToStderr). From then on (captureOutput) each line becomes a
// progress line the moment it is complete, and is also kept for the reply of
// the request that printed it, up to CAPTURE_LIMIT UTF-16 code units per
// stream: the capture stops growing once it has reached the limit, so it may
// end one line past it, while progress lines go on. Python's standard input,
// which would otherwise read the runner's own standard input (the protocol),
// is empty.
//
// Lines are cut here from the bytes written to Python's descriptors, not by
// Pyodide's own line batching, which decodes bytes that are not UTF-8 so
// that the characters after them are lost: this decoder puts one U+FFFD in
// their place and keeps the rest.
import { toStderr } from "./diagnostics.ts";
import { writeProgress } from "./output.ts";
import type { PyodideAPI } from "./pyodide.ts";

const CAPTURE_LIMIT = 1 * 1024 * 1024;

// A line longer than LONGEST_BATCH goes out in pieces of that length, so
// that a gigabyte printed without a line feed never becomes one string.
const LONGEST_BATCH = CAPTURE_LIMIT;

interface LineWriter {
  write(bytes: Uint8Array): number;
  flush(): void;
}

function lineWriter(onLine: (line: string) => void): LineWriter {
  const decoder = new TextDecoder("utf-8");
  let pieces: string[] = [];
  let pendingLength = 0;
  const emit = (last: string) => {
    pieces.push(last);
    onLine(pieces.length === 1 ? last : pieces.join(""));
    pieces = [];
    pendingLength = 0;
  };
  return {
    write(bytes) {
      let text = decoder.decode(bytes, { stream: true });
      for (;;) {
        const nl = text.indexOf("\n");
        if (nl < 0) break;
        emit(text.slice(0, nl));
        text = text.slice(nl + 1);
      }
      while (pendingLength + text.length >= LONGEST_BATCH) {
        const take = LONGEST_BATCH - pendingLength;
        emit(text.slice(0, take));
        text = text.slice(take);
      }
      if (text.length > 0) {
        pieces.push(text);
        pendingLength += text.length;
      }
      return bytes.length;
    },
    // A last line without a line feed belongs to the run that printed it.
    flush() {
      const text = decoder.decode();
      if (pendingLength + text.length > 0) emit(text);
    },
  };
}

let capturedStdout = "";
let capturedStderr = "";
// Flushes Python's own streams (set by captureOutput).
let flushStreams = () => {};
// Emits the lines still pending in the line writers (set by captureOutput).
let flushLines = () => {};

export function sendOutputToStderr(pyodide: PyodideAPI): void {
  pyodide.setStdout({ batched: toStderr });
  pyodide.setStderr({ batched: toStderr });
}

// `flushPythonStreams` flushes Python's own buffered streams.
export function captureOutput(pyodide: PyodideAPI, flushPythonStreams: () => void): void {
  const stdoutLines = lineWriter((line) => {
    writeProgress(line);
    if (capturedStdout.length < CAPTURE_LIMIT) capturedStdout += line + "\n";
  });
  const stderrLines = lineWriter((line) => {
    writeProgress(line, true);
    if (capturedStderr.length < CAPTURE_LIMIT) capturedStderr += line + "\n";
  });
  pyodide.setStdout({ write: (bytes) => stdoutLines.write(bytes) });
  pyodide.setStderr({ write: (bytes) => stderrLines.write(bytes) });
  flushStreams = flushPythonStreams;
  flushLines = () => {
    stdoutLines.flush();
    stderrLines.flush();
  };
  pyodide.setStdin({ stdin: () => null });
}

// Empties both captures: a new request begins.
export function resetCapture(): void {
  capturedStdout = "";
  capturedStderr = "";
}

// The captures, without trailing white space, as a reply carries them.
export function capturedOutput(): { stdout: string; stderr: string } {
  return { stdout: capturedStdout.trimEnd(), stderr: capturedStderr.trimEnd() };
}

// Flushes Python's output streams and the line writers behind them, so that
// a last line without a line feed belongs to the run that printed it.
export function flushPythonOutput(): void {
  flushStreams();
  flushLines();
}
