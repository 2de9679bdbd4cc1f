// The official MCP TypeScript SDK's client, driven over JSON lines.
//
// The Python tests (tests/python/mcp_client.py) start this script under Deno
// and send one command per line: {"id": n, "op": ..., "client": name, ...}.
// Each command is carried out by the SDK's own Client (with its stdio or
// Streamable HTTP transport) and answered with one line, {"id": n, "result":
// ...} or {"id": n, "error": {"message", "code", "name"}}. Commands run
// concurrently, so a test can hold a long call on one client while it makes
// others. Several clients, each with its own transport, live side by side
// under their names. A "connect" with "modern": true makes a client of the
// SDK's second version (the @modelcontextprotocol/client package) pinned to
// revision 2026-07-28 (no handshake, no session); the others speak the
// initialize-era revisions with the first version.

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";
import {
  Client as ModernClient,
  StreamableHTTPClientTransport as ModernHttpTransport,
} from "@modelcontextprotocol/client";
import { StdioClientTransport as ModernStdioTransport } from "@modelcontextprotocol/client/stdio";

type Command = {
  id: number;
  op: string;
  client?: string;
  [key: string]: unknown;
};

type Entry = {
  client: Client;
  transport: StdioClientTransport | StreamableHTTPClientTransport;
} | { modern: ModernClient };

const clients = new Map<string, Entry>();
const encoder = new TextEncoder();

function reply(line: Record<string, unknown>): void {
  Deno.stdout.writeSync(encoder.encode(JSON.stringify(line) + "\n"));
}

function found(command: Command): Entry {
  const found = clients.get(String(command.client));
  if (!found) throw new Error(`no client named ${command.client}`);
  return found;
}

type Legacy = Exclude<Entry, { modern: ModernClient }>;

function entry(command: Command): Legacy {
  const got = found(command);
  if ("modern" in got) throw new Error(`${command.op} is not offered for modern clients`);
  return got;
}

const TIMEOUT = { timeout: 300_000 };

async function connectModern(command: Command): Promise<unknown> {
  const client = new ModernClient({ name: "vesk-tests", version: "2.0.0" }, {
    versionNegotiation: { mode: { pin: "2026-07-28" } },
  });
  const transport = command.transport === "stdio"
    ? new ModernStdioTransport({
      command: String(command.command),
      args: command.args as string[],
      env: command.env as Record<string, string>,
      stderr: "inherit",
    })
    : new ModernHttpTransport(new URL(String(command.url)), {
      requestInit: { headers: (command.headers ?? {}) as Record<string, string> },
    });
  await client.connect(transport, TIMEOUT);
  clients.set(String(command.client), { modern: client });
  return {
    serverVersion: client.getServerVersion(),
    capabilities: client.getServerCapabilities(),
    instructions: client.getInstructions(),
    protocolVersion: client.getNegotiatedProtocolVersion() ?? null,
  };
}

// What a modern client does: the same commands, on the second version's API.
async function runModern(client: ModernClient, command: Command): Promise<unknown> {
  const meta = command.workspace ? { _meta: { "vesk/workspace": String(command.workspace) } } : {};
  switch (command.op) {
    case "listTools":
      return await client.listTools(undefined, TIMEOUT);
    case "callTool": {
      // "abortOnProgress": cancel the call at its first progress message.
      const controller = new AbortController();
      const onprogress = command.abortOnProgress
        ? () => controller.abort("cancelled by the test")
        : undefined;
      return await client.callTool(
        { name: String(command.name), arguments: command.arguments as Record<string, unknown> },
        { ...TIMEOUT, signal: controller.signal, onprogress },
      );
    }
    case "discover":
      return await client.discover(TIMEOUT);
    case "listResources":
      return await client.listResources({ ...meta }, TIMEOUT);
    case "readResource":
      return await client.readResource({ uri: String(command.uri), ...meta }, TIMEOUT);
    case "close":
      clients.delete(String(command.client));
      await client.close();
      return null;
    default:
      throw new Error(`unknown op ${command.op}`);
  }
}

async function connect(command: Command): Promise<unknown> {
  if (command.modern) return await connectModern(command);
  const client = new Client({ name: "vesk-tests", version: "1.0.0" });
  let transport: StdioClientTransport | StreamableHTTPClientTransport;
  if (command.transport === "stdio") {
    transport = new StdioClientTransport({
      command: String(command.command),
      args: command.args as string[],
      env: command.env as Record<string, string>,
      cwd: (command.cwd as string | null) ?? undefined,
      stderr: "inherit",
    });
  } else {
    transport = new StreamableHTTPClientTransport(new URL(String(command.url)), {
      requestInit: { headers: (command.headers ?? {}) as Record<string, string> },
      // An old session's id: the client reconnects to it without initializing.
      sessionId: (command.sessionId as string | undefined) ?? undefined,
    });
  }
  await client.connect(transport, TIMEOUT);
  clients.set(String(command.client), { client, transport });
  const http = transport instanceof StreamableHTTPClientTransport ? transport : undefined;
  return {
    serverVersion: client.getServerVersion(),
    capabilities: client.getServerCapabilities(),
    instructions: client.getInstructions(),
    sessionId: http?.sessionId ?? null,
    protocolVersion: http?.protocolVersion ?? null,
  };
}

async function run(command: Command): Promise<unknown> {
  if (command.op !== "connect") {
    const got = found(command);
    if ("modern" in got) return await runModern(got.modern, command);
  }
  switch (command.op) {
    case "connect":
      return await connect(command);
    case "listTools":
      return await entry(command).client.listTools(undefined, TIMEOUT);
    case "callTool": {
      // "progress": collect the call's progress messages (in the result);
      // "abortOnProgress": cancel the call at the first one.
      const controller = new AbortController();
      const progress: string[] = [];
      const onprogress = command.progress || command.abortOnProgress
        ? (p: { message?: string }) => {
          progress.push(p.message ?? "");
          if (command.abortOnProgress) controller.abort("cancelled by the test");
        }
        : undefined;
      const result = await entry(command).client.callTool(
        { name: String(command.name), arguments: command.arguments as Record<string, unknown> },
        undefined,
        { ...TIMEOUT, signal: controller.signal, onprogress },
      );
      return command.progress ? { ...result, progress } : result;
    }
    case "listResources":
      return await entry(command).client.listResources(undefined, TIMEOUT);
    case "listResourceTemplates":
      return await entry(command).client.listResourceTemplates(undefined, TIMEOUT);
    case "readResource":
      return await entry(command).client.readResource({ uri: String(command.uri) }, TIMEOUT);
    case "ping":
      return await entry(command).client.ping(TIMEOUT);
    case "terminate": {
      const { transport } = entry(command);
      if (transport instanceof StreamableHTTPClientTransport) await transport.terminateSession();
      return null;
    }
    case "close": {
      const found = entry(command);
      clients.delete(String(command.client));
      await found.client.close();
      return null;
    }
    default:
      throw new Error(`unknown op ${command.op}`);
  }
}

async function serve(line: string): Promise<void> {
  const command = JSON.parse(line) as Command;
  try {
    reply({ id: command.id, result: (await run(command)) ?? null });
  } catch (e) {
    const error = e as { message?: string; code?: unknown; name?: string };
    reply({
      id: command.id,
      error: { message: String(error?.message ?? e), code: error?.code ?? null, name: error?.name ?? null },
    });
  }
}

const decoder = new TextDecoder();
let pending = "";
const running: Promise<void>[] = [];
for await (const chunk of Deno.stdin.readable) {
  pending += decoder.decode(chunk, { stream: true });
  let newline: number;
  while ((newline = pending.indexOf("\n")) >= 0) {
    const line = pending.slice(0, newline);
    pending = pending.slice(newline + 1);
    if (line.trim()) running.push(serve(line));
  }
}
await Promise.allSettled(running);
for (const got of clients.values()) {
  await ("modern" in got ? got.modern : got.client).close().catch(() => {});
}
Deno.exit(0);
