// The server's read-only JSON API, with the bearer token the page asked for
// once and keeps in sessionStorage (gone when the tab closes).
/// <reference lib="dom" />

const KEY = "vesk-token";

export class AuthError extends Error {}

export function token(): string | null {
  return sessionStorage.getItem(KEY);
}

export function setToken(value: string | null): void {
  if (value === null) sessionStorage.removeItem(KEY);
  else sessionStorage.setItem(KEY, value);
}

export interface Workspace {
  id: string;
  state: "live" | "parked";
  stored: boolean;
  last_activity: string;
  size: number | null;
  checkpoints: number | null;
}

export interface Names {
  count: number;
  names: string[];
}

export interface Entry {
  id: number;
  made_by: string | null;
  made_at: number | null;
  label: string | null;
  exit_code: number | null;
  current: boolean;
  output_bytes: number;
  added: Names;
  changed: Names;
  removed: Names;
}

export interface Timeline {
  current: number;
  checkpoints: Entry[];
}

export interface FileList {
  checkpoint: number;
  page: number;
  pages: number;
  files: { path: string; size: number; binary: boolean }[];
}

export interface FilePage {
  checkpoint: number;
  path: string;
  size: number;
  binary: boolean;
  page: number;
  pages: number;
  text: string;
}

export interface DiffPage {
  from: number;
  to: number;
  page: number;
  pages: number;
  lines: string[];
}

export interface OutputPage {
  checkpoint: number;
  exit_code: number | null;
  page: number;
  pages: number;
  stdout: string;
  stderr: string;
}

export async function get<T>(path: string, query: Record<string, string | number> = {}): Promise<T> {
  const params = new URLSearchParams();
  for (const [name, value] of Object.entries(query)) params.set(name, String(value));
  const search = params.size ? `?${params}` : "";
  const headers: Record<string, string> = {};
  const held = token();
  if (held !== null) headers["Authorization"] = `Bearer ${held}`;
  const response = await fetch(`/ui/api/${path}${search}`, { headers, credentials: "omit" });
  if (response.status === 401) throw new AuthError("the token was refused");
  const body = await response.json() as { error?: string };
  if (!response.ok) throw new Error(body.error ?? `the server answered ${response.status}`);
  return body as T;
}

export function workspacePath(handle: string, view: string): string {
  return `workspaces/${encodeURIComponent(handle)}/${view}`;
}
