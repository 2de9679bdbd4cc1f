// The workspace: /workspace in Pyodide's in-memory file system, laid out from
// requests, read back after runs, and watched for changes in between.
//
// A whole request makes /workspace hold exactly its files (syncWorkspace); a
// difference request removes and writes only what it names (applyChanges).
// After a run the runner reports either every file (collectFiles) or what
// changed since the workspace it holds (changesSince, against walkWorkspace's
// record), and prunes what is no file (pruneWorkspace), so that the next run
// finds the checkpoint and nothing else. Links are never followed, as in the
// shell: a link to /lib would bring Pyodide's own files into the checkpoint,
// and a link to / or a cycle would never end.
//
// A file is unchanged exactly when the same file node is at the same key and
// its content version is the one recorded. It is sound because every change
// of a file's bytes in the in-memory file system goes through MEMFS's write
// (Python's writes, mmap's msync, JavaScript's FS.writeFile alike) or its
// setattr with a size (truncation), both wrapped by trackWorkspaceChanges()
// to give the node a new version; renames, deletions, new files and
// directories change which node sits at a key, which the walk sees;
// modification times, which tar and zip extraction set back, are not looked
// at. Code that deliberately undoes the wrappers can only mislead its own
// later runs: the host records what replies say.
//
// Errors: the file system's own, thrown to the caller; a whole request
// without a "files" object throws a TypeError.
import type { MemFs, MemNode, NameOp, NodeOps, StreamOps } from "./pyodide.ts";

const WORKSPACE = "/workspace";

// Pyodide's file system, once it has loaded (trackWorkspaceChanges).
let FS: MemFs;

// key -> [file node, its content version].
export type WorkspaceRecord = Map<string, [MemNode, number]>;

export interface Changes {
  changed: [string, Uint8Array][];
  removed: string[];
  now: WorkspaceRecord;
}

// Entries are classified without following symbolic links: a link to a
// directory outside the workspace is removed, never emptied.
function clearDir(path: string): void {
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
export function syncWorkspace(files: unknown): void {
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
  // The request parser makes every "files" object a Map of byte arrays.
  writeFiles(files as Map<string, Uint8Array>);
}

// Writes each file of the map below /workspace, making its directories.
function writeFiles(files: Map<string, Uint8Array>): void {
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

// Returns [key, bytes] pairs of the regular files below /workspace.
export function collectFiles(dir = WORKSPACE, into: [string, Uint8Array][] = []): [string, Uint8Array][] {
  for (const name of FS.readdir(dir)) {
    if (name === "." || name === "..") continue;
    const path = dir + "/" + name;
    const mode = FS.lstat(path).mode;
    if (FS.isFile(mode)) into.push([path.slice(WORKSPACE.length + 1), FS.readFile(path)]);
    else if (FS.isDir(mode)) collectFiles(path, into);
  }
  return into;
}

// The working directory of a run: the very chdir that Python's
// os.chdir('/workspace') makes, without a Python round trip of its own (that
// costs half a millisecond a request).
export function enterWorkspace(): void {
  FS.chdir(WORKSPACE);
}

let contentVersion = 0;
// Counts every change below /workspace (content or names), so that changes
// made between requests are noticed.
let workspaceChanges = 0;

export function workspaceChangeCount(): number {
  return workspaceChanges;
}

function insideWorkspace(node: MemNode): boolean {
  for (let n: MemNode | null = node; n; n = n.parent === n ? null : n.parent) {
    if (n.name === "workspace" && n.parent && n.parent.parent === n.parent) return true;
  }
  return false;
}

// Wraps the file system's operations so that content changes give a file
// node a new version and every change below /workspace is counted.
export function trackWorkspaceChanges(fs: MemFs): void {
  FS = fs;
  const MEMFS = FS.filesystems.MEMFS;
  const table = MEMFS.ops_table;
  const bump = (node: MemNode) => {
    node.vesk_version = ++contentVersion;
    if (insideWorkspace(node)) workspaceChanges++;
  };
  const wrapWrite = (ops: StreamOps) => {
    const write = ops.write;
    ops.write = function (stream, ...rest) {
      bump(stream.node);
      return write.call(this, stream, ...rest);
    };
  };
  const wrapSetattr = (ops: NodeOps) => {
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
  const names: NameOp[] = ["mknod", "rename", "unlink", "rmdir", "symlink"];
  for (const name of names) {
    for (const ops of [MEMFS.node_ops, table.dir.node]) {
      const op = ops[name];
      ops[name] = function (parent, ...rest) {
        // rename(node, new_dir, new_name); the others (dir, name, ...).
        if (insideWorkspace(parent) || (name === "rename" && insideWorkspace(rest[0] as MemNode))) {
          workspaceChanges++;
        }
        return op.call(this, parent, ...rest);
      };
    }
  }
}

// Whether /workspace is a directory (code may have removed it, or put a
// link or a file in its place).
export function workspaceIsDirectory(): boolean {
  try {
    return FS.isDir(FS.lookupPath(WORKSPACE, { follow: false }).node.mode);
  } catch {
    return false;
  }
}

function entriesOf(dir: MemNode): Record<string, MemNode> {
  return dir.contents as Record<string, MemNode>;
}

// key -> [node, version] of every regular file below /workspace; links are
// not followed.
export function walkWorkspace(): WorkspaceRecord {
  const out: WorkspaceRecord = new Map();
  let root;
  try {
    root = FS.lookupPath(WORKSPACE, { follow: false }).node;
  } catch {
    return out;
  }
  if (!FS.isDir(root.mode)) return out;
  const walk = (dir: MemNode, prefix: string) => {
    const entries = entriesOf(dir);
    for (const name of Object.keys(entries)) {
      const node = entries[name];
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
export function pruneWorkspace(): void {
  let root;
  try {
    root = FS.lookupPath(WORKSPACE, { follow: false }).node;
  } catch {
    return;
  }
  if (!FS.isDir(root.mode)) return;
  const prune = (dir: MemNode, path: string): boolean => {
    let left = 0;
    const entries = entriesOf(dir);
    for (const name of Object.keys(entries)) {
      const node = entries[name];
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
function contentOf(node: MemNode): Uint8Array {
  const c = node.contents as ArrayLike<number> & { slice(start: number, end: number): ArrayLike<number> } | null;
  if (!c || node.usedBytes === 0) return new Uint8Array(0);
  if (ArrayBuffer.isView(c)) return new Uint8Array(c.buffer, c.byteOffset, node.usedBytes);
  return Uint8Array.from(c.slice(0, node.usedBytes));
}

// What changed below /workspace since `before` (see the rule above).
export function changesSince(before: WorkspaceRecord): Changes {
  const now = walkWorkspace();
  const changed: [string, Uint8Array][] = [];
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
export function applyChanges(changed: unknown, removed: unknown): void {
  FS.chdir("/");
  for (const key of Array.isArray(removed) ? removed : []) {
    const path = WORKSPACE + "/" + (key as string);
    try {
      FS.unlink(path);
    } catch {
      continue; // not there: nothing to remove
    }
    for (
      let dir = path.slice(0, path.lastIndexOf("/"));
      dir !== WORKSPACE;
      dir = dir.slice(0, dir.lastIndexOf("/"))
    ) {
      try {
        FS.rmdir(dir);
      } catch {
        break; // not empty
      }
    }
  }
  if (changed instanceof Map) writeFiles(changed);
}
