// The browser page /draw/<canvas ID> measured beside the bot, the app's own client logic
// without a window, in one run against one fresh server on a loopback port: the page's files as
// served, its load time on an empty and on a seeded canvas (fresh profile and cached files),
// and a stroke each way between the page and a watching bot. Measures, never asserts.
//
//   node bench/web/page_bench.js   (bench/web/page_bench.sh BUILD_DIR sets the build)
//
// Environment: STROKES (2000, strokes on the seeded canvas), RUNS (10, loads of each kind),
// N (30, strokes each way), RATE (5, strokes a second drawn by the bot).
import { execFile } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { setTimeout as sleep } from "node:timers/promises";
import { promisify } from "node:util";
import zlib from "node:zlib";

import { BotProcess, stopEveryBot } from "../../web/tests/support/bot_process.js";
import { launchBrowser, RecordedPage } from "../../web/tests/support/browser.js";
import { repoRoot, webFolder } from "../../web/tests/support/paths.js";
import { ServerProcess } from "../../web/tests/support/server_process.js";

const seededStrokes = Number(process.env.STROKES ?? 2000);
const runs = Number(process.env.RUNS ?? 10);
const strokeCount = Number(process.env.N ?? 30);
const rate = Number(process.env.RATE ?? 5);
// Far above a default run; only a hung browser or bot gets here.
const WholeRunLimitMs = 10 * 60 * 1000;

const Nickname = "bencher";
const EmptyCanvas = "bench@20261210130000001";
const SeededCanvas = "bench@20261210130000002";
const StrokeCanvas = "bench@20261210130000003";

// Nearest rank, as the other benchmark scripts take it.
function percentile(values, p) {
  const sorted = [...values].sort((a, b) => a - b);
  const rank = Math.max(1, Math.ceil((p * sorted.length) / 100));
  return sorted[rank - 1];
}

const ms = (value) => (value === undefined ? "-" : `${value.toFixed(0)} ms`);
const ratio = (ours, peer) => (peer > 0 ? `${(ours / peer).toFixed(2)}` : "-");

function log(text) {
  console.log(text);
}

// The nickname is in the browser's storage before the page's own script runs, so that a fresh
// profile opens the canvas without a dialog waiting for a person.
function presetNickname(name) {
  try {
    if (!localStorage.getItem("velmorastra.nickname")) {
      localStorage.setItem("velmorastra.nickname", name);
    }
  } catch {
    // about:blank has no storage of its own.
  }
}

async function openTab(browser) {
  const recorded = await RecordedPage.open(browser);
  await recorded.page.evaluateOnNewDocument(presetNickname, Nickname);
  return recorded;
}

// One load of the canvas in a new tab: navigation start to data-state=ready in the page's own
// clock, the strokes counted then, and how many of the page's files came from the cache.
async function timeLoad(browser, url) {
  const recorded = await openTab(browser);
  await recorded.goto(url, 60000);
  const trace = await recorded.trace();
  const ready = trace.find((entry) => entry.name === "data-state" && entry.value === "ready");
  const files = recorded.responses.filter((r) => new URL(r.url).pathname.startsWith("/web/"));
  const cached = files.filter((r) => r.response.fromCache()).length;
  const faults = await recorded.faults(new URL(url).origin);
  const box = await recorded.canvasBox();
  await recorded.close();
  return {
    ms: ready.sinceStart,
    strokes: Number(ready.strokes),
    cached,
    files: files.length,
    faults,
    size: `${box.width}x${box.height}`,
  };
}

function summary(loads) {
  const times = loads.map((load) => load.ms);
  return { median: percentile(times, 50), max: Math.max(...times) };
}

function describeLoads(what, loads) {
  const times = loads.map((load) => load.ms.toFixed(0)).join(" ");
  const strokes = [...new Set(loads.map((load) => load.strokes))].join(",");
  const cached = [...new Set(loads.map((load) => `${load.cached}/${load.files}`))].join(",");
  log(`  ${what}: ${times} ms; strokes at ready ${strokes}; files from the cache ${cached}`);
  for (const fault of loads.flatMap((load) => load.faults)) {
    log(`  fault: ${fault}`);
  }
}

// The waiting below polls the bot's lines; each line keeps the moment it was read, so the
// polling's own period does not enter a figure.
async function nthLine(bot, pattern, n, timeoutMs = 20000) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const found = [];
    for (const line of bot.lines) {
      const match = pattern.exec(line.text);
      if (match) {
        found.push({ match, at: line.at });
      }
    }
    if (found.length >= n) {
      return found[n - 1];
    }
    if (!bot.child || Date.now() > deadline) {
      throw new Error(`line ${n} of ${pattern} never came:\n${bot.report()}`);
    }
    await sleep(5);
  }
}

function escapeRegExp(text) {
  return text.replace(/[.*+?^${}()|[\]\\]/g, "\\$&");
}

const arrivalOf = (user) =>
  new RegExp(`^stroke of ${escapeRegExp(user)} drawn at (\\d+) arrived after ([\\d.]+) ms`);

async function measureSizes(server) {
  const pageUrl = `${server.url}draw/${encodeURIComponent(EmptyCanvas)}`;
  const html = await (await fetch(pageUrl)).text();
  const attribute = (pattern) => new URL(pattern.exec(html)[1], pageUrl).href;
  const files = [
    ["HTML", pageUrl],
    ["CSS", attribute(/<link rel="stylesheet" href="([^"]+)"/)],
    ["JS", attribute(/<script src="([^"]+)"/)],
    ["WASM", attribute(/data-wasm="([^"]+)"/)],
  ];
  const sizes = [];
  for (const [kind, url] of files) {
    const reply = await fetch(url);
    const bytes = Buffer.from(await reply.arrayBuffer());
    const gzip = zlib.gzipSync(bytes, { level: 9 }).length;
    const encoding = reply.headers.get("content-encoding") ?? "none";
    log(`  ${kind} ${new URL(url).pathname}: ${bytes.length} bytes, gzip -9 ${gzip}, ` +
        `sent with content-encoding ${encoding}`);
    sizes.push({ kind, raw: bytes.length, gzip });
  }
  return sizes;
}

async function seed(server, canvasId, strokes) {
  const seeder = path.join(repoRoot, "bench/server/seed.py");
  const started = Date.now();
  const args = [seeder, String(server.port), canvasId, String(strokes), "0"];
  await promisify(execFile)("python3", args);
  log(`  seeded ${strokes} strokes of 8 points in ${Date.now() - started} ms`);
}

async function measureLoads(server, dir, canvasId) {
  const url = `${server.url}draw/${encodeURIComponent(canvasId)}`;
  const first = [];
  for (let i = 0; i < runs; i++) {
    const chromium = await launchBrowser();
    try {
      first.push(await timeLoad(chromium.browser, url));
    } finally {
      await chromium.close();
    }
  }
  const repeated = [];
  const chromium = await launchBrowser();
  try {
    // Untimed: fills the cache and makes the profile's user.
    await timeLoad(chromium.browser, url);
    for (let i = 0; i < runs; i++) {
      repeated.push(await timeLoad(chromium.browser, url));
    }
  } finally {
    await chromium.close();
  }
  // The bot paints at the page's canvas size, with a settings file of its own each time, as a
  // fresh profile has.
  const size = first[0].size;
  const bot = [];
  for (let i = 0; i < runs; i++) {
    const started = Date.now();
    const loader = new BotProcess(server, dir, `loader${canvasId.slice(-1)}x${i}`, [
      "--canvas",
      `velmorastra://${canvasId}`,
      "--strokes",
      "0",
      "--size",
      size,
      // Without a linger a bot that loads in one turn of its loop may quit before it says so.
      "--linger",
      "0.5",
      "--timeout",
      "60",
    ]);
    const opened = await loader.waitForLine(
      /^opened (\d+) strokes: picture after (\d+) ms, every stroke after (\d+) ms/,
      60000
    );
    await loader.stop();
    bot.push({ ms: opened.at - started, own: Number(opened.match[3]), strokes: opened.match[1] });
  }
  describeLoads("first loads", first);
  describeLoads("repeated loads", repeated);
  log(`  bot, start to "opened": ${bot.map((b) => b.ms).join(" ")} ms; its own figure ` +
      `${bot.map((b) => b.own).join(" ")} ms; strokes ${[...new Set(bot.map((b) => b.strokes))]}`);
  return {
    size,
    first: summary(first),
    repeated: summary(repeated),
    bot: summary(bot),
    botOwn: summary(bot.map((b) => ({ ms: b.own }))),
  };
}

// Stroke points in canvas pixels, a different short stroke each time inside the canvas.
function mouseStroke(i, width, height) {
  const x = 60 + ((i * 47) % Math.max(1, width - 260));
  const y = 60 + ((i * 83) % Math.max(1, height - 160));
  return [
    [x, y],
    [x + 60, y + 30],
    [x + 130, y + 20],
    [x + 200, y + 60],
  ];
}

async function measureStrokes(server, dir, browser) {
  const canvas = `velmorastra://${StrokeCanvas}`;
  const watcher = new BotProcess(server, dir, "watcher", [
    "--canvas",
    canvas,
    "--strokes",
    "0",
    "--watch",
    String(2 * strokeCount),
    "--timeout",
    "120",
  ]);
  await watcher.waitForLine(/^opened /);
  const recorded = await openTab(browser);
  await recorded.goto(`${server.url}draw/${encodeURIComponent(StrokeCanvas)}`);
  const { user } = await recorded.waitForBody((b) => Boolean(b.user), 10000, "a user");
  // The page's stream is open once it names who else is here.
  await recorded.page.waitForFunction(
    () => document.getElementById("present").textContent.includes("watcher"),
    { timeout: 10000, polling: 20 }
  );
  const box = await recorded.canvasBox();

  const pageToBot = [];
  const pageToBotOwn = [];
  for (let i = 0; i < strokeCount; i++) {
    const released = await recorded.drawWithMouse(mouseStroke(i, box.width, box.height));
    const seen = await nthLine(watcher, arrivalOf(user), i + 1);
    pageToBot.push(seen.at - released);
    pageToBotOwn.push(Number(seen.match[2]));
    // A pause between strokes, as a hand makes, so that each starts on a quiet channel.
    await sleep(100);
  }
  await recorded.waitForBody((b) => b.queued === 0, 10000, "the page's strokes delivered");
  const before = (await recorded.body()).strokes;

  // The same strokes reach the watching bot and the page: each is the other's peer.
  const drawer = new BotProcess(server, dir, "drawer", [
    "--canvas",
    canvas,
    "--strokes",
    String(strokeCount),
    "--rate",
    String(rate),
    "--size",
    `${box.width}x${box.height}`,
    "--print-strokes",
    "--timeout",
    "60",
  ]);
  const drawn = [];
  for (let i = 0; i < strokeCount; i++) {
    drawn.push(Number((await nthLine(drawer, /^drawn (\d+)$/, i + 1)).match[1]));
  }
  await recorded.waitForBody(
    (b) => b.strokes >= before + strokeCount,
    20000,
    "the bot's strokes on the page"
  );
  const botLines = [];
  for (let i = 0; i < strokeCount; i++) {
    botLines.push(await nthLine(watcher, /^stroke of (drawer@\S+) drawn at (\d+) arrived/, i + 1));
  }
  await drawer.exited;
  await watcher.exited;
  const trace = (await recorded.trace()).filter((entry) => entry.strokes !== undefined);
  const botToPage = drawn.map((clientTime, i) => {
    const shown = trace.find((entry) => Number(entry.strokes) >= before + i + 1);
    return shown.at - clientTime;
  });
  const byClientTime = new Map(botLines.map((line) => [Number(line.match[2]), line.at]));
  const botToBot = drawn.map((clientTime) => byClientTime.get(clientTime) - clientTime);
  const botToBotOwn = watcher.lines
    .map((line) => /^stroke of drawer@\S+ drawn at \d+ arrived after ([\d.]+) ms/.exec(line.text))
    .filter(Boolean)
    .map((match) => Number(match[1]));
  const faults = await recorded.faults(server.origin);
  await recorded.close();

  const list = (values) => values.map((v) => v.toFixed(0)).join(" ");
  log(`  page to bot: ${list(pageToBot)} ms (the bot's own: ${list(pageToBotOwn)})`);
  log(`  bot to bot: ${list(botToBot)} ms (the bot's own: ${list(botToBotOwn)})`);
  log(`  bot to page: ${list(botToPage)} ms`);
  for (const fault of faults) {
    log(`  fault: ${fault}`);
  }
  const stats = (values) => ({ median: percentile(values, 50), p95: percentile(values, 95) });
  return {
    pageToBot: stats(pageToBot),
    pageToBotOwn: stats(pageToBotOwn),
    botToBot: stats(botToBot),
    botToBotOwn: stats(botToBotOwn),
    botToPage: stats(botToPage),
  };
}

function printTable(rows) {
  const widths = rows[0].map((_, column) => Math.max(...rows.map((row) => row[column].length)));
  for (const [i, row] of rows.entries()) {
    log(`| ${row.map((cell, column) => cell.padEnd(widths[column])).join(" | ")} |`);
    if (i === 0) {
      log(`|${widths.map((width) => "-".repeat(width + 2)).join("|")}|`);
    }
  }
}

async function main() {
  const started = Date.now();
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "velmo-page-bench-"));
  const server = new ServerProcess(dir, ["--web-folder", webFolder, "--quiet", "--no-limits"]);
  let chromium = null;
  const cleanUp = async () => {
    await stopEveryBot();
    if (chromium) {
      await chromium.close().catch(() => {});
    }
    await server.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  };
  const watchdog = setTimeout(async () => {
    console.error(`page_bench: still running after ${WholeRunLimitMs / 1000} s, stopping`);
    await cleanUp();
    process.exit(1);
  }, WholeRunLimitMs);
  try {
    // Seeding goes faster than any client may append; the run itself has the default limits.
    await server.start();
    log(`== seeding on ${server.url}`);
    await seed(server, SeededCanvas, seededStrokes);
    await server.stop();
    server.extraArgs = ["--web-folder", webFolder, "--quiet"];
    await server.start();

    log(`== the page's files as served by ${server.url}`);
    const sizes = await measureSizes(server);
    log(`== ${runs} loads of each kind, empty canvas`);
    const empty = await measureLoads(server, dir, EmptyCanvas);
    log(`== ${runs} loads of each kind, ${seededStrokes} strokes`);
    const seeded = await measureLoads(server, dir, SeededCanvas);
    log(`== ${strokeCount} strokes each way (the bot at ${rate} a second)`);
    chromium = await launchBrowser();
    const strokes = await measureStrokes(server, dir, chromium.browser);

    const rows = [["what", "ours (page)", "peer", "ratio"]];
    for (const { kind, raw, gzip } of sizes) {
      rows.push([`${kind} size as served / gzip -9`, `${raw} B`, `${gzip} B`, ratio(raw, gzip)]);
    }
    const total = sizes.reduce((sum, s) => sum + s.raw, 0);
    const totalGzip = sizes.reduce((sum, s) => sum + s.gzip, 0);
    const totalRatio = ratio(total, totalGzip);
    rows.push(["all four files / gzip -9", `${total} B`, `${totalGzip} B`, totalRatio]);
    for (const [name, load] of [
      ["empty canvas", empty],
      [`${seededStrokes} strokes`, seeded],
    ]) {
      const own = ms(load.botOwn.median);
      const peer = `bot ${ms(load.bot.median)} / ${ms(load.bot.max)} (own ${own})`;
      rows.push([
        `load, ${name}, fresh profile: median / max`,
        `${ms(load.first.median)} / ${ms(load.first.max)}`,
        peer,
        ratio(load.first.median, load.bot.median),
      ]);
      rows.push([
        `load, ${name}, cached files: median / max`,
        `${ms(load.repeated.median)} / ${ms(load.repeated.max)}`,
        peer,
        ratio(load.repeated.median, load.bot.median),
      ]);
    }
    const { pageToBot, botToBot, botToPage } = strokes;
    rows.push([
      "stroke page to watching bot: median / p95",
      `${ms(pageToBot.median)} / ${ms(pageToBot.p95)}`,
      `bot to bot ${ms(botToBot.median)} / ${ms(botToBot.p95)}`,
      ratio(pageToBot.median, botToBot.median),
    ]);
    rows.push([
      "stroke bot to page counting it: median / p95",
      `${ms(botToPage.median)} / ${ms(botToPage.p95)}`,
      `same strokes to bot ${ms(botToBot.median)} / ${ms(botToBot.p95)}`,
      ratio(botToPage.median, botToBot.median),
    ]);
    log("");
    log(`canvas ${empty.size} px; loads: navigation start to data-state=ready (page), process ` +
        `start to "opened" (bot; "own" is the bot's figure from opening the canvas)`);
    printTable(rows);
    log(`the bot's own figures for the strokes: page to bot ${ms(strokes.pageToBotOwn.median)} / ` +
        `${ms(strokes.pageToBotOwn.p95)}, bot to bot ${ms(strokes.botToBotOwn.median)} / ` +
        `${ms(strokes.botToBotOwn.p95)} (stroke's client time to its arrival)`);
    log(`whole run: ${((Date.now() - started) / 1000).toFixed(1)} s`);
  } finally {
    clearTimeout(watchdog);
    await cleanUp();
  }
}

await main();
