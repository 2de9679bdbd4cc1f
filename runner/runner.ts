// @ts-nocheck
// vesk runner: hosts one Pyodide interpreter and serves JSON-line requests on
// standard input. (Placeholder until the full runner lands.)
import { loadPyodide } from "npm:pyodide";

const pyodide = await loadPyodide();
Deno.stdout.writeSync(new TextEncoder().encode('{"ready":true}\n'));
