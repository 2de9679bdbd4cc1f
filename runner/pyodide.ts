// Pyodide as the runner uses it: the pinned package's loader, and the types
// of what the runner reaches.
//
// The version is pinned, so a newer package in Deno's cache never changes
// what runs; this is the one module that names the package, and the bundle
// keeps it as the script's one import. Pyodide's own declarations give its
// public interface (loadPyodide, the PyodideAPI object, its options
// including the snapshot ones). Its file system is declared there only as
// Emscripten's global FS, which the package does not bring, and the runner
// reaches below the public surface in a few places: MEMFS's operation tables
// and nodes (to version file contents), the loader's configuration (to find
// micropip's wheel) and the Emscripten module (to drop a hook, to see the
// size of the interpreter's memory and the libraries loaded). This module
// declares exactly those parts, as Pyodide 314.0.8 has them, and the two
// casts that reach them; it does nothing else.
import { loadPyodide } from "npm:pyodide@314.0.8";

export { loadPyodide };
export type PyodideAPI = Awaited<ReturnType<typeof loadPyodide>>;
export type PyodideConfig = NonNullable<Parameters<typeof loadPyodide>[0]>;
export type PyProxy = PyodideAPI["globals"];

// A node of the in-memory file system. A directory's `contents` maps names
// to nodes; a file's holds its bytes in the first `usedBytes` elements.
export interface MemNode {
  name: string;
  parent: MemNode;
  mode: number;
  contents: unknown;
  usedBytes: number;
  // The content version the runner's write and truncate wrappers give it.
  vesk_version?: number;
  // The file system the node belongs to.
  mount?: { type: unknown };
}

export interface MemStream {
  node: MemNode;
}

export interface StreamOps {
  write: (this: unknown, stream: MemStream, ...rest: unknown[]) => number;
}

// The name-changing operations the runner counts, and setattr (truncation).
export type NameOp = "mknod" | "rename" | "unlink" | "rmdir" | "symlink";
export type NodeOps =
  & {
    setattr: (this: unknown, node: MemNode, attr: { size?: number } | undefined) => void;
  }
  & Record<NameOp, (this: unknown, parent: MemNode, ...rest: unknown[]) => unknown>;

export interface MemFs {
  readdir(path: string): string[];
  lstat(path: string): { mode: number };
  isDir(mode: number): boolean;
  isFile(mode: number): boolean;
  isLink(mode: number): boolean;
  readlink(path: string): string;
  symlink(target: string, path: string): void;
  chmod(path: string, mode: number): void;
  // Open streams by descriptor; closed ones are null.
  streams: (unknown | null)[];
  mkdir(path: string): void;
  mkdirTree(path: string): void;
  rmdir(path: string): void;
  unlink(path: string): void;
  chdir(path: string): void;
  readFile(path: string): Uint8Array;
  writeFile(path: string, data: Uint8Array | string, options?: { canOwn?: boolean }): void;
  lookupPath(path: string, options: { follow: boolean }): { node: MemNode };
  filesystems: {
    MEMFS: {
      stream_ops: StreamOps;
      node_ops: NodeOps;
      ops_table: {
        file: { stream: StreamOps; node: NodeOps };
        dir: { node: NodeOps };
      };
    };
  };
}

// The loader's own state, reached as `pyodide._api` and `pyodide._module`.
export interface PyodideInternals {
  _api?: {
    config: {
      packageCacheDir?: string;
      packageBaseUrl?: string;
      cdnUrl: string;
      _loadSnapshot?: unknown;
    };
    lockfile_packages: Record<string, { file_name: string }>;
  };
  _module?: {
    instantiateWasm?: unknown;
    HEAP8?: Int8Array;
    // The dynamic linker's record of the libraries loaded.
    LDSO?: { loadedLibsByName?: Record<string, unknown> };
  };
}

export function internalsOf(pyodide: PyodideAPI): PyodideInternals {
  return pyodide as unknown as PyodideInternals;
}

export function fileSystemOf(pyodide: PyodideAPI): MemFs {
  return pyodide.FS as unknown as MemFs;
}
