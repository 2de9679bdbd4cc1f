// Drives Debian's chromium, headless, through the web view for the tests
// (tests/python/test_server_ui.py) and the benchmark (bench/ui_bench.py),
// with puppeteer-core from the npm tree scripts/setup.sh --tests installs.
//
// Reads one JSON plan on standard input:
//   {"browser": path, "puppeteer": path of puppeteer-core's ESM entry,
//    "base": "http://127.0.0.1:PORT/ui/", "token": string | null,
//    "shots": directory for screenshots or null,
//    "pages": [{"name": ..., "hash": "#/...", "wait": text the page shows when done}]}
// and writes one JSON object: for each page its visible text, the elements
// the page holds that could run code (script, iframe, object, embed, img,
// and any element with an on* attribute), links that leave the page, the
// time it took to show, and the screenshot's path; plus every console
// message, page error and dialog, and `pwned` (a global that a payload
// would set had it run).

interface Page {
  name: string;
  hash: string;
  wait: string;
}

interface Plan {
  browser: string;
  puppeteer: string;
  base: string;
  token: string | null;
  shots: string | null;
  pages: Page[];
}

// What of puppeteer's API is used here (its types are not loaded).
interface PPage {
  goto(url: string, options?: unknown): Promise<unknown>;
  on(event: string, handler: (value: unknown) => void): void;
  waitForFunction(fn: string, options?: unknown): Promise<unknown>;
  evaluate<T>(fn: string): Promise<T>;
  type(selector: string, text: string): Promise<void>;
  click(selector: string): Promise<void>;
  screenshot(options: unknown): Promise<unknown>;
  setViewport(size: unknown): Promise<void>;
}

interface PBrowser {
  newPage(): Promise<PPage>;
  close(): Promise<void>;
}

const plan = JSON.parse(await new Response(Deno.stdin.readable).text()) as Plan;
const puppeteer = (await import(plan.puppeteer)).default as {
  launch(options: unknown): Promise<PBrowser>;
};
const browser = await puppeteer.launch({
  executablePath: plan.browser,
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-dev-shm-usage"],
});
const events: string[] = [];
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 800 });
  page.on("console", (m) => events.push(`console: ${(m as { text(): string }).text()}`));
  page.on("pageerror", (e) => events.push(`pageerror: ${String(e)}`));
  page.on("dialog", (d) => {
    events.push(`dialog: ${(d as { message(): string }).message()}`);
    void (d as { dismiss(): Promise<void> }).dismiss();
  });
  await page.goto(plan.base, { waitUntil: "load" });
  if (plan.token !== null) {
    await page.waitForFunction(`document.querySelector("form.token input") !== null`, { timeout: 60000 });
    await page.type("form.token input", plan.token);
    await page.click("form.token button");
  }
  const results = [];
  for (const p of plan.pages) {
    const started = performance.now();
    await page.goto(plan.base + p.hash, { waitUntil: "load" });
    try {
      await page.waitForFunction(
        `(() => { const m = document.getElementById("main"); return m !== null &&
           !m.textContent.includes("Loading") && m.textContent.includes(${JSON.stringify(p.wait)}); })()`,
        { timeout: 60000, polling: 20 },
      );
    } catch (e) {
      const text = await page.evaluate<string>(`document.getElementById("main").innerText`);
      throw new Error(`page ${p.name} never showed ${JSON.stringify(p.wait)}: ${text.slice(0, 2000)}`, {
        cause: e,
      });
    }
    const ms = performance.now() - started;
    const shown = await page.evaluate<{ text: string; active: string[]; away: string[] }>(`(() => {
      const main = document.getElementById("main");
      const active = [...document.querySelectorAll("script, iframe, object, embed, img, *")]
        .filter((e) => e.tagName !== "SCRIPT" || e.parentElement !== document.head)
        .filter((e) => ["SCRIPT", "IFRAME", "OBJECT", "EMBED", "IMG"].includes(e.tagName) ||
          [...e.attributes].some((a) => a.name.startsWith("on")))
        .map((e) => e.outerHTML.slice(0, 200));
      const away = [...document.querySelectorAll("a")].map((a) => a.getAttribute("href") ?? "")
        .filter((h) => !h.startsWith("#/"));
      return { text: main.innerText, active, away };
    })()`);
    let shot: string | null = null;
    if (plan.shots !== null) {
      shot = `${plan.shots}/${p.name}.png`;
      await page.screenshot({ path: shot, fullPage: false });
    }
    results.push({ name: p.name, ms, shot, ...shown });
  }
  const pwned = await page.evaluate<boolean>(`Boolean(globalThis.pwned)`);
  console.log(JSON.stringify({ pages: results, events, pwned }));
} finally {
  await browser.close();
}
