// The pages: the list of workspaces, one workspace's timeline, a
// checkpoint's files, one file, the diff of two checkpoints, a run's
// output. Each asks the API and builds its part of the page with dom.ts.
/// <reference lib="dom" />

import * as api from "./api.ts";
import { classify, type Row, sideBySide } from "./diff.ts";
import { el, link, pager } from "./dom.ts";

function route(handle: string, view: string, query: Record<string, string | number> = {}): string {
  const params = new URLSearchParams();
  for (const [name, value] of Object.entries(query)) params.set(name, String(value));
  const search = params.size ? `?${params}` : "";
  return `#/w/${encodeURIComponent(handle)}${view ? "/" + view : ""}${search}`;
}

function bytes(size: number | null): string {
  if (size === null) return "—";
  if (size < 1024) return `${size} B`;
  if (size < 1 << 20) return `${(size / 1024).toFixed(1)} KiB`;
  return `${(size / (1 << 20)).toFixed(1)} MiB`;
}

function when(seconds: number | null): string {
  return seconds === null ? "—" : new Date(seconds * 1000).toISOString().replace(".000", "");
}

function table(heads: string[], rows: HTMLElement[]): HTMLElement {
  return el("table", {}, el("thead", {}, el("tr", {}, ...heads.map((h) => el("th", {}, h)))),
    el("tbody", {}, ...rows));
}

function nav(handle: string, ...rest: (HTMLElement | string)[]): HTMLElement {
  return el("p", { class: "nav" }, link("#/", "all workspaces"),
    link(route(handle, ""), "timeline"), ...rest.map((r) => typeof r === "string" ? el("span", {}, r) : r));
}

export async function list(): Promise<HTMLElement[]> {
  const { workspaces } = await api.get<{ workspaces: api.Workspace[] }>("workspaces");
  const rows = workspaces.map((w) =>
    el("tr", {}, el("td", { class: "mono" }, link(route(w.id, ""), w.id)),
      el("td", {}, w.state + (w.stored ? ", stored" : "")), el("td", {}, bytes(w.size)),
      el("td", {}, w.last_activity), el("td", {}, w.checkpoints === null ? "—" : String(w.checkpoints)))
  );
  return [el("h1", {}, "Workspaces"),
    workspaces.length ? table(["workspace", "state", "size", "last activity", "checkpoints"], rows)
    : el("p", { class: "muted" }, "This token's principal has no workspaces.")];
}

function names(kind: "added" | "changed" | "removed", names: api.Names): HTMLElement | null {
  if (!names.count) return null;
  const more = names.count > names.names.length ? ` … and ${names.count - names.names.length} more` : "";
  return el("div", { class: kind }, `${kind} ${names.count}: `,
    ...names.names.flatMap((n, i) => [i ? ", " : "", el("code", { class: "data" }, n)]), more);
}

export async function timeline(handle: string): Promise<HTMLElement[]> {
  const t = await api.get<api.Timeline>(api.workspacePath(handle, "timeline"));
  const ids = t.checkpoints.map((c) => c.id);
  const rows = t.checkpoints.map((c, i) =>
    el("tr", { class: c.current ? "current" : "" },
      el("td", {}, String(c.id), c.current ? " (current)" : ""),
      el("td", {}, when(c.made_at)),
      el("td", { class: "data" }, c.made_by ?? "—"),
      el("td", {}, c.exit_code === null ? "—" : String(c.exit_code)),
      el("td", {}, c.label === null ? null : el("span", { class: "label data" }, c.label)),
      el("td", {}, names("added", c.added), names("changed", c.changed), names("removed", c.removed)),
      el("td", { class: "nav" }, link(route(handle, "files", { c: c.id }), "files"),
        c.output_bytes ? link(route(handle, "output", { c: c.id }), "output") : null,
        i ? link(route(handle, "diff", { from: ids[i - 1], to: c.id }), "diff") : null))
  );
  const from = el("select", {}, ...ids.map((id) => el("option", {}, String(id)))) as HTMLSelectElement;
  const to = el("select", {}, ...ids.map((id) => el("option", {}, String(id)))) as HTMLSelectElement;
  to.selectedIndex = ids.length - 1;
  const compare = el("button", {}, "compare");
  compare.addEventListener("click", () => {
    location.hash = route(handle, "diff", { from: from.value, to: to.value });
  });
  return [el("p", { class: "nav" }, link("#/", "all workspaces")),
    el("h1", {}, "Workspace ", el("code", {}, handle)),
    el("div", { class: "controls" }, "diff from ", from, " to ", to, compare),
    table(["checkpoint", "made at", "made by", "exit", "label", "files", ""], rows)];
}

export async function files(handle: string, checkpoint: number, page: number): Promise<HTMLElement[]> {
  const f = await api.get<api.FileList>(api.workspacePath(handle, "files"), { checkpoint, page });
  const to = (p: number) => route(handle, "files", { c: checkpoint, page: p });
  const rows = f.files.map((file) =>
    el("tr", {}, el("td", { class: "mono" }, link(route(handle, "file", { c: checkpoint, path: file.path }), file.path)),
      el("td", {}, bytes(file.size)), el("td", {}, file.binary ? el("span", { class: "binary" }, "binary") : "text"))
  );
  return [nav(handle), el("h1", {}, `Files of checkpoint ${checkpoint}`),
    f.pages > 1 ? pager(f.page, f.pages, to) : null,
    f.files.length ? table(["path", "size", "kind"], rows) : el("p", { class: "muted" }, "No files.")]
    .filter((n): n is HTMLElement => n !== null);
}

export async function file(handle: string, checkpoint: number, path: string, page: number): Promise<HTMLElement[]> {
  const f = await api.get<api.FilePage>(api.workspacePath(handle, "file"), { checkpoint, path, page });
  const head = [nav(handle, link(route(handle, "files", { c: checkpoint }), `files of ${checkpoint}`)),
    el("h1", {}, el("code", { class: "data" }, f.path), ` at checkpoint ${checkpoint} (${bytes(f.size)})`)];
  if (f.binary) return [...head, el("p", { class: "binary" }, `Binary file, ${f.size} bytes: not shown.`)];
  const to = (p: number) => route(handle, "file", { c: checkpoint, path, page: p });
  return [...head, pager(f.page, f.pages, to), el("pre", { class: "data" }, f.text), pager(f.page, f.pages, to)];
}

function cell(row: Row | null): HTMLElement {
  return el("td", { class: row === null ? "none" : row.kind }, row?.text ?? "");
}

export async function diff(handle: string, from: number, to: number, page: number, mode: string): Promise<HTMLElement[]> {
  const d = await api.get<api.DiffPage>(api.workspacePath(handle, "diff"), { from, to, page });
  const rows = classify(d.lines);
  const other = mode === "split" ? "unified" : "split";
  const at = (p: number, m = mode) => route(handle, "diff", { from, to, page: p, mode: m });
  const body = mode === "split"
    ? sideBySide(rows).map((p) => el("tr", {}, cell(p.left), cell(p.right)))
    : rows.map((r) => el("tr", {}, cell(r)));
  return [nav(handle, link(at(page, other), `show ${other}`)),
    el("h1", {}, `Diff from checkpoint ${from} to ${to}`),
    pager(d.page, d.pages, at),
    rows.length ? el("table", { class: "diff" }, el("tbody", {}, ...body)) : el("p", { class: "muted" }, "No changes."),
    pager(d.page, d.pages, at)];
}

export async function output(handle: string, checkpoint: number, page: number): Promise<HTMLElement[]> {
  const o = await api.get<api.OutputPage>(api.workspacePath(handle, "output"), { checkpoint, page });
  const to = (p: number) => route(handle, "output", { c: checkpoint, page: p });
  return [nav(handle), el("h1", {}, `Output of checkpoint ${checkpoint}`,
    o.exit_code === null ? "" : ` (exit code ${o.exit_code})`),
    pager(o.page, o.pages, to),
    el("div", { class: "stream" }, "standard output"), el("pre", { class: "data" }, o.stdout),
    el("div", { class: "stream" }, "standard error"), el("pre", { class: "data" }, o.stderr)];
}
