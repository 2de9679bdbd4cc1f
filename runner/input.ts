// Protocol input: standard input, read into one buffer, and the streaming
// parser of request lines.
//
// Requests:  {"code": text, "files": {key: [byte, ...]}}   run code over a workspace
//            {"code", "changed", "removed"}                the same, by difference
//                                                          from the workspace held
//            {"package": text}                             install a package
//            {"park": true}                                write an image and stay
//
// File contents travel as decimal byte arrays, so a request is three to four
// times the size of the workspace it carries: a workspace of 100 MB is a line
// of more than 350 MB. A request is therefore parsed as its bytes arrive, and
// the buffer holds a window of the line, not the line, so that holding it
// whole never becomes the runner's peak memory (a string could not even hold
// the line of a workspace above about 150 MB). Byte arrays are scanned
// straight into Uint8Arrays; every other value is delimited here and handed
// to JSON.parse, so any valid JSON is accepted and anything invalid rejected.
//
// Waiting for a request is asynchronous, so Python tasks left running keep
// running while the runner is idle; once a request has begun, the module
// writes the rest of it at once, and the remaining reads are synchronous,
// which costs a fifth of an asynchronous read. Before the first request,
// readLine() and readBytesInto() take the start snapshot's header and bytes.
//
// Errors: a request line that is not valid JSON, or a byte array with an
// element that is not an integer from 0 to 255, throws a SyntaxError, which
// ends the runner without a reply (the module never writes such a line).

const READ_SIZE = 1 << 16;
const IN_BUFFER = 1 << 20;

const utf8Decoder = new TextDecoder("utf-8", { ignoreBOM: true });

// Bytes read from standard input and not yet consumed live in
// inBuf[inStart, inEnd). The buffer grows only for a single string (or other
// value handed to JSON.parse) longer than it.
let inBuf = new Uint8Array(IN_BUFFER);
let inStart = 0;
let inEnd = 0;

// Makes room for one read behind inEnd, first moving the bytes from `from` on
// to the front of the buffer (or into a bigger one) when less than one read's
// worth would be free. Returns how far positions moved back (subtract it from
// every position held). One byte is always left spare behind inEnd and set to
// 0, which no byte array element contains: the array scanner stops there (see
// scanCompactBytes).
function makeRoom(from: number): number {
  let shift = 0;
  if (inBuf.length - 1 - inEnd < READ_SIZE) {
    const pending = inEnd - from;
    const target = pending + READ_SIZE + 1 <= inBuf.length
      ? inBuf
      : new Uint8Array(Math.max(inBuf.length * 2, pending + READ_SIZE + 1));
    target.set(inBuf.subarray(from, inEnd));
    inBuf = target;
    shift = from;
    inStart = Math.max(0, inStart - from);
    inEnd = pending;
  }
  return shift;
}

function readWindow(): Uint8Array {
  return inBuf.subarray(inEnd, Math.min(inBuf.length - 1, inEnd + READ_SIZE));
}

// Reads more input behind inEnd (see makeRoom). Returns how far positions
// moved back, or -1 at the end of input.
function fillInput(from: number): number {
  const shift = makeRoom(from);
  const n = Deno.stdin.readSync(readWindow());
  if (n === null) return -1;
  inEnd += n;
  inBuf[inEnd] = 0;
  return shift;
}

// The same, waiting for input without blocking the event loop.
function fillInputAsync(from: number): Promise<number> {
  const shift = makeRoom(from);
  return Deno.stdin.read(readWindow()).then((got) => {
    if (got === null) return -1;
    inEnd += got;
    inBuf[inEnd] = 0;
    return shift;
  });
}

// Drops a buffer grown for a long value once the request is consumed.
export function releaseInput(): void {
  if (inBuf.length > IN_BUFFER && inEnd - inStart < IN_BUFFER / 2) {
    const small = new Uint8Array(IN_BUFFER);
    small.set(inBuf.subarray(inStart, inEnd));
    inEnd -= inStart;
    inStart = 0;
    inBuf = small;
    inBuf[inEnd] = 0;
  }
}

// Waits until input is buffered; false at the end of input.
async function awaitInput(): Promise<boolean> {
  while (inStart === inEnd) {
    if ((await fillInputAsync(inStart)) < 0) return false;
  }
  return true;
}

// Returns the next line of standard input, without its line feed, as a new
// array, or null at the end of input. Only for the short lines before the
// first request.
export async function readLine(): Promise<Uint8Array | null> {
  let scanned = inStart;
  for (;;) {
    const found = inBuf.subarray(scanned, inEnd).indexOf(0x0a);
    if (found >= 0) {
      const line = inBuf.slice(inStart, scanned + found);
      inStart = scanned + found + 1;
      return line;
    }
    scanned = inEnd;
    const shift = await fillInputAsync(inStart);
    if (shift < 0) return null;
    scanned -= shift;
  }
}

// Moves what is buffered of standard input to the front of `out`; returns
// how many bytes that was.
function takeBuffered(out: Uint8Array): number {
  const buffered = Math.min(out.length, inEnd - inStart);
  out.set(inBuf.subarray(inStart, inStart + buffered));
  inStart += buffered;
  return buffered;
}

// Fills `out` with the next bytes of standard input: first what is
// buffered, then read straight into place, with blocking reads when the
// caller has nothing else to do meanwhile (they take a fifth of the time of
// asynchronous ones). Throws if input ends first.
export async function readBytesInto(out: Uint8Array, blocking = false): Promise<void> {
  if (blocking) return readBytesSync(out);
  let got = takeBuffered(out);
  while (got < out.length) {
    const read = await Deno.stdin.read(out.subarray(got));
    if (read === null) throw new Error("standard input ended inside the snapshot");
    got += read;
  }
}

// The same with blocking reads only.
export function readBytesSync(out: Uint8Array): void {
  let got = takeBuffered(out);
  while (got < out.length) {
    const read = Deno.stdin.readSync(out.subarray(got));
    if (read === null) throw new Error("standard input ended inside the snapshot");
    got += read;
  }
}

// ---------------------------------------------------------------------------
// Request parsing
//
// The object's members are kept in a Map; "files" and "changed", when they
// are objects, become Maps from key to Uint8Array, each byte array scanned
// without building a number array. A line feed ends the line wherever it
// comes: inside a value it is a syntax error.
//
// `at` is the parse position in inBuf; `keep`, when not -1, is the start of
// the value being delimited, which must stay buffered until it is decoded.

let at = 0;
let keep = -1;
let lineStart = 0; // bytes of the line consumed before the buffer's start
let scratch = new Uint8Array(0);

// Thrown when standard input ends inside a request: an unterminated last
// line is dropped, as the module never writes one.
const END_OF_INPUT = Symbol("end of input");

function syntaxError(what: string): SyntaxError {
  return new SyntaxError(`request line: ${what} at byte ${lineStart + at}`);
}

// Reads more of the line; positions move back by what fillInput says.
function more(): void {
  const shift = fillInput(keep >= 0 ? Math.min(keep, at) : at);
  if (shift < 0) throw END_OF_INPUT;
  at -= shift;
  if (keep >= 0) keep -= shift;
  lineStart += shift;
}

// The byte at `at`, reading more when it is not buffered yet.
function peek(): number {
  while (at >= inEnd) more();
  return inBuf[at];
}

function skipWhitespace(): void {
  let c = peek();
  while (c === 0x20 || c === 0x09 || c === 0x0d) {
    at++;
    c = peek();
  }
}

function expect(byte: number, what: string): void {
  if (peek() !== byte) throw syntaxError(`expected ${what}`);
  at++;
}

// Moves `at` past the closing quote of the string that opens at `at`.
function skipString(): void {
  at++;
  for (;;) {
    const found = inBuf.subarray(at, inEnd).indexOf(0x22);
    if (found < 0) {
      at = inEnd;
      more();
      continue;
    }
    at += found;
    let k = at - 1;
    while (inBuf[k] === 0x5c) k--;
    at++;
    if ((at - 2 - k) % 2 === 0) return;
  }
}

// Decodes the value that starts at `keep` and ends at `at`.
function decodeKept(): unknown {
  const text = utf8Decoder.decode(inBuf.subarray(keep, at));
  keep = -1;
  // A line feed inside would have ended the line.
  if (text.includes("\n")) {
    throw syntaxError("unexpected end of line");
  }
  return JSON.parse(text);
}

function parseString(): string {
  if (peek() !== 0x22) throw syntaxError("expected a string");
  keep = at;
  skipString();
  return decodeKept() as string;
}

function isTokenByte(c: number): boolean {
  return (c >= 0x30 && c <= 0x39) || (c >= 0x61 && c <= 0x7a) || c === 0x2b || c === 0x2d ||
    c === 0x2e || c === 0x45;
}

// Moves past one JSON value of any kind; JSON.parse checks it afterwards.
function skipValue(): void {
  let depth = 0;
  for (;;) {
    skipWhitespace();
    const c = peek();
    if (c === 0x22) {
      skipString();
    } else if (c === 0x7b || c === 0x5b) {
      depth++;
      at++;
      continue;
    } else if (c === 0x7d || c === 0x5d) {
      if (depth === 0) throw syntaxError("unexpected bracket");
      depth--;
      at++;
    } else if ((c === 0x2c || c === 0x3a) && depth > 0) {
      at++;
      continue;
    } else if (isTokenByte(c)) {
      while (isTokenByte(peek())) at++;
    } else {
      throw syntaxError(c === 0x0a ? "unexpected end of line" : "unexpected byte");
    }
    if (depth === 0) return;
  }
}

function parseAnyValue(): unknown {
  skipWhitespace();
  keep = at;
  skipValue();
  return decodeKept();
}

// One element of a byte array that is not plain digits (white space around
// it, an exponent, a fraction): parsed as a JSON number, which must be an
// integer from 0 to 255.
function parseByteSlowly(key: string): number {
  skipWhitespace();
  keep = at;
  while (isTokenByte(peek())) at++;
  const value = keep < at ? JSON.parse(utf8Decoder.decode(inBuf.subarray(keep, at))) : NaN;
  if (!Number.isInteger(value) || value < 0 || value > 255) {
    at = keep;
    throw syntaxError(`content of '${key}' is not an array of byte values`);
  }
  keep = -1;
  skipWhitespace();
  return value;
}

function parseBytes(key: string): Uint8Array {
  at++; // [
  skipWhitespace();
  if (peek() === 0x5d) {
    at++;
    return new Uint8Array(0);
  }
  let n = 0;
  for (;;) {
    if (at >= inEnd) more();
    const stop = scanCompactBytes(inBuf, at, scratch, n);
    n = scanCount;
    at = scanEnd;
    if (stop === SCAN_CLOSED) break;
    if (n === scratch.length) {
      const grown = new Uint8Array(Math.max(1 << 16, scratch.length * 2));
      grown.set(scratch);
      scratch = grown;
    }
    if (stop === SCAN_FULL) continue;
    // The scan stops at the end of what is buffered ("255," is the longest
    // element): read on, and scan again.
    if (inEnd - at < 5 && inBuf.subarray(at, inEnd).indexOf(0x0a) < 0) {
      more();
      continue;
    }
    // An element that is not in the compact form: take it the slow way.
    const v = parseByteSlowly(key);
    const c = peek();
    if (c !== 0x2c && c !== 0x5d) throw syntaxError("expected ',' or ']'");
    scratch[n++] = v;
    at++;
    if (c === 0x5d) break;
  }
  return scratch.slice(0, n);
}

// Why scanCompactBytes stopped, where, and how many values it had stored.
const SCAN_CLOSED = 0;
const SCAN_FULL = 1;
const SCAN_OTHER_FORM = 2;
let scanEnd = 0;
let scanCount = 0;

// Scans array elements in the compact form the module writes (decimal digits
// without leading zeros, then ',' or ']') from p, storing values from index
// n. Stops after the closing ']', when `values` is full, or at an element in
// any other form, which includes the 0 behind the buffered bytes. This loop
// is where a request's time goes; it stays small and free of calls so that
// V8 optimises it fully.
function scanCompactBytes(b: Uint8Array, p: number, values: Uint8Array, n: number): number {
  const capacity = values.length;
  for (;;) {
    const start = p;
    if (n === capacity) {
      scanEnd = start;
      scanCount = n;
      return SCAN_FULL;
    }
    let c = b[p];
    let v;
    if (c >= 0x31 && c <= 0x39) {
      v = c - 0x30;
      c = b[++p];
      if (c >= 0x30 && c <= 0x39) {
        v = v * 10 + c - 0x30;
        c = b[++p];
        if (c >= 0x30 && c <= 0x39) {
          v = v * 10 + c - 0x30;
          c = b[++p];
        }
      }
    } else if (c === 0x30) {
      v = 0;
      c = b[++p];
    } else {
      v = 256;
    }
    p++;
    if (v <= 255) {
      if (c === 0x2c) {
        values[n++] = v;
        continue;
      }
      if (c === 0x5d) {
        values[n++] = v;
        scanEnd = p;
        scanCount = n;
        return SCAN_CLOSED;
      }
    }
    scanEnd = start;
    scanCount = n;
    return SCAN_OTHER_FORM;
  }
}

// Parses the object that opens at `at` into a Map, each member's value by
// `value(key)` (a key given twice keeps its last value, as JSON.parse does).
function parseObject<T>(value: (key: string) => T): Map<string, T> {
  const result = new Map<string, T>();
  at++; // {
  skipWhitespace();
  if (peek() === 0x7d) {
    at++;
    return result;
  }
  for (;;) {
    skipWhitespace();
    const key = parseString();
    skipWhitespace();
    expect(0x3a, "':'");
    skipWhitespace();
    result.set(key, value(key));
    skipWhitespace();
    if (peek() === 0x2c) {
      at++;
      continue;
    }
    expect(0x7d, "',' or '}'");
    return result;
  }
}

function parseFiles(): Map<string, Uint8Array> {
  return parseObject((key) => {
    if (peek() !== 0x5b) throw syntaxError(`content of '${key}' is not an array of byte values`);
    return parseBytes(key);
  });
}

function parseRequestValue(): unknown {
  skipWhitespace();
  if (peek() !== 0x7b) return parseAnyValue();
  return parseObject((key) =>
    (key === "files" || key === "changed") && peek() === 0x7b ? parseFiles() : parseAnyValue()
  );
}

// Reads and parses the next request line. An object comes back as a Map of
// its members (see parseObject); any other JSON value comes back as
// JSON.parse gives it. Returns null at the end of input (and for a line that
// is JSON's null, which the module never writes); a blank line is passed
// over.
export async function readRequest(): Promise<unknown> {
  for (;;) {
    if (!(await awaitInput())) return null;
    at = inStart;
    keep = -1;
    lineStart = -inStart;
    try {
      // Blank: white space (as the module's reader counts it) up to a line
      // feed.
      let c = peek();
      while (c === 0x20 || c === 0x09 || c === 0x0d || c === 0x0b || c === 0x0c) {
        at++;
        c = peek();
      }
      if (c === 0x0a) {
        inStart = at + 1;
        continue;
      }
      at = inStart;
      const request = parseRequestValue();
      skipWhitespace();
      if (peek() !== 0x0a) throw syntaxError("unexpected data after the request");
      inStart = at + 1;
      return request;
    } catch (error) {
      if (error === END_OF_INPUT) return null;
      throw error;
    } finally {
      scratch = new Uint8Array(0);
      keep = -1;
    }
  }
}
