// @ts-nocheck
// vesk runner: hosts one Pyodide interpreter and serves JSON-line requests on
// standard input, one at a time, until standard input ends.
//
// Requests:  {"code": text, "files": {key: [byte, ...]}}   run code over a workspace
//            {"code", "changed", "removed"}                the same, by difference
//                                                          from the workspace held
//            {"package": text}                             install a package
// Lines out: {"ready":true} once, {"progress": text} per line of Python output,
//            then one reply per request: {"seq","stdout","stderr","files"} or
//            {"seq","error"}, "seq" counting the requests read (the first is 1).
//            A difference request, and a whole one with "reply":"changes", is
//            answered {"seq","stdout","stderr","changed","removed"} (or
//            {"seq","resync":true} when the runner cannot apply it).
//
// Code run here can write to standard output itself (Pyodide reaches Deno), so
// a line shaped like a reply may come from it. The module takes a reply only
// when its "seq" is that of the request it waits for: a stray reply-shaped
// line, or the reply of an earlier request whose wait failed, is passed over
// and never stands in for the reply of a later request.
//
// Standard output carries protocol lines and nothing else; every diagnostic
// goes to standard error. The workspace lives in /workspace of Pyodide's
// in-memory file system and is rebuilt from every execute request (and from
// an install request that carries "files", so that a wheel in the workspace
// can be installed by its emfs: path).
//
// The runner may write only the one directory named by its first argument, a
// directory of its own that the module removes when the runner goes: Pyodide
// keeps the packages it downloads there. Deno's cache, from which the next
// runner loads Pyodide, is read-only to it.
//
// File contents travel as decimal byte arrays, so requests and replies are
// three to four times the size of the workspace. They are therefore handled as
// bytes: an input line is kept as raw bytes (a string could not hold the line
// of a workspace above about 150 MB), byte arrays are scanned straight into
// Uint8Arrays, and replies are encoded with a lookup table into a fixed buffer
// that is written out as it fills.
//
// This file must stay self-contained: the module embeds it byte for byte.
// Pinned: a newer package in Deno's cache never changes what runs.
import { loadPyodide } from "npm:pyodide@314.0.8";

const CAPTURE_LIMIT = 1 * 1024 * 1024;
const WORKSPACE = "/workspace";
const READ_SIZE = 1 << 16;

const utf8 = new TextEncoder();
const utf8Decoder = new TextDecoder("utf-8", { ignoreBOM: true });

// ---------------------------------------------------------------------------
// Output

function writeAll(file, bytes) {
  let done = 0;
  while (done < bytes.length) done += file.writeSync(bytes.subarray(done));
}

// Names of the file system's error numbers, once Pyodide has loaded.
let errnoNames = {};

function textOf(value) {
  let text;
  try {
    text = String(value);
  } catch {
    text = Object.prototype.toString.call(value);
  }
  // The file system's errors are plain objects carrying an errno.
  if (text === "[object Object]" && typeof value?.errno === "number") {
    text = `${value.name ?? "Error"}: ${errnoNames[value.errno] ?? "errno " + value.errno}`;
  }
  return text;
}

// Diagnostics are best effort: a closed standard error must not end the runner.
function toStderr(...values) {
  try {
    writeAll(Deno.stderr, utf8.encode(values.map(textOf).join(" ") + "\n"));
  } catch {
    // nothing sensible left to report to
  }
}

// `DIGITS[b]` holds the decimal digits of b followed by a comma, one byte per
// character from the lowest up (zero padded to four), `DIGIT_COUNT[b]` how
// many of those bytes count.
const DIGITS = new Uint32Array(256);
const DIGIT_COUNT = new Uint8Array(256);
for (let b = 0; b < 256; b++) {
  const text = b + ",";
  for (let i = 0; i < text.length; i++) DIGITS[b] |= text.charCodeAt(i) << (8 * i);
  DIGIT_COUNT[b] = text.length;
}

// Protocol lines are built in a fixed buffer and written to standard output
// synchronously. A line longer than the buffer goes out in several writes, but
// always completely before the script does anything else, so lines never
// interleave.
const outBuf = new Uint8Array(1 << 20);
let outPos = 0;

function outFlush() {
  if (outPos > 0) writeAll(Deno.stdout, outBuf.subarray(0, outPos));
  outPos = 0;
}

function outByte(b) {
  if (outPos === outBuf.length) outFlush();
  outBuf[outPos++] = b;
}

function outText(s) {
  let done = 0;
  for (;;) {
    const rest = done === 0 ? s : s.substring(done);
    const { read, written } = utf8.encodeInto(rest, outBuf.subarray(outPos));
    outPos += written;
    done += read;
    if (done >= s.length) return;
    outFlush();
  }
}

// A JSON string; non-ASCII characters stay raw UTF-8. Text from Python or the
// file system may hold lone surrogates (bytes that were not UTF-8), which no
// UTF-8 line can carry: they become U+FFFD, as the shell's output does.
function outString(s) {
  outText(JSON.stringify(s.toWellFormed()));
}

function outByteArray(data) {
  const n = data.length;
  outByte(0x5b);
  let i = 0;
  while (i < n) {
    // A value takes at most four bytes ("255,") and every value writes four,
    // so the run stops four bytes short of the end of the buffer.
    const fit = (outBuf.length - outPos - 4) >> 2;
    if (fit <= 0) {
      outFlush();
      continue;
    }
    const stop = Math.min(n, i + fit);
    // Keep this loop inline and its stores byte-wide: moved into a helper or
    // written through a DataView, V8 runs it two to four times slower.
    const out = outBuf;
    const digits = DIGITS;
    const counts = DIGIT_COUNT;
    let p = outPos;
    for (; i < stop; i++) {
      const v = data[i];
      const w = digits[v];
      out[p] = w;
      out[p + 1] = w >> 8;
      out[p + 2] = w >> 16;
      out[p + 3] = w >> 24;
      p += counts[v];
    }
    outPos = p;
  }
  // The comma after the last value is still in the buffer: the loop never
  // flushes after a store.
  if (n > 0) outBuf[outPos - 1] = 0x5d;
  else outByte(0x5d);
}

function outEndLine() {
  outByte(0x0a);
  outFlush();
}

function writeProgress(batch) {
  outText('{"progress":');
  outString(batch);
  outByte(0x7d);
  outEndLine();
}

// The number of the request being served; its reply carries it.
let requestSeq = 0;

function writeError(error) {
  outText(`{"seq":${requestSeq},"error":`);
  outString(textOf(error));
  outByte(0x7d);
  outEndLine();
}

// `installed`, for an install: the addresses of the wheels it put in place.
function writeSuccess(stdout, stderr, files, installed) {
  outText(`{"seq":${requestSeq},"stdout":`);
  outString(stdout);
  outText(',"stderr":');
  outString(stderr);
  outText(',"files":{');
  let first = true;
  for (const [key, data] of files) {
    if (!first) outByte(0x2c);
    first = false;
    outString(key);
    outByte(0x3a);
    outByteArray(data);
  }
  outByte(0x7d);
  if (installed !== undefined) {
    outText(',"installed":[');
    installed.forEach((address, i) => {
      if (i > 0) outByte(0x2c);
      outString(String(address));
    });
    outByte(0x5d);
  }
  outByte(0x7d);
  outEndLine();
}

// ---------------------------------------------------------------------------
// Input
//
// Bytes read from standard input and not yet consumed live in
// inBuf[inStart, inEnd). A request is parsed as its bytes arrive, so the
// buffer holds a window of the line, not the line: a workspace of 100 MB is a
// line of more than 350 MB, and holding it whole would make that the runner's
// peak memory. The buffer grows only for a single string (or other value
// handed to JSON.parse) longer than it.
//
// Waiting for a request is asynchronous, so Python tasks left running keep
// running while the runner is idle; once a request has begun, the module
// writes the rest of it at once, and the remaining reads are synchronous,
// which costs a fifth of an asynchronous read.
const IN_BUFFER = 1 << 20;
let inBuf = new Uint8Array(IN_BUFFER);
let inStart = 0;
let inEnd = 0;

// Reads more input behind inEnd, first moving the bytes from `from` on to the
// front of the buffer (or into a bigger one) when less than one read's worth
// would be free. Returns how far positions moved back (subtract it from every
// position held), or -1 at the end of input. One byte is always left spare
// behind inEnd and set to 0, which no byte array element contains: the
// array scanner stops there (see scanCompactBytes).
function fillInput(from, wait) {
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
  const into = inBuf.subarray(inEnd, Math.min(inBuf.length - 1, inEnd + READ_SIZE));
  const n = wait ? Deno.stdin.read(into) : Deno.stdin.readSync(into);
  if (wait) {
    return n.then((got) => (got === null ? -1 : (inEnd += got, inBuf[inEnd] = 0, shift)));
  }
  if (n === null) return -1;
  inEnd += n;
  inBuf[inEnd] = 0;
  return shift;
}

// Drops a buffer grown for a long value once the request is consumed.
function releaseInput() {
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
async function awaitInput() {
  while (inStart === inEnd) {
    if ((await fillInput(inStart, true)) < 0) return false;
  }
  return true;
}

// Returns the next line of standard input, without its line feed, as a new
// array, or null at the end of input. Only for the short lines before the
// first request.
async function readLine() {
  let scanned = inStart;
  for (;;) {
    const found = inBuf.subarray(scanned, inEnd).indexOf(0x0a);
    if (found >= 0) {
      const line = inBuf.slice(inStart, scanned + found);
      inStart = scanned + found + 1;
      return line;
    }
    scanned = inEnd;
    const shift = await fillInput(inStart, true);
    if (shift < 0) return null;
    scanned -= shift;
  }
}

// Loads Pyodide from the snapshot in loadOptions. Restoring copies the whole
// snapshot into the interpreter's fresh memory, and half of it is zero pages,
// which an ordinary start never touches: copied, they would stay resident in
// every idle runner. So while Pyodide loads, the copy from the snapshot skips
// each chunk that is zero on both sides (fresh memory reads as zero without
// becoming resident; a chunk that is not zero there is copied as it is).
async function loadSparsely(options) {
  const snapshot = options._loadSnapshot;
  const plainSet = Int8Array.prototype.set;
  const CHUNK = 1 << 16;
  const allZero = (bytes, from, to) => {
    for (let i = from; i < to; i += 8) {
      if (bytes[i] | bytes[i + 1] | bytes[i + 2] | bytes[i + 3] | bytes[i + 4] | bytes[i + 5] |
        bytes[i + 6] | bytes[i + 7]) return false;
    }
    return true;
  };
  Int8Array.prototype.set = function (source, offset = 0) {
    if (!(source instanceof Uint8Array) || source.buffer !== snapshot.buffer || offset !== 0 ||
      this.length < source.length) {
      return plainSet.call(this, source, offset);
    }
    const target = new Uint8Array(this.buffer, this.byteOffset, source.length);
    for (let at = 0; at < source.length; at += CHUNK) {
      const end = Math.min(at + CHUNK, source.length);
      if (end - at === CHUNK && allZero(source, at, end) && allZero(target, at, end)) continue;
      target.set(source.subarray(at, end), at);
    }
  };
  try {
    return await loadPyodide(options);
  } finally {
    Int8Array.prototype.set = plainSet;
  }
}

// The C library's allocator maps a block this large on its own and unmaps it
// when it is freed; a smaller one (a snapshot is about 30 MiB) may come from
// a heap that keeps its pages resident after the block is freed.
const MAPPED_ALONE = 33 << 20;

// Returns the next `n` bytes of standard input as a new array: first what is
// buffered, then read straight into place. The array's buffer is at least
// MAPPED_ALONE bytes long, so that freeing it gives its memory back.
async function readBytes(n) {
  const out = new Uint8Array(Math.max(n, MAPPED_ALONE)).subarray(0, n);
  const buffered = Math.min(n, inEnd - inStart);
  out.set(inBuf.subarray(inStart, inStart + buffered));
  inStart += buffered;
  let got = buffered;
  while (got < n) {
    const read = await Deno.stdin.read(out.subarray(got));
    if (read === null) throw new Error("standard input ended inside the snapshot");
    got += read;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Request parsing
//
// A request line is parsed straight from its bytes as they arrive. The
// object's members are kept in a Map; "files" and "changed", when they are
// objects, become Maps from key to Uint8Array, each byte array scanned
// without building a number array. Every other value (and every string) is
// delimited here and handed to JSON.parse, so any valid JSON is accepted and
// anything invalid is rejected. A line feed ends the line wherever it comes:
// inside a value it is a syntax error.
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

function syntaxError(what) {
  return new SyntaxError(`request line: ${what} at byte ${lineStart + at}`);
}

// Reads more of the line; positions move back by what fillInput says.
function more() {
  const shift = fillInput(keep >= 0 ? Math.min(keep, at) : at, false);
  if (shift < 0) throw END_OF_INPUT;
  at -= shift;
  if (keep >= 0) keep -= shift;
  lineStart += shift;
}

// The byte at `at`, reading more when it is not buffered yet.
function peek() {
  while (at >= inEnd) more();
  return inBuf[at];
}

function skipWhitespace() {
  let c = peek();
  while (c === 0x20 || c === 0x09 || c === 0x0d) {
    at++;
    c = peek();
  }
}

function expect(byte, what) {
  if (peek() !== byte) throw syntaxError(`expected ${what}`);
  at++;
}

// Moves `at` past the closing quote of the string that opens at `at`.
function skipString() {
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
function decodeKept() {
  const text = utf8Decoder.decode(inBuf.subarray(keep, at));
  keep = -1;
  // A line feed inside would have ended the line.
  if (text.includes("\n")) {
    throw syntaxError("unexpected end of line");
  }
  return JSON.parse(text);
}

function parseString() {
  if (peek() !== 0x22) throw syntaxError("expected a string");
  keep = at;
  skipString();
  return decodeKept();
}

function isTokenByte(c) {
  return (c >= 0x30 && c <= 0x39) || (c >= 0x61 && c <= 0x7a) || c === 0x2b || c === 0x2d ||
    c === 0x2e || c === 0x45;
}

// Moves past one JSON value of any kind; JSON.parse checks it afterwards.
function skipValue() {
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

function parseAnyValue() {
  skipWhitespace();
  keep = at;
  skipValue();
  return decodeKept();
}

// One element of a byte array that is not plain digits (white space around
// it, an exponent, a fraction): parsed as a JSON number, which must be an
// integer from 0 to 255.
function parseByteSlowly(key) {
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

function parseBytes(key) {
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
function scanCompactBytes(b, p, values, n) {
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
function parseObject(value) {
  const result = new Map();
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

function parseFiles() {
  return parseObject((key) => {
    if (peek() !== 0x5b) throw syntaxError(`content of '${key}' is not an array of byte values`);
    return parseBytes(key);
  });
}

// Reads and parses the next request line. An object comes back as a Map of
// its members (see parseObject); any other JSON value comes back as
// JSON.parse gives it. Returns null at the end of input; a blank line is
// passed over.
async function readRequest() {
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

function parseRequestValue() {
  skipWhitespace();
  if (peek() !== 0x7b) return parseAnyValue();
  return parseObject((key) =>
    (key === "files" || key === "changed") && peek() === 0x7b ? parseFiles() : parseAnyValue()
  );
}

// ---------------------------------------------------------------------------
// Workspace

// Entries are classified without following symbolic links: a link to a
// directory outside the workspace is removed, never emptied.
function clearDir(path) {
  for (const name of FS.readdir(path)) {
    if (name === "." || name === "..") continue;
    const entry = path + "/" + name;
    if (FS.isDir(FS.lstat(entry).mode)) {
      clearDir(entry);
      FS.rmdir(entry);
    } else {
      FS.unlink(entry);
    }
  }
}

// Makes /workspace hold exactly the given files. Failures to write are not
// caught: they end the runner.
function syncWorkspace(files) {
  if (!(files instanceof Map)) throw new TypeError('execute request without a "files" object');
  // The previous run may have left the working directory inside /workspace,
  // and the file system refuses to remove the working directory.
  FS.chdir("/");
  try {
    // Code may have replaced the directory itself with a link or a file.
    if (FS.isDir(FS.lstat(WORKSPACE).mode)) clearDir(WORKSPACE);
    else FS.unlink(WORKSPACE);
  } catch {
    // first request: there is nothing to clear yet
  }
  try {
    FS.mkdir(WORKSPACE);
  } catch {
    // already there
  }
  writeFiles(files);
}

// Writes each file of the map below /workspace, making its directories.
function writeFiles(files) {
  for (const [key, data] of files) {
    const parts = key.split("/");
    let dir = WORKSPACE;
    for (let i = 0; i < parts.length - 1; i++) {
      dir += "/" + parts[i];
      try {
        FS.mkdir(dir);
      } catch {
        // exists; a clash with a file shows up when the file is written
      }
    }
    // Each array is the request's own copy, so the file system may keep it.
    FS.writeFile(WORKSPACE + "/" + key, data, { canOwn: true });
  }
}

// Returns [key, bytes] pairs of the regular files under dir. Links are never
// followed, as in the shell: a link to /lib would bring Pyodide's own files
// into the checkpoint, and a link to / or a cycle would never end.
function collectFiles(dir, into = []) {
  for (const name of FS.readdir(dir)) {
    if (name === "." || name === "..") continue;
    const path = dir + "/" + name;
    const mode = FS.lstat(path).mode;
    if (FS.isFile(mode)) into.push([path.slice(WORKSPACE.length + 1), FS.readFile(path)]);
    else if (FS.isDir(mode)) collectFiles(path, into);
  }
  return into;
}

// ---------------------------------------------------------------------------
// Requests

async function serveInstall(request) {
  const pkg = request.get("package");
  if (request.has("files")) {
    syncWorkspace(request.get("files"));
    held = null;
  }
  request.clear();
  let outcome;
  try {
    outcome = await installProxy(textOf(pkg));
  } catch (error) {
    flushPythonOutput();
    writeError(error);
    return;
  }
  flushPythonOutput();
  try {
    if (typeof outcome === "string") {
      writeError(outcome);
    } else {
      writeSuccess("", "", [], outcome === undefined ? undefined : outcome.toJs());
    }
  } finally {
    outcome?.destroy?.();
  }
}

// The workspace as the runner last reported it (or laid it out from a whole
// "files" map): key -> [file node, its content version]. null when unknown,
// which makes a difference request answer {"resync":true}.
let held = null;
// workspaceChanges when `held` was taken: any change since means code left
// running between requests (an asyncio task, a JavaScript timer) touched the
// workspace, which the module's record no longer matches.
let heldAt = -1;

async function serveExecute(request) {
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
    heldAt = workspaceChanges;
  } else {
    if (held === null || heldAt !== workspaceChanges || !workspaceIsDirectory()) {
      request.clear();
      held = null;
      writeResync();
      return;
    }
    applyChanges(request.get("changed"), request.get("removed"));
    request.clear();
    // Nothing applied, nothing changed: `held` still describes /workspace.
    if (heldAt !== workspaceChanges) held = walkWorkspace();
    heldAt = workspaceChanges;
  }
  const changesBefore = workspaceChanges;
  capturedStdout = "";
  capturedStderr = "";
  let collected;
  try {
    // The very chdir that Python's os.chdir('/workspace') makes, without a
    // Python round trip of its own: that costs half a millisecond a request.
    pyodide.FS.chdir(WORKSPACE);
    const failure = await runUserCode(textOf(code));
    flushPythonOutput();
    if (failure !== undefined) {
      held = null;
      writeError(failure);
      return;
    }
    if (!diffReply) {
      collected = collectFiles(WORKSPACE);
      held = walkWorkspace();
    } else if (workspaceChanges === changesBefore) {
      // Every change below /workspace counts (see trackWorkspaceChanges):
      // none, so the run changed no file and left nothing to prune.
      collected = { changed: [], removed: [], now: held };
    } else {
      collected = changesSince(held);
      held = collected.now;
    }
    // The next run must find the checkpoint and nothing else.
    if (workspaceChanges !== changesBefore) pruneWorkspace();
  } catch (error) {
    held = null;
    flushPythonOutput();
    writeError(error);
    return;
  }
  heldAt = workspaceChanges;
  if (!diffReply) {
    writeSuccess(capturedStdout.trimEnd(), capturedStderr.trimEnd(), collected);
  } else {
    writeChanges(capturedStdout.trimEnd(), capturedStderr.trimEnd(), collected);
  }
}

// ---------------------------------------------------------------------------
// Workspace changes
//
// A run's reply to a difference request carries only what the run changed.
// The rule, applied in changesSince(): a file is unchanged exactly when the
// same file node is at the same key and its content version is the one
// recorded. It is sound because every change of a file's bytes in the
// in-memory file system goes through MEMFS's write (Python's writes, mmap's
// msync, JavaScript's FS.writeFile alike) or its setattr with a size
// (truncation), both wrapped below to give the node a new version; renames,
// deletions, new files and directories change which node sits at a key,
// which the walk sees; modification times, which tar and zip extraction set
// back, are not looked at. Code that deliberately undoes the wrappers can
// only mislead its own later runs: the host records what replies say.

let contentVersion = 0;
// Counts every change below /workspace (content or names), so that changes
// made between requests are noticed.
let workspaceChanges = 0;

function insideWorkspace(node) {
  for (let n = node; n; n = n.parent === n ? null : n.parent) {
    if (n.name === "workspace" && n.parent && n.parent.parent === n.parent) return true;
  }
  return false;
}

function trackWorkspaceChanges() {
  const MEMFS = FS.filesystems.MEMFS;
  const table = MEMFS.ops_table;
  const bump = (node) => {
    node.vesk_version = ++contentVersion;
    if (insideWorkspace(node)) workspaceChanges++;
  };
  const wrapWrite = (ops) => {
    const write = ops.write;
    ops.write = function (stream, ...rest) {
      bump(stream.node);
      return write.call(this, stream, ...rest);
    };
  };
  const wrapSetattr = (ops) => {
    const setattr = ops.setattr;
    ops.setattr = function (node, attr) {
      if (attr?.size !== undefined) bump(node);
      return setattr.call(this, node, attr);
    };
  };
  wrapWrite(MEMFS.stream_ops);
  wrapWrite(table.file.stream);
  wrapSetattr(MEMFS.node_ops);
  wrapSetattr(table.file.node);
  // Names: a change below /workspace counts for requests to come.
  for (const name of ["mknod", "rename", "unlink", "rmdir", "symlink"]) {
    for (const ops of [MEMFS.node_ops, table.dir.node]) {
      const op = ops[name];
      ops[name] = function (parent, ...rest) {
        // rename(node, new_dir, new_name); the others (dir, name, ...).
        if (insideWorkspace(parent) || (name === "rename" && insideWorkspace(rest[0]))) {
          workspaceChanges++;
        }
        return op.call(this, parent, ...rest);
      };
    }
  }
}

// Whether /workspace is a directory (code may have removed it, or put a
// link or a file in its place).
function workspaceIsDirectory() {
  try {
    return FS.isDir(FS.lookupPath(WORKSPACE, { follow: false }).node.mode);
  } catch {
    return false;
  }
}

// key -> [node, version] of every regular file below /workspace; links are
// not followed.
function walkWorkspace() {
  const out = new Map();
  let root;
  try {
    root = FS.lookupPath(WORKSPACE, { follow: false }).node;
  } catch {
    return out;
  }
  if (!FS.isDir(root.mode)) return out;
  const walk = (dir, prefix) => {
    for (const name of Object.keys(dir.contents)) {
      const node = dir.contents[name];
      if (FS.isFile(node.mode)) out.set(prefix + name, [node, node.vesk_version ?? 0]);
      else if (FS.isDir(node.mode)) walk(node, prefix + name + "/");
    }
  };
  walk(root, "");
  return out;
}

// Removes below /workspace whatever is not a regular file (links, devices)
// and every directory left empty: what a run leaves besides its files is no
// part of the next run's workspace.
function pruneWorkspace() {
  let root;
  try {
    root = FS.lookupPath(WORKSPACE, { follow: false }).node;
  } catch {
    return;
  }
  if (!FS.isDir(root.mode)) return;
  const prune = (dir, path) => {
    let left = 0;
    for (const name of Object.keys(dir.contents)) {
      const node = dir.contents[name];
      const child = path + "/" + name;
      if (FS.isFile(node.mode)) {
        left++;
      } else if (FS.isDir(node.mode)) {
        if (prune(node, child)) {
          left++;
        } else {
          try {
            FS.rmdir(child);
          } catch {
            left++;
          }
        }
      } else {
        try {
          FS.unlink(child);
        } catch {
          left++;
        }
      }
    }
    return left > 0;
  };
  prune(root, WORKSPACE);
}

// The file's bytes, unsigned, without a copy (MEMFS may hold them in an
// Int8Array taken from the interpreter's memory).
function contentOf(node) {
  const c = node.contents;
  if (!c || node.usedBytes === 0) return new Uint8Array(0);
  if (ArrayBuffer.isView(c)) return new Uint8Array(c.buffer, c.byteOffset, node.usedBytes);
  return Uint8Array.from(c.slice(0, node.usedBytes));
}

// What changed below /workspace since `before` (see the rule above).
function changesSince(before) {
  const now = walkWorkspace();
  const changed = [];
  for (const [key, [node, version]] of now) {
    const old = before.get(key);
    if (old === undefined || old[0] !== node || old[1] !== version) {
      changed.push([key, contentOf(node)]);
    }
  }
  const removed = [];
  for (const key of before.keys()) {
    if (!now.has(key)) removed.push(key);
  }
  return { changed, removed, now };
}

// Applies a difference request: removes the keys named (and the directories
// that hold nothing any more), then writes the files given.
function applyChanges(changed, removed) {
  FS.chdir("/");
  for (const key of Array.isArray(removed) ? removed : []) {
    const path = WORKSPACE + "/" + key;
    try {
      FS.unlink(path);
    } catch {
      continue; // not there: nothing to remove
    }
    for (let dir = path.slice(0, path.lastIndexOf("/")); dir !== WORKSPACE;
      dir = dir.slice(0, dir.lastIndexOf("/"))) {
      try {
        FS.rmdir(dir);
      } catch {
        break; // not empty
      }
    }
  }
  if (changed instanceof Map) writeFiles(changed);
}

function writeResync() {
  outText(`{"seq":${requestSeq},"resync":true}`);
  outEndLine();
}

function writeChanges(stdout, stderr, changes) {
  outText(`{"seq":${requestSeq},"stdout":`);
  outString(stdout);
  outText(',"stderr":');
  outString(stderr);
  outText(',"changed":{');
  changes.changed.forEach(([key, data], i) => {
    if (i > 0) outByte(0x2c);
    outString(key);
    outByte(0x3a);
    outByteArray(data);
  });
  outText('},"removed":[');
  changes.removed.forEach((key, i) => {
    if (i > 0) outByte(0x2c);
    outString(key);
  });
  outText("]}");
  outEndLine();
}

// ---------------------------------------------------------------------------
// micropip stand-in

// Whether loadPackage("micropip") can succeed. Under Deno it looks for the
// wheel in this runner's own directory, then fetches it from Pyodide's CDN;
// with neither (no wheel there, no permission to reach the CDN's host) it
// only fails, and finding that out costs a fifth of a start from a snapshot.
// When in doubt, it is tried.
function micropipLoadable() {
  try {
    const api = pyodide._api;
    const local = (api.config.packageCacheDir ?? api.config.packageBaseUrl) +
      api.lockfile_packages.micropip.file_name;
    if (!/^[a-z][a-z0-9+.-]*:/i.test(local)) {
      try {
        Deno.statSync(local);
        return true;
      } catch {
        // not there
      }
    }
    const host = new URL(api.config.cdnUrl).hostname;
    return Deno.permissions.querySync({ name: "net", host }).state === "granted";
  } catch {
    return true;
  }
}

// With no route to Pyodide's package CDN, loadPackage("micropip") only logs
// its failure. Then this small installer with micropip's interface takes its
// place: pure-Python wheels from a URL or from a JSON package index.
function installMicropipStandIn() {
  const scope = pyodide.toPy({});
  try {
    pyodide.runPython("import importlib.util, sys", { globals: scope });
    if (pyodide.runPython("importlib.util.find_spec('micropip') is not None", { globals: scope })) return;
    const site = pyodide.runPython(
      "next(p for p in sys.path if p.endswith('site-packages'))", { globals: scope });
    pyodide.FS.mkdirTree(site);
    pyodide.FS.writeFile(site + "/micropip.py", MICROPIP_SOURCE);
    // Imported by the first install that needs it, not here: the runner's
    // start stays as quick as Pyodide's own. Only the finder of that one
    // directory is told of the new file: importlib.invalidate_caches() would
    // import importlib.metadata, which costs more than the rest of a start
    // from a snapshot.
    scope.set("site", site);
    pyodide.runPython(
      "finder = sys.path_importer_cache.get(site)\nif finder is not None:\n    finder.invalidate_caches()",
      { globals: scope },
    );
    toStderr("vesk runner: micropip could not be loaded; using the built-in pure-Python installer");
  } finally {
    scope.destroy();
  }
}

const MICROPIP_SOURCE = String.raw`"""Installs pure-Python wheels with micropip's interface.

    await micropip.install("name>=1.0", verbose=True)
    await micropip.install("https://host/pkg-1.0-py3-none-any.whl")
    await micropip.install("emfs:/tmp/pkg-1.0-py3-none-any.whl")
    micropip.set_index_urls(["http://host/pypi/{package_name}/json"])
    micropip.list()

Requirements are resolved through package indexes that speak the JSON API
({index}/{name}/json with "releases" and "urls"). Wheels are fetched through
pyodide.http.pyfetch, so the runtime's network permissions apply, and are
unpacked into site-packages together with the dependencies their metadata
declares.
"""

import importlib
import os
import re
import sys

__version__ = "0.1.0"
__all__ = ["install", "list", "set_index_urls"]

_DEFAULT_INDEX_URLS = ("https://pypi.org/pypi/{package_name}/json",)
_index_urls = [*_DEFAULT_INDEX_URLS]

# The addresses of the wheels the last install() put in place, dependencies
# first: what installing them again in order reproduces exactly, whatever
# index settings led to them.
installed = []


def set_index_urls(urls):
    """Sets the package indexes to look names up in, in order.

    A URL containing "{package_name}" is formatted with the name; any other
    URL gets "/{name}/json" appended.
    """
    if isinstance(urls, str):
        urls = [urls]
    _index_urls[:] = [*urls]


def _canonical(name):
    return re.sub(r"[-_.]+", "-", name).lower()


# --- versions (PEP 440) -----------------------------------------------------

_VERSION_RE = re.compile(
    r"""
    v?
    (?:(?P<epoch>[0-9]+)!)?
    (?P<release>[0-9]+(?:\.[0-9]+)*)
    (?P<pre>[-_.]?(?P<pre_l>alpha|a|beta|b|preview|pre|c|rc)[-_.]?(?P<pre_n>[0-9]+)?)?
    (?P<post>-(?P<post_n1>[0-9]+)|[-_.]?(?P<post_l>post|rev|r)[-_.]?(?P<post_n2>[0-9]+)?)?
    (?P<dev>[-_.]?dev[-_.]?(?P<dev_n>[0-9]+)?)?
    (?:\+(?P<local>[a-z0-9]+(?:[-_.][a-z0-9]+)*))?
    """,
    re.VERBOSE | re.IGNORECASE,
)
_PRE_RANK = {"a": 0, "alpha": 0, "b": 1, "beta": 1, "c": 2, "rc": 2, "pre": 2, "preview": 2}


class Version:
    """A parsed version; compares by PEP 440 order."""

    def __init__(self, text):
        m = _VERSION_RE.fullmatch(text.strip())
        if m is None:
            raise ValueError(f"Invalid version: '{text}'")
        self.text = text
        self.epoch = int(m["epoch"] or 0)
        self.release = tuple(int(x) for x in m["release"].split("."))
        self.pre = (_PRE_RANK[m["pre_l"].lower()], int(m["pre_n"] or 0)) if m["pre"] else None
        self.post = int(m["post_n1"] or m["post_n2"] or 0) if m["post"] else None
        self.dev = int(m["dev_n"] or 0) if m["dev"] else None
        self.local = (
            tuple((1, int(p), "") if p.isdigit() else (0, 0, p.lower()) for p in re.split(r"[-_.]", m["local"]))
            if m["local"]
            else None
        )
        release = [*self.release]
        while len(release) > 1 and release[-1] == 0:
            release.pop()
        self.base = (self.epoch, tuple(release))
        if self.pre is None and self.post is None and self.dev is not None:
            pre = (-1, 0)  # 1.0.dev1 sorts before 1.0a1
        else:
            pre = self.pre if self.pre is not None else (3, 0)
        post = -1 if self.post is None else self.post
        dev = (1, 0) if self.dev is None else (0, self.dev)
        self.public = (self.epoch, self.base[1], pre, post, dev)
        self.key = self.public + ((() if self.local is None else self.local),)

    @property
    def is_prerelease(self):
        return self.pre is not None or self.dev is not None

    def __str__(self):
        return self.text

    def __repr__(self):
        return f"Version('{self.text}')"


def _parse_version(text):
    try:
        return Version(text)
    except ValueError:
        return None


def _release_prefix_matches(candidate, prefix):
    """Whether the release of candidate starts with prefix (a release tuple)."""
    release = candidate.release + (0,) * max(0, len(prefix) - len(candidate.release))
    return release[: len(prefix)] == prefix


def _spec_matches(op, target, version):
    """Whether version satisfies the clause op target (e.g. ">=", "1.0")."""
    if op == "===":
        return version.text.strip().lower() == target.strip().lower()
    if op in ("==", "!=") and target.endswith(".*"):
        prefix = Version(target[:-2])
        matched = version.epoch == prefix.epoch and _release_prefix_matches(version, prefix.release)
        return matched if op == "==" else not matched
    spec = Version(target)
    if op in ("==", "!="):
        matched = version.key == spec.key if spec.local is not None else version.public == spec.public
        return matched if op == "==" else not matched
    if op == "~=":
        if len(spec.release) < 2:
            raise ValueError(f"Invalid specifier: '~={target}'")
        return version.public >= spec.public and version.epoch == spec.epoch and _release_prefix_matches(
            version, spec.release[:-1]
        )
    if op == "<=":
        return version.public <= spec.public
    if op == ">=":
        return version.public >= spec.public
    if op == "<":
        if version.public >= spec.public:
            return False
        # <1.0 excludes 1.0's own pre-releases unless it names one itself.
        return spec.is_prerelease or not version.is_prerelease or version.base != spec.base
    if op == ">":
        if version.public <= spec.public:
            return False
        # >1.0 excludes 1.0's post-releases and local versions.
        if version.base == spec.base and (
            (spec.post is None and version.post is not None) or version.local is not None
        ):
            return False
        return True
    raise ValueError(f"Invalid specifier operator: '{op}'")


_CLAUSE_RE = re.compile(r"\s*(~=|===|==|!=|<=|>=|<|>)\s*([^\s,;()]+)\s*")


def _parse_specifier(text):
    """'>=1.0, <2' -> [(">=", "1.0"), ("<", "2")]; checks each version."""
    text = text.strip()
    if text.startswith("(") and text.endswith(")"):
        text = text[1:-1]
    clauses = []
    if not text.strip():
        return clauses
    for part in text.split(","):
        m = _CLAUSE_RE.fullmatch(part)
        if m is None:
            raise ValueError(f"Invalid specifier: '{part.strip()}'")
        op, target = m.groups()
        if op != "===":
            Version(target[:-2] if target.endswith(".*") and op in ("==", "!=") else target)
        clauses.append((op, target))
    return clauses


def _satisfies(clauses, version):
    return all(_spec_matches(op, target, version) for op, target in clauses)


# --- requirements and markers (PEP 508) ----------------------------------------

_REQ_RE = re.compile(
    r"""
    \s*(?P<name>[A-Za-z0-9](?:[A-Za-z0-9._-]*[A-Za-z0-9])?)\s*
    (?:\[(?P<extras>[^\]]*)\])?\s*
    (?:@\s*(?P<url>[^\s;]+)\s*|(?P<spec>[^;@]*))
    (?:;(?P<marker>.*))?
    """,
    re.VERBOSE | re.DOTALL,
)


class Requirement:
    def __init__(self, text):
        m = _REQ_RE.fullmatch(text)
        if m is None:
            raise ValueError(f"Invalid requirement: '{text}'")
        self.text = text.strip()
        self.name = m["name"]
        self.key = _canonical(self.name)
        self.extras = {_canonical(e) for e in (m["extras"] or "").split(",") if e.strip()}
        self.url = m["url"]
        self.specifier = _parse_specifier(m["spec"] or "")
        self.marker = m["marker"].strip() if m["marker"] is not None else None
        self.without_marker = text.split(";", 1)[0].strip()
        if self.marker is not None:
            _Marker(self.marker)  # reject a malformed marker up front

    def applies(self, extras=()):
        if self.marker is None:
            return True
        marker = _Marker(self.marker)
        return any(marker.evaluate(extra) for extra in ("", *extras))


_MARKER_TOKEN_RE = re.compile(
    r"""\s*(?:
      (?P<str>'[^']*'|"[^"]*")
    | (?P<op>===|==|!=|<=|>=|~=|<|>|not\s+in\b|in\b)
    | (?P<paren>[()])
    | (?P<word>and\b|or\b)
    | (?P<var>[A-Za-z_][A-Za-z0-9_.]*)
    )""",
    re.VERBOSE,
)
_MARKER_VARS = {
    "implementation_name", "implementation_version", "os_name", "platform_machine",
    "platform_release", "platform_system", "platform_version", "python_full_version",
    "platform_python_implementation", "python_version", "sys_platform", "extra",
}
_LEGACY_VARS = {
    "os.name": "os_name", "sys.platform": "sys_platform", "platform.version": "platform_version",
    "platform.machine": "platform_machine", "platform.python_implementation": "platform_python_implementation",
    "python_implementation": "platform_python_implementation",
}


def _marker_environment():
    import platform

    info = sys.implementation.version
    implementation_version = f"{info.major}.{info.minor}.{info.micro}"
    if info.releaselevel != "final":
        implementation_version += info.releaselevel[0] + str(info.serial)
    return {
        "implementation_name": sys.implementation.name,
        "implementation_version": implementation_version,
        "os_name": os.name,
        "platform_machine": platform.machine(),
        "platform_release": platform.release(),
        "platform_system": platform.system(),
        "platform_version": platform.version(),
        "python_full_version": platform.python_version(),
        "platform_python_implementation": platform.python_implementation(),
        "python_version": ".".join(platform.python_version_tuple()[:2]),
        "sys_platform": sys.platform,
    }


class _Marker:
    """An environment marker: parsed into nested tuples, evaluated per extra."""

    def __init__(self, text):
        self.text = text
        self.tokens = []
        pos = 0
        while pos < len(text):
            if not text[pos:].strip():
                break
            m = _MARKER_TOKEN_RE.match(text, pos)
            if m is None:
                raise ValueError(f"Invalid marker: '{text}'")
            kind = m.lastgroup
            value = m[kind]
            if kind == "op":
                value = " ".join(value.split())
            if kind == "var":
                value = _LEGACY_VARS.get(value, value)
                if value not in _MARKER_VARS:
                    raise ValueError(f"Invalid marker: '{text}' (unknown variable '{value}')")
            self.tokens.append((kind, value))
            pos = m.end()
        self.pos = 0
        self.tree = self._or()
        if self.pos != len(self.tokens):
            raise ValueError(f"Invalid marker: '{text}'")

    def _peek(self):
        return self.tokens[self.pos] if self.pos < len(self.tokens) else (None, None)

    def _take(self, kind):
        token = self._peek()
        if token[0] != kind:
            raise ValueError(f"Invalid marker: '{self.text}'")
        self.pos += 1
        return token[1]

    def _or(self):
        node = self._and()
        while self._peek() == ("word", "or"):
            self.pos += 1
            node = ("or", node, self._and())
        return node

    def _and(self):
        node = self._atom()
        while self._peek() == ("word", "and"):
            self.pos += 1
            node = ("and", node, self._atom())
        return node

    def _atom(self):
        if self._peek() == ("paren", "("):
            self.pos += 1
            node = self._or()
            if self._take("paren") != ")":
                raise ValueError(f"Invalid marker: '{self.text}'")
            return node
        left = self._value()
        op = self._take("op")
        return ("cmp", left, op, self._value())

    def _value(self):
        kind, value = self._peek()
        if kind == "str":
            self.pos += 1
            return ("str", value[1:-1])
        if kind == "var":
            self.pos += 1
            return ("var", value)
        raise ValueError(f"Invalid marker: '{self.text}'")

    def evaluate(self, extra=""):
        env = _marker_environment()
        env["extra"] = extra
        return self._eval(self.tree, env)

    def _eval(self, node, env):
        if node[0] == "or":
            return self._eval(node[1], env) or self._eval(node[2], env)
        if node[0] == "and":
            return self._eval(node[1], env) and self._eval(node[2], env)
        _, left, op, right = node
        is_extra = "extra" in (left[1] if left[0] == "var" else None, right[1] if right[0] == "var" else None)
        lhs = env[left[1]] if left[0] == "var" else left[1]
        rhs = env[right[1]] if right[0] == "var" else right[1]
        if is_extra:
            lhs, rhs = _canonical(lhs), _canonical(rhs)
        if op == "in":
            return lhs in rhs
        if op == "not in":
            return lhs not in rhs
        try:
            _parse_specifier(op + rhs)
        except ValueError:
            pass
        else:
            version = _parse_version(lhs)
            return version is not None and _spec_matches(op, rhs, version)
        compare = {
            "==": lambda a, b: a == b, "!=": lambda a, b: a != b, "<": lambda a, b: a < b,
            "<=": lambda a, b: a <= b, ">": lambda a, b: a > b, ">=": lambda a, b: a >= b,
            "===": lambda a, b: a == b,
        }.get(op)
        if compare is None:
            raise ValueError(f"Invalid marker: '{self.text}' ('{op}' needs versions)")
        return compare(lhs, rhs)


# --- wheels --------------------------------------------------------------------


def _wheel_tags(filename):
    """(name, version, python tags, abi tag, platform tag) of a wheel file name."""
    if not filename.endswith(".whl"):
        raise ValueError(f"'{filename}' is not a wheel file name")
    parts = filename[:-4].split("-")
    if len(parts) not in (5, 6):
        raise ValueError(f"Invalid wheel file name: '{filename}'")
    return parts[0], parts[1], parts[-3].split("."), parts[-2].split("."), parts[-1].split(".")


def _is_pure_python3(filename):
    try:
        _, _, pythons, abis, platforms = _wheel_tags(filename)
    except ValueError:
        return False
    if "none" not in abis or "any" not in platforms:
        return False
    for tag in pythons:
        m = re.fullmatch(r"py3(\d*)", tag)
        if m and (not m[1] or int(m[1]) <= sys.version_info.minor):
            return True
    return False


class _Wheel:
    def __init__(self, filename, url, sha256=None):
        self.filename = filename
        self.url = url
        self.sha256 = sha256
        name, version, *_ = _wheel_tags(filename)
        self.name = name
        self.version = version
        self.key = _canonical(name)
        self.zip = None
        self.dist_info = None
        self.requires = []

    def load(self, data):
        """Checks the downloaded bytes and reads the wheel's metadata."""
        import email.parser
        import hashlib
        import io
        import zipfile

        if self.sha256 is not None and hashlib.sha256(data).hexdigest() != self.sha256.lower():
            raise ValueError(f"'{self.filename}' does not match the sha256 digest given by the index")
        try:
            archive = zipfile.ZipFile(io.BytesIO(data))
            corrupt = archive.testzip()
        except (zipfile.BadZipFile, EOFError, OSError) as error:
            raise ValueError(f"'{self.filename}' is not a valid wheel: {error}") from None
        if corrupt is not None:
            raise ValueError(f"'{self.filename}' is not a valid wheel: '{corrupt}' is corrupt")
        infos = [
            n[: -len("/METADATA")]
            for n in archive.namelist()
            if n.count("/") == 1 and n.endswith(".dist-info/METADATA")
        ]
        if len(infos) != 1:
            raise ValueError(f"'{self.filename}' is not a valid wheel: it has no single .dist-info/METADATA")
        self.dist_info = infos[0]
        if _canonical(self.dist_info[: -len(".dist-info")].rsplit("-", 1)[0]) != self.key:
            raise ValueError(f"'{self.filename}' is not a valid wheel: it holds '{self.dist_info}'")
        metadata = email.parser.BytesHeaderParser().parsebytes(archive.read(self.dist_info + "/METADATA"))
        self.name = metadata["Name"] or self.name
        self.requires = [Requirement(text) for text in metadata.get_all("Requires-Dist") or ()]
        self.zip = archive

    def install(self, target):
        """Unpacks the wheel into target; .data/purelib and platlib go there too."""
        data_dir = self.dist_info[: -len(".dist-info")] + ".data"
        root = os.path.realpath(target)
        for info in self.zip.infolist():
            if info.is_dir():
                continue
            parts = info.filename.split("/")
            if parts[0] == data_dir:
                if len(parts) < 3 or parts[1] not in ("purelib", "platlib"):
                    continue  # scripts, headers and data have no place here
                parts = parts[2:]
            dest = os.path.normpath(os.path.join(root, *parts))
            if not dest.startswith(root + os.sep):
                raise ValueError(f"'{self.filename}' is not a valid wheel: unsafe path '{info.filename}'")
            os.makedirs(os.path.dirname(dest), exist_ok=True)
            with open(dest, "wb") as f:
                f.write(self.zip.read(info))
        with open(os.path.join(root, self.dist_info, "INSTALLER"), "w") as f:
            f.write("micropip\n")


# --- fetching ------------------------------------------------------------------


async def _fetch(url):
    """Returns (status, bytes) for an http(s) URL, or the bytes of an emfs: path."""
    if url.startswith("emfs:"):
        with open(url[len("emfs:"):], "rb") as f:
            return 200, f.read()
    from pyodide.http import pyfetch

    try:
        response = await pyfetch(url)
        return response.status, (await response.bytes()) if response.ok else b""
    except Exception as error:
        raise ValueError(f"Can't fetch '{url}': {error}") from None


def _is_url(text):
    return text.startswith("emfs:") or re.match(r"[A-Za-z][A-Za-z0-9+.-]*://", text) is not None


def _url_filename(url):
    from urllib.parse import unquote, urlparse

    path = url[len("emfs:"):] if url.startswith("emfs:") else urlparse(url).path
    return unquote(path.rsplit("/", 1)[-1])


async def _find_wheel(req, index_urls, pre):
    import json
    from urllib.parse import urljoin

    project = None
    for index in index_urls:
        url = index.format(package_name=req.key) if "{package_name}" in index else index.rstrip("/") + f"/{req.key}/json"
        status, body = await _fetch(url)
        if status == 404:
            continue
        if not 200 <= status < 300:
            raise ValueError(f"Can't fetch metadata for '{req.name}' from {url}: HTTP status {status}")
        try:
            project, project_url = json.loads(body), url
        except ValueError as error:
            raise ValueError(f"Can't read the package index's answer for '{req.name}' from {url}: {error}") from None
        break
    if project is None:
        raise ValueError(
            f"Can't find a pure Python 3 wheel for '{req.text}': no package named '{req.name}' "
            f"in the package index ({', '.join(index_urls)})"
        )
    releases = project.get("releases") or {}
    if not releases and project.get("urls"):
        releases = {project["info"]["version"]: project["urls"]}
    pinned = any(op in ("==", "===") for op, _ in req.specifier)
    allow_pre = pre or any(
        op != "===" and Version(t[:-2] if t.endswith(".*") else t).is_prerelease for op, t in req.specifier
    )
    matching = []
    for text, files in releases.items():
        version = _parse_version(text)
        if version is not None and _satisfies(req.specifier, version):
            wheels = [f for f in files or () if _is_pure_python3(f.get("filename", ""))]
            if not pinned:
                wheels = [f for f in wheels if not f.get("yanked")]
            matching.append((version, wheels))
    matching.sort(key=lambda item: item[0].key, reverse=True)
    with_wheels = [item for item in matching if item[1]]
    finals = [item for item in with_wheels if allow_pre or not item[0].is_prerelease]
    chosen = (finals or with_wheels or [None])[0]
    if chosen is None:
        if matching:
            versions = ", ".join(item[0].text for item in matching)
            reason = f"none of the matching releases of '{req.name}' ({versions}) has one"
        else:
            available = ", ".join(sorted(releases, key=lambda t: (_parse_version(t) or Version("0")).key))
            reason = f"no release of '{req.name}' matches (available: {available or 'none'})"
        raise ValueError(f"Can't find a pure Python 3 wheel for '{req.text}': {reason}")
    best = chosen[1][0]
    digest = (best.get("digests") or {}).get("sha256")
    return _Wheel(best["filename"], urljoin(project_url, best["url"]), digest)


def _installed_version(name):
    from importlib import metadata

    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None


# --- install -------------------------------------------------------------------


async def install(requirements, keep_going=False, deps=True, credentials=None, pre=False, index_urls=None, *, verbose=False):
    """Installs one requirement or a list of them, with their dependencies.

    A requirement is a wheel URL (http, https or emfs:) or a name with an
    optional version specifier, looked up in the package indexes. Raises
    ValueError when a package cannot be found or installed; nothing is
    installed then.
    """
    if isinstance(requirements, str):
        requirements = [requirements]
    if index_urls is None:
        index_urls = [*_index_urls]
    elif isinstance(index_urls, str):
        index_urls = [index_urls]
    say = print if verbose else (lambda *args: None)
    planned = {}
    order = []

    async def add(text, parent=None):
        text = text.strip()
        say(f"Collecting {text}" + (f" (from {parent})" if parent else ""))
        req = None if _is_url(text) else Requirement(text)
        url = text if req is None else req.url
        if url is not None:
            filename = _url_filename(url)
            if not _is_pure_python3(filename):
                raise ValueError(f"Can't install '{text}': '{filename}' is not a pure Python 3 wheel")
            wheel = _Wheel(filename, url)
            if req is not None and wheel.key != req.key:
                raise ValueError(f"Can't install '{text}': the wheel is for '{wheel.name}'")
            key, clauses = wheel.key, [("==", wheel.version)]
        else:
            key, clauses = req.key, req.specifier
        if key in planned:
            chosen = planned[key]
            if not _satisfies(clauses, Version(chosen.version)):
                raise ValueError(f"Can't install '{text}': {chosen.name} {chosen.version} is wanted as well")
            return
        installed = _installed_version(key)
        if installed is not None:
            version = _parse_version(installed)
            if not clauses or (version is not None and _satisfies(clauses, version)):
                say(f"Requirement already satisfied: {key} ({installed})")
                return
            raise ValueError(f"Requested '{text}', but {key}=={installed} is already installed")
        if url is None:
            wheel = await _find_wheel(req, index_urls, pre)
        say(f"  Downloading {wheel.filename}")
        status, data = await _fetch(wheel.url)
        if not 200 <= status < 300:
            raise ValueError(f"Can't download '{wheel.url}': HTTP status {status}")
        wheel.load(data)
        planned[key] = wheel
        if deps:
            extras = req.extras if req is not None else set()
            for dep in wheel.requires:
                if dep.applies(extras):
                    await add(dep.without_marker, parent=text)
        order.append(wheel)

    installed.clear()
    for requirement in requirements:
        await add(requirement)
    if not order:
        return
    import sysconfig

    say("Installing collected packages: " + ", ".join(w.name for w in order))
    target = sysconfig.get_paths()["purelib"]
    for wheel in order:
        wheel.install(target)
    importlib.invalidate_caches()
    installed.extend(w.url for w in order)
    say("Successfully installed " + " ".join(f"{w.name}-{w.version}" for w in order))


def list():
    """Installed distributions: canonical name -> version."""
    from importlib import metadata

    found = {}
    for dist in metadata.distributions():
        name = dist.metadata["Name"]
        if name:
            found.setdefault(_canonical(name), dist.version)
    return found
`;

// ---------------------------------------------------------------------------
// Startup

console.log = console.info = console.warn = console.debug = toStderr;
console.dir = console.dirxml = console.table = toStderr;

// Python's SystemExit and KeyboardInterrupt escape asyncio's event loop on
// top of failing the run that raised them; the run's own failure is the
// reply, so the escaped copy must not end the process.
function isPythonExit(error) {
  return error?.constructor?.name === "PythonError" &&
    (error.type === "SystemExit" || error.type === "KeyboardInterrupt");
}
globalThis.addEventListener("unhandledrejection", (event) => {
  if (isPythonExit(event.reason)) event.preventDefault();
});
globalThis.addEventListener("error", (event) => {
  if (isPythonExit(event.error)) event.preventDefault();
});

// Network errors that name a Deno flag a vesk user cannot pass say instead
// which host was refused and where it is allowed. Installers and user code
// alike fetch through this.
const denoFetch = globalThis.fetch;
globalThis.fetch = async function fetch(input, init) {
  try {
    return await denoFetch(input, init);
  } catch (error) {
    if (error instanceof Deno.errors.NotCapable || error instanceof Deno.errors.PermissionDenied) {
      throw new Deno.errors.NotCapable(
        `network access to '${hostOf(input)}' is not allowed: add the host to domain_allowlist ` +
          "in the vesk configuration",
      );
    }
    throw error;
  }
};

function hostOf(input) {
  try {
    return new URL(input instanceof Request ? input.url : String(input)).host;
  } catch {
    return String(input);
  }
}

// Arguments: the runner's own directory, then how to start:
//   (nothing)        load Pyodide the ordinary way;
//   "snapshot-load"  standard input first carries a memory snapshot of a
//                    freshly started runner: a line with its length in bytes,
//                    then the bytes. The module made it and checked it; the
//                    runner only reads it (it has no access to where it is
//                    kept);
//   "snapshot-make"  start as for a session, run nothing else, write
//                    {"snapshot":N} and the N bytes of a memory snapshot to
//                    standard output, and end.
const packageCacheDir = Deno.args[0];
const startMode = Deno.args[1] ?? "";
const loadOptions = packageCacheDir ? { packageCacheDir } : {};
let fromSnapshot = false;
if (startMode === "snapshot-load") {
  const header = await readLine();
  const length = header === null ? NaN : Number(utf8Decoder.decode(header));
  if (!Number.isSafeInteger(length) || length < 0) throw new Error("snapshot length line expected");
  loadOptions._loadSnapshot = await readBytes(length);
  fromSnapshot = true;
} else if (startMode === "snapshot-make") {
  loadOptions._makeSnapshot = true;
}
let pyodide;
try {
  pyodide = fromSnapshot ? await loadSparsely(loadOptions) : await loadPyodide(loadOptions);
} catch (error) {
  if (!fromSnapshot) throw error;
  // A snapshot the module checked but this Pyodide cannot take (it was made
  // by another build): start the ordinary way instead.
  toStderr("vesk runner: the start snapshot was refused (" + textOf(error) + "); loading Pyodide");
  delete loadOptions._loadSnapshot;
  fromSnapshot = false;
  pyodide = await loadPyodide(loadOptions);
}
if (fromSnapshot) {
  // The interpreter's memory now holds what the snapshot's bytes said. The
  // bytes themselves would stay resident until a major collection, which an
  // idle runner may never reach: detaching their buffer frees them now
  // (every view of it, Pyodide's configuration included, reads as empty).
  loadOptions._loadSnapshot.buffer.transfer(0);
  delete loadOptions._loadSnapshot;
  if (pyodide._api?.config) pyodide._api.config._loadSnapshot = undefined;
  // Restoring puts the script's directory in front of sys.path once more.
  pyodide.runPython("import sys\nif sys.path[:2] == ['', '']:\n    del sys.path[0]", {
    globals: pyodide.toPy({}),
  });
}
// The loader leaves its instantiation hook in the interpreter's module, and
// the hook holds the interpreter's WebAssembly bytes (9.6 MB) that were
// compiled from; V8 keeps its own copy, and nothing calls the hook again.
if (pyodide._module?.instantiateWasm) pyodide._module.instantiateWasm = undefined;
// Until the ready line is out, Python output is a diagnostic like any other.
pyodide.setStdout({ batched: toStderr });
pyodide.setStderr({ batched: toStderr });
if (startMode !== "snapshot-make") {
  // Packages are files, and files are not part of a snapshot: every runner
  // loads micropip itself.
  if (micropipLoadable()) {
    await pyodide.loadPackage("micropip", { messageCallback: toStderr, errorCallback: toStderr });
  }
  installMicropipStandIn();
}
const FS = pyodide.FS;
trackWorkspaceChanges();
errnoNames = Object.fromEntries(Object.entries(pyodide.ERRNO_CODES).map(([name, code]) => [code, name]));

// Flushes Python's output streams and the batched writers behind them, so
// that a last line without a line feed belongs to the run that printed it.
// Emits the lines still pending in the output handlers (set up below).
let flushOutputLines = () => {};

function flushPythonOutput() {
  flushPythonStreams();
  flushOutputLines();
}

const flushPythonStreams = pyodide.runPython(
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
// allowed) and returns undefined, or the error as CPython prints it: the
// frames of Pyodide's own machinery before the user's first frame are left
// out, and a syntax error shows no traceback at all.
const runUserCodeProxy = pyodide.runPython(
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

// Installs one requirement with micropip. Returns the error's last line(s)
// as Python words them (its type and message), or the list of wheel
// addresses the built-in installer put in place (none: the real micropip
// did it, which keeps no such record).
const installProxy = pyodide.runPython(
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

async function runUserCode(code) {
  const failure = await runUserCodeProxy(code);
  return failure === null || failure === undefined ? undefined : String(failure);
}

if (startMode === "snapshot-make") {
  // What the first run and the first install would import.
  pyodide.runPython("import __main__, traceback, pyodide.code", { globals: pyodide.toPy({}) });
  const snapshot = pyodide.makeMemorySnapshot();
  try {
    outText(`{"snapshot":${snapshot.length}}`);
    outEndLine();
    writeAll(Deno.stdout, snapshot);
  } catch {
    // The module went away meanwhile (its process ended): nobody to tell.
  }
  Deno.exit(0);
}

// "snapshot" says whether this start came from a snapshot; false also tells
// the module that this script can make one.
outText(fromSnapshot ? '{"ready":true,"snapshot":true}' : '{"ready":true,"snapshot":false}');
outEndLine();

// Python's output arrives as the bytes written to its descriptors and is cut
// into lines here: Pyodide's own line batching decodes bytes that are not
// UTF-8 so that the characters after them are lost, where this decoder puts
// one U+FFFD in their place and keeps the rest.
// A line longer than LONGEST_BATCH goes out in pieces of that length, so
// that a gigabyte printed without a line feed never becomes one string.
const LONGEST_BATCH = CAPTURE_LIMIT;

function lineWriter(onLine) {
  const decoder = new TextDecoder("utf-8");
  let pieces = [];
  let pendingLength = 0;
  const emit = (last) => {
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
const stdoutLines = lineWriter((line) => {
  writeProgress(line);
  if (capturedStdout.length < CAPTURE_LIMIT) capturedStdout += line + "\n";
});
const stderrLines = lineWriter((line) => {
  writeProgress(line);
  if (capturedStderr.length < CAPTURE_LIMIT) capturedStderr += line + "\n";
});
pyodide.setStdout({ write: (bytes) => stdoutLines.write(bytes) });
pyodide.setStderr({ write: (bytes) => stderrLines.write(bytes) });
flushOutputLines = () => {
  stdoutLines.flush();
  stderrLines.flush();
};
// Python's standard input would otherwise read the runner's own standard
// input, which carries the protocol: give it an empty one.
pyodide.setStdin({ stdin: () => null });

// ---------------------------------------------------------------------------
// Serving

for (;;) {
  const request = await readRequest();
  if (request === null) break;
  requestSeq++;
  releaseInput(); // the request is parsed: its bytes need not outlive it
  capturedStdout = "";
  capturedStderr = "";
  if (request instanceof Map ? request.has("package") : "package" in request) {
    await serveInstall(request instanceof Map ? request : new Map(Object.entries(request)));
  } else {
    await serveExecute(request instanceof Map ? request : new Map(Object.entries(request)));
  }
}
