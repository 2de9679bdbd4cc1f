// A real MCP client talking to `vesk serve`: the official TypeScript SDK's
// Client (its second version), over stdio, as a desktop or IDE client would
// start the server, or over Streamable HTTP to a server already running, on
// the stateless protocol revision 2026-07-28: no handshake, and the
// workspace is a handle that create_workspace mints and every later call
// passes back.
//
//   deno run --config examples/mcp/deno.json --allow-run --allow-env --allow-read \
//     examples/mcp/client.ts python3 -m vesk serve
//   deno run --config examples/mcp/deno.json --allow-net=127.0.0.1 \
//     examples/mcp/client.ts http://127.0.0.1:PORT/mcp
//
// The arguments are the server's command line, or the URL of a running
// server's or cluster's endpoint (scripts/run-cluster.sh); a server it
// starts inherits this process's environment (PYTHONPATH, VESK_CONFIG).
// Over HTTP the workspace is left open, and its handle printed last
// ("workspace: HANDLE"), for the server's web view to show it.
// The SDK comes from .tools/mcp-sdk, which scripts/setup.sh installs from npm.

import { Client, StreamableHTTPClientTransport } from "@modelcontextprotocol/client";
import { StdioClientTransport } from "@modelcontextprotocol/client/stdio";

type ToolResult = {
  content: { type: string; text?: string }[];
  structuredContent?: Record<string, unknown>;
  isError?: boolean;
};

const [command, ...args] = Deno.args;
if (!command) {
  console.error("usage: client.ts SERVER-COMMAND [ARGS...] | client.ts http://HOST:PORT/mcp");
  Deno.exit(2);
}

const client = new Client({ name: "vesk-example", version: "1.0.0" }, {
  versionNegotiation: { mode: { pin: "2026-07-28" } },
});
const overHttp = /^https?:\/\//.test(command);
await client.connect(
  overHttp
    ? new StreamableHTTPClientTransport(new URL(command))
    : new StdioClientTransport({ command, args, env: Deno.env.toObject(), stderr: "ignore" }),
);

const server = client.getServerVersion();
const { tools } = await client.listTools();
console.log(
  `connected to ${server?.name} ${server?.version} on revision ` +
    `${client.getNegotiatedProtocolVersion()}; tools: ${tools.map((t: { name: string }) => t.name).join(", ")}`,
);

// The workspace every later call names.
const created = (await client.callTool({ name: "create_workspace", arguments: {} })) as ToolResult;
const workspace = String(created.structuredContent?.workspace);
console.log(`create_workspace -> a handle of ${workspace.length} characters`);

async function call(name: string, args: Record<string, unknown>): Promise<ToolResult> {
  return (await client.callTool({ name, arguments: { workspace, ...args } })) as ToolResult;
}

await call("write_file", { path: "data/prices.csv", content: "item,cents\ntea,350\ncake,420\n" });
const run = await call("run_python", {
  code: [
    "import csv",
    "rows = list(csv.DictReader(open('data/prices.csv')))",
    "total = sum(int(r['cents']) for r in rows)",
    "open('report.txt', 'w').write(f'{len(rows)} items, {total / 100:.2f} EUR\\n')",
    "print('report written')",
  ].join("\n"),
});
console.log(`run_python -> checkpoint ${run.structuredContent?.checkpoint}: ${run.structuredContent?.stdout}`);

const shell = await call("run_shell", { command: "wc -l < data/prices.csv" });
console.log(`run_shell -> ${String(shell.structuredContent?.stdout).trim()} lines in the CSV`);

const report = await client.readResource({
  uri: "vesk://workspace/report.txt",
  _meta: { "vesk/workspace": workspace },
});
const first = report.contents[0] as { text?: string };
console.log(`resource vesk://workspace/report.txt: ${first.text?.trim()}`);

const failed = await call("run_python", { code: "import missing_module" });
const lastLine = failed.content[0]?.text?.trim().split("\n").pop();
console.log(`an error comes back as a tool error (isError ${failed.isError}): ${lastLine}`);

const history = await call("list_history", {});
const checkpoints = history.structuredContent?.checkpoints as { id: number; made_by: string | null }[];
for (const c of checkpoints) console.log(`  checkpoint ${c.id}: ${c.made_by}`);

if (!overHttp) await call("close_workspace", {});
await client.close();
console.log("client done");
if (overHttp) console.log(`workspace: ${workspace}`);
