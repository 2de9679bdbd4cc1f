// Building the page's DOM. Everything the page shows comes from sandboxed
// code, so text only ever goes in as text nodes (never as markup), links
// only ever point at the page's own routes, and bidirectional controls are
// shown as visible marks rather than obeyed.
/// <reference lib="dom" />

export type Child = Node | string | null | undefined;

// U+202A..U+202E, U+2066..U+2069, U+200E, U+200F, U+061C: controls that
// reorder what follows them (a file "txt.exe" shown as "exe.txt").
const BIDI = /[\u202a-\u202e\u2066-\u2069\u200e\u200f\u061c]/g;

export function visible(text: string): string {
  return text.replace(
    BIDI,
    (c) => `<U+${c.charCodeAt(0).toString(16).toUpperCase().padStart(4, "0")}>`,
  );
}

export function el(
  tag: string,
  attrs: { class?: string; href?: string; title?: string } = {},
  ...children: Child[]
): HTMLElement {
  const node = document.createElement(tag);
  if (attrs.class) node.className = attrs.class;
  if (attrs.title !== undefined) node.title = visible(attrs.title);
  if (attrs.href !== undefined) {
    if (!attrs.href.startsWith("#/")) throw new Error("links stay inside the page");
    node.setAttribute("href", attrs.href);
  }
  for (const child of children) {
    if (child === null || child === undefined) continue;
    node.append(typeof child === "string" ? document.createTextNode(visible(child)) : child);
  }
  return node;
}

export function link(href: string, text: string): HTMLElement {
  return el("a", { href }, text);
}

export function show(root: HTMLElement, ...children: Child[]): void {
  root.replaceChildren();
  for (const child of children) {
    if (child === null || child === undefined) continue;
    root.append(typeof child === "string" ? document.createTextNode(visible(child)) : child);
  }
}

export function pager(page: number, pages: number, to: (page: number) => string): HTMLElement {
  return el(
    "div",
    { class: "pager" },
    page > 0 ? link(to(page - 1), "← previous") : null,
    el("span", {}, `page ${page + 1} of ${pages}`),
    page + 1 < pages ? link(to(page + 1), "next →") : null,
  );
}
