// A picture of the browser page for the README: a throw-away server on a loopback port, two
// bots' scribbles, a third bot that stays (so the toolbar names who is here), two strokes drawn
// with the mouse in colour, then a screenshot of the page.
// node web/tests/screenshot.js [OUTPUT.png]  (default docs/screenshots/web-draw.png)
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

import { BotProcess, stopEveryBot } from "./support/bot_process.js";
import { launchBrowser, RecordedPage } from "./support/browser.js";
import { repoRoot, webFolder } from "./support/paths.js";
import { ServerProcess } from "./support/server_process.js";

const output = path.resolve(
  process.argv[2] ?? path.join(repoRoot, "docs/screenshots/web-draw.png")
);
const viewport = { width: 1000, height: 700, deviceScaleFactor: 1 };
const canvasId = "webber@20261210120000000";
const dir = fs.mkdtempSync(path.join(os.tmpdir(), "velmo-web-screenshot-"));
const server = new ServerProcess(dir, ["--web-folder", webFolder, "--quiet"]);
const canvasArgs = ["--canvas", `velmorastra://${canvasId}`, "--size", "1000x700"];
// Mouse strokes: colour, width along the range, layer, points in canvas pixels.
const pens = [
  [
    "#e04020",
    0.3,
    "0",
    [
      [140, 420],
      [260, 330],
      [390, 380],
      [540, 290],
      [660, 330],
    ],
  ],
  [
    "#2080e0",
    0.5,
    "1",
    [
      [180, 140],
      [300, 230],
      [440, 180],
      [600, 260],
      [760, 200],
    ],
  ],
];
let chromium = null;
try {
  await server.start();
  for (const [name, layer, seed] of [
    ["ann", 0, 3],
    ["bob", 1, 5],
  ]) {
    const bot = new BotProcess(server, dir, name, [
      ...canvasArgs,
      ...["--strokes", "8", "--points", "24", "--rate", "50"],
      ...["--layer", String(layer), "--seed", String(seed)],
    ]);
    if ((await bot.exited) !== 0) {
      throw new Error(`the bot failed:\n${bot.report()}`);
    }
  }
  const stays = new BotProcess(server, dir, "cleo", [
    ...canvasArgs,
    ...["--strokes", "0", "--linger", "60", "--timeout", "60"],
  ]);
  await stays.waitForLine(/^opened /);

  chromium = await launchBrowser();
  const recorded = await RecordedPage.open(chromium.browser);
  await recorded.page.setViewport(viewport);
  await recorded.visit(`${server.url}draw/${encodeURIComponent(canvasId)}`, "webber");
  for (const [color, width, layer, points] of pens) {
    await recorded.page.select("#layer", layer);
    await recorded.page.evaluate(
      (value, fraction) => {
        const colour = document.getElementById("color");
        const range = document.getElementById("width");
        colour.value = value;
        range.value = String(
          Math.round(Number(range.min) + (Number(range.max) - Number(range.min)) * fraction)
        );
        for (const input of [colour, range]) {
          input.dispatchEvent(new Event("input", { bubbles: true }));
          input.dispatchEvent(new Event("change", { bubbles: true }));
        }
      },
      color,
      width
    );
    await recorded.drawWithMouse(points);
  }
  await recorded.waitForBody((b) => b.queued === 0 && b.strokes === 18, 10000, "every stroke");
  await recorded.page
    .waitForFunction(() => document.getElementById("present").textContent.includes("cleo"), {
      timeout: 10000,
      polling: 100,
    })
    .catch(() => console.log("note: the toolbar did not name the bot that stays"));
  fs.mkdirSync(path.dirname(output), { recursive: true });
  await recorded.page.screenshot({ path: output });
  console.log(`wrote ${output}`);
} finally {
  await stopEveryBot();
  if (chromium) {
    await chromium.close();
  }
  await server.stop();
  fs.rmSync(dir, { recursive: true, force: true });
}
