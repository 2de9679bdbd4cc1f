// A real MCP client talking to `vesk serve`: the official TypeScript SDK's
// Client, over stdio, as a desktop or IDE client would start the server.
//
//   deno run --config examples/mcp/deno.json --allow-run --allow-env --allow-read \
//     examples/mcp/client.ts python3 -m vesk serve
//
// The arguments are the server's command line; the server inherits this
// process's environment (PYTHONPATH, VESK_CONFIG). The SDK comes from
// .tools/mcp-sdk, which scripts/setup.sh installs from npm.

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";

type ToolResult = {
  content: { type: string; text?: string }[];
  structuredContent?: Record<string, unknown>;
  isError?: boolean;
};

const [command, ...args] = Deno.args;
if (!command) {
  console.error("usage: client.ts SERVER-COMMAND [ARGS...]");
  Deno.exit(2);
}

const client = new Client({ name: "vesk-example", version: "1.0.0" });
await client.connect(
  new StdioClientTransport({ command, args, env: Deno.env.toObject(), stderr: "ignore" }),
);

async function call(name: string, args: Record<string, unknown>): Promise<ToolResult> {
  return (await client.callTool({ name, arguments: args })) as ToolResult;
}

const server = client.getServerVersion();
const { tools } = await client.listTools();
console.log(`connected to ${server?.name} ${server?.version}; tools: ${tools.map((t) => t.name).join(", ")}`);

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

const report = await client.readResource({ uri: "vesk://workspace/report.txt" });
const first = report.contents[0] as { text?: string };
console.log(`resource vesk://workspace/report.txt: ${first.text?.trim()}`);

const failed = await call("run_python", { code: "import missing_module" });
const lastLine = failed.content[0]?.text?.trim().split("\n").pop();
console.log(`an error comes back as a tool error (isError ${failed.isError}): ${lastLine}`);

const history = await call("list_history", {});
const checkpoints = history.structuredContent?.checkpoints as { id: number; made_by: string | null }[];
for (const c of checkpoints) console.log(`  checkpoint ${c.id}: ${c.made_by}`);

await client.close();
console.log("client done");
