// The web view's entry: asks for the token once, then shows the page the
// location's hash names, again whenever it changes.
/// <reference lib="dom" />

import * as api from "./api.ts";
import { el, show } from "./dom.ts";
import * as views from "./views.ts";

const main = document.getElementById("main") as HTMLElement;

function whole(value: string | null, fallback = 0): number {
  return value !== null && /^\d{1,12}$/.test(value) ? Number(value) : fallback;
}

function askToken(why: string): void {
  const input = el("input", {}) as HTMLInputElement;
  input.type = "password";
  input.autocomplete = "off";
  const form = el("form", { class: "token" }, el("p", {}, why), input, " ",
    el("button", {}, "Show workspaces"));
  form.addEventListener("submit", (event) => {
    event.preventDefault();
    api.setToken(input.value.trim());
    void render();
  });
  show(main, form);
  input.focus();
}

async function page(): Promise<HTMLElement[]> {
  const [path, search] = location.hash.replace(/^#/, "").split("?", 2);
  const query = new URLSearchParams(search ?? "");
  const parts = (path || "/").split("/").filter(Boolean);
  if (parts[0] !== "w" || parts.length < 2) return await views.list();
  const handle = decodeURIComponent(parts[1]);
  const c = whole(query.get("c"));
  const p = whole(query.get("page"));
  switch (parts[2] ?? "") {
    case "files":
      return await views.files(handle, c, p);
    case "file":
      return await views.file(handle, c, query.get("path") ?? "", p);
    case "diff":
      return await views.diff(handle, whole(query.get("from")), whole(query.get("to")), p,
        query.get("mode") === "split" ? "split" : "unified");
    case "output":
      return await views.output(handle, c, p);
    default:
      return await views.timeline(handle);
  }
}

let shown = 0;

async function render(): Promise<void> {
  const mine = ++shown;
  show(main, el("p", { class: "muted" }, "Loading…"));
  try {
    const nodes = await page();
    if (mine === shown) show(main, ...nodes);
  } catch (e) {
    if (mine !== shown) return;
    if (e instanceof api.AuthError) {
      const refused = api.token() !== null;
      api.setToken(null);
      return askToken(refused ? "The token was refused; give another." : "This server asks for a bearer token.");
    }
    show(main, el("p", { class: "error" }, e instanceof Error ? e.message : String(e)));
  }
}

document.getElementById("forget")?.addEventListener("click", () => {
  api.setToken(null);
  void render();
});
addEventListener("hashchange", () => void render());
void render();
