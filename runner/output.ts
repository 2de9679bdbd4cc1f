// Protocol output: every line the runner writes to standard output, which
// carries these lines and nothing else (diagnostics go to standard error).
//
// Lines out: {"ready":true,"snapshot":...} once, {"progress": text} per line
// of Python output (with "stream":"stderr" for standard error), then one reply per request: {"seq","stdout","stderr",
// "files"} (an install adds "installed") or {"seq","error"}; a park request
// is answered {"seq","image":L} and L bytes of the image (park.ts). A difference
// request, and a whole one with "reply":"changes", is answered
// {"seq","stdout","stderr","changed","removed"}, or {"seq","resync":true}
// when the runner cannot apply it. "seq" counts the requests read, the first
// is 1 (beginRequest() counts them): code run here can write to standard
// output itself, so the module takes a reply only when its "seq" is that of
// the request it waits for.
//
// Lines are built in one fixed buffer and written synchronously. A line
// longer than the buffer goes out in several writes, but always completely
// before the runner does anything else, so lines never interleave. File
// contents travel as decimal byte arrays, three to four times their size, so
// they are encoded with a lookup table straight into that buffer, which is
// written out as it fills.
//
// Errors: a write that fails throws to the caller.

const utf8 = new TextEncoder();

export function writeAll(file: { writeSync(p: Uint8Array): number }, bytes: Uint8Array): void {
  let done = 0;
  while (done < bytes.length) done += file.writeSync(bytes.subarray(done));
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

const outBuf = new Uint8Array(1 << 20);
let outPos = 0;

function outFlush(): void {
  if (outPos > 0) writeAll(Deno.stdout, outBuf.subarray(0, outPos));
  outPos = 0;
}

function outByte(b: number): void {
  if (outPos === outBuf.length) outFlush();
  outBuf[outPos++] = b;
}

function outText(s: string): void {
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
function outString(s: string): void {
  outText(JSON.stringify(s.toWellFormed()));
}

function outByteArray(data: Uint8Array): void {
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

function outEndLine(): void {
  outByte(0x0a);
  outFlush();
}

// "snapshot" says whether this start came from a snapshot; false also tells
// the module that this script can make one.
export function writeReady(fromSnapshot: boolean): void {
  outText(fromSnapshot ? '{"ready":true,"snapshot":true}' : '{"ready":true,"snapshot":false}');
  outEndLine();
}

// {"snapshot":N}, then the N bytes of a start snapshot.
export function writeSnapshot(snapshot: Uint8Array): void {
  outText(`{"snapshot":${snapshot.length}}`);
  outEndLine();
  writeAll(Deno.stdout, snapshot);
}

// {"seq":N,"image":L}, then the L bytes of `parts`: a park request's reply.
export function writeImage(parts: readonly Uint8Array[]): void {
  const size = parts.reduce((n, part) => n + part.length, 0);
  outText(`{"seq":${requestSeq},"image":${size}}`);
  outEndLine();
  for (const part of parts) writeAll(Deno.stdout, part);
}

// A line of standard error says so, so that the module can tell a failed
// run's partial output apart.
export function writeProgress(batch: string, fromStderr = false): void {
  outText('{"progress":');
  outString(batch);
  if (fromStderr) outText(',"stream":"stderr"');
  outByte(0x7d);
  outEndLine();
}

// The number of the request being served; its reply carries it.
let requestSeq = 0;

// A request has been read: the replies from here on answer it.
export function beginRequest(): void {
  requestSeq++;
}

export function writeError(text: string): void {
  outText(`{"seq":${requestSeq},"error":`);
  outString(text);
  outByte(0x7d);
  outEndLine();
}

// `installed`, for an install: the addresses of the wheels it put in place.
export function writeSuccess(
  stdout: string,
  stderr: string,
  files: Iterable<readonly [string, Uint8Array]>,
  installed?: readonly unknown[],
): void {
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

export function writeResync(): void {
  outText(`{"seq":${requestSeq},"resync":true}`);
  outEndLine();
}

export function writeChanges(
  stdout: string,
  stderr: string,
  changes: { changed: readonly (readonly [string, Uint8Array])[]; removed: readonly string[] },
): void {
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
