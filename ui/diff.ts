// A unified diff's lines as rows to show, unified or side by side. Pure.
// Lines are told apart by their first character only within a hunk (a
// removed line may read "--- a/x"), as counted by the hunk's header.

export type Kind = "file" | "hunk" | "context" | "add" | "del" | "bin";

export interface Row {
  kind: Kind;
  text: string;
}

export interface Pair {
  left: Row | null;
  right: Row | null;
}

const HUNK = /^@@ -\d+(?:,(\d+))? \+\d+(?:,(\d+))? @@/;

export function classify(lines: string[]): Row[] {
  const rows: Row[] = [];
  let oldLeft = 0, newLeft = 0;
  for (const line of lines) {
    if (oldLeft > 0 || newLeft > 0 || (rows.length && line.startsWith("\\"))) {
      const tag = line[0];
      if (tag === "+") {
        newLeft--;
        rows.push({ kind: "add", text: line });
      } else if (tag === "-") {
        oldLeft--;
        rows.push({ kind: "del", text: line });
      } else {
        if (tag === " ") {
          oldLeft--;
          newLeft--;
        }
        rows.push({ kind: "context", text: line });
      }
      continue;
    }
    const hunk = HUNK.exec(line);
    if (hunk) {
      oldLeft = Number(hunk[1] ?? 1);
      newLeft = Number(hunk[2] ?? 1);
      rows.push({ kind: "hunk", text: line });
    } else if (line.startsWith("Binary file ")) {
      rows.push({ kind: "bin", text: line });
    } else {
      rows.push({ kind: "file", text: line });
    }
  }
  return rows;
}

// Side by side: a run of removed lines faces the run of added lines after it.
export function sideBySide(rows: Row[]): Pair[] {
  const pairs: Pair[] = [];
  let i = 0;
  while (i < rows.length) {
    const row = rows[i];
    if (row.kind === "del" || row.kind === "add") {
      const dels: Row[] = [], adds: Row[] = [];
      while (i < rows.length && rows[i].kind === "del") dels.push(rows[i++]);
      while (i < rows.length && rows[i].kind === "add") adds.push(rows[i++]);
      for (let j = 0; j < Math.max(dels.length, adds.length); j++) {
        pairs.push({ left: dels[j] ?? null, right: adds[j] ?? null });
      }
      continue;
    }
    pairs.push(row.kind === "context" ? { left: row, right: row } : { left: row, right: null });
    i++;
  }
  return pairs;
}
