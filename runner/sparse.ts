// A park image as the module sends it to a resuming runner: records, each a
// header of two little-endian 64-bit counts (data bytes, then zero bytes)
// followed by the data bytes. The zero bytes are not sent; whoever places
// the image knows where they go.
//
// Read with blocking reads only: a resuming runner reads its image's memory
// while Pyodide restores it, inside a call that cannot wait.
//
// Errors: input that ends early, or records that do not add up to the
// image's length, throw, and mark the input `broken` (the runner must end:
// the module is gone or sent something else).
import { readBytesSync } from "./input.ts";

export class SparseInput {
  // How far the image has been read.
  at = 0;
  broken = false;
  private dataLeft = 0;
  private zerosLeft = 0;
  private readonly header = new Uint8Array(16);
  private scratch = new Uint8Array(0);

  constructor(readonly length: number) {}

  // Reads the image up to `end`: the data from image offset `from` into the
  // `count` bytes place(from, count) gives, and each zero run [from, to) told
  // to `zeros`.
  readTo(
    end: number,
    place: (from: number, count: number) => Uint8Array,
    zeros: (from: number, to: number) => void = () => {},
  ): void {
    try {
      while (this.at < end) {
        if (this.dataLeft === 0 && this.zerosLeft === 0) this.nextRecord();
        if (this.dataLeft > 0) {
          const n = Math.min(this.dataLeft, end - this.at);
          readBytesSync(place(this.at, n));
          this.dataLeft -= n;
          this.at += n;
        } else {
          const n = Math.min(this.zerosLeft, end - this.at);
          zeros(this.at, this.at + n);
          this.zerosLeft -= n;
          this.at += n;
        }
      }
    } catch (error) {
      this.broken = true;
      throw error;
    }
  }

  // Reads the rest and drops it: an image refused after its start was read
  // must still be taken off the pipe, or the module's writes never end.
  drain(): void {
    this.readTo(this.length, (_, count) => {
      if (this.scratch.length < count) this.scratch = new Uint8Array(count);
      return this.scratch.subarray(0, count);
    });
  }

  private nextRecord(): void {
    readBytesSync(this.header);
    const counts = new DataView(this.header.buffer);
    const data = Number(counts.getBigUint64(0, true));
    const zeros = Number(counts.getBigUint64(8, true));
    if (data + zeros === 0 || data + zeros > this.length - this.at) {
      throw new Error("the park image's records do not add up to its length");
    }
    this.dataLeft = data;
    this.zerosLeft = zeros;
  }
}
