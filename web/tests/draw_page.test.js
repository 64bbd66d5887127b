// The page /draw/<canvas ID> in a real headless Chromium, against the real server on a
// loopback port and real bots: what a browser user draws reaches the others, what they draw
// shows in the browser, undo and reload behave, and the page stays on its own origin.
import assert from "node:assert/strict";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import { setTimeout as sleep } from "node:timers/promises";

import { BotProcess, stopEveryBot, writeStrokeScript } from "./support/bot_process.js";
import { launchBrowser, RecordedPage } from "./support/browser.js";
import { testOutputDir, webFolder } from "./support/paths.js";
import { comparePictures, decodePng, encodePng } from "./support/png.js";
import { ServerProcess } from "./support/server_process.js";

const PagePolicy =
  "default-src 'none'; script-src 'self' 'wasm-unsafe-eval'; style-src 'self'; " +
  "img-src 'self' data: blob:; connect-src 'self'; base-uri 'none'; form-action 'none'; " +
  "frame-ancestors 'none'";
const Nickname = "webber";
// The server's render and the engine are compared byte for byte in the server's and the
// client's own tests; the browser shows the engine's bytes, so the same holds here.
const PixelTolerance = 0;

// The figures the closing note quotes, printed as they are measured and once more at the end.
const figures = {};
function note(name, value) {
  figures[name] = value;
  console.log(`figure: ${name}: ${value}`);
}

let dir;
let server;
let chromium;

function drawUrl(canvasId) {
  return `${server.url}draw/${encodeURIComponent(canvasId)}`;
}

// Opens the canvas in a new tab of the one browser profile. The profile's first visit, whichever
// test makes it, must ask the nickname and is answered; every later one must not ask.
let nicknameGiven = false;
async function openCanvas(canvasId) {
  const recorded = await RecordedPage.open(chromium.browser);
  const url = drawUrl(canvasId);
  const firstVisit = !nicknameGiven;
  const visit = await recorded.visit(url, firstVisit ? Nickname : null);
  assert.equal(visit.response.status(), 200, `GET ${url}`);
  assert.equal(visit.askedNickname, firstVisit, "the nickname is asked on the first visit only");
  nicknameGiven = true;
  return { recorded, response: visit.response, body: visit.body, firstVisit };
}

async function assertClean(recorded) {
  assert.deepEqual(await recorded.faults(server.origin), []);
}

// The stroke's points in canvas pixels: the engine maps the logical 320000 x 480000 canvas
// onto the picture by the larger of the two axis ratios.
function pointsInPixels(stroke, width, height) {
  const scale = Math.max(width / 320000, height / 480000);
  return stroke.points.map(([x, y]) => [x * scale, y * scale]);
}

function assertNear([x, y], [wantX, wantY], what) {
  assert.ok(
    Math.hypot(x - wantX, y - wantY) <= 2,
    `${what} at (${x.toFixed(1)}, ${y.toFixed(1)}), drawn at (${wantX}, ${wantY})`
  );
}

async function setControl(recorded, selector, value) {
  return recorded.page.evaluate(
    (sel, v) => {
      const control = document.querySelector(sel);
      control.value = v;
      control.dispatchEvent(new Event("input", { bubbles: true }));
      control.dispatchEvent(new Event("change", { bubbles: true }));
      return control.value;
    },
    selector,
    value
  );
}

// A value `fraction` of the way along a range input, as the input would hold it.
async function rangeAt(recorded, selector, fraction) {
  return recorded.page.evaluate(
    (sel, f) => {
      const control = document.querySelector(sel);
      const min = Number(control.min || 0);
      const max = Number(control.max || 100);
      return String(Math.round(min + (max - min) * f));
    },
    selector,
    fraction
  );
}

function penField(stroke, name) {
  const match = new RegExp(`(?:^|,)${name}=([0-9a-fA-F]+)`).exec(stroke.pen_properties);
  return match ? match[1] : undefined;
}

// The page's pixels against the server's render of the same canvas at the page's canvas size.
// The page may still repaint after an echo, so it is read again until the two agree or five
// seconds pass; on a difference both pictures are written out.
async function assertPictureIsTheRender(recorded, canvasId, name) {
  const box = await recorded.canvasBox();
  assert.ok(box.width <= 1280 && box.height <= 1920, `canvas ${box.width}x${box.height}`);
  let result;
  let actual;
  let expected;
  const deadline = Date.now() + 5000;
  do {
    const render = await server.render(canvasId, box.width, box.height);
    assert.equal(render.status, 200, `render: ${render.body}`);
    expected = decodePng(render.body);
    actual = await recorded.canvasPixels();
    result = comparePictures(actual, expected, PixelTolerance);
    if (!result.sizeDiffers && result.differing === 0) {
      return expected;
    }
    await sleep(100);
  } while (Date.now() < deadline);
  fs.mkdirSync(testOutputDir, { recursive: true });
  const actualPath = path.join(testOutputDir, `web_${name}_page.png`);
  const expectedPath = path.join(testOutputDir, `web_${name}_render.png`);
  fs.writeFileSync(actualPath, encodePng(actual.width, actual.height, actual.rgba));
  fs.writeFileSync(expectedPath, encodePng(expected.width, expected.height, expected.rgba));
  assert.fail(
    `the page's ${actual.width}x${actual.height} picture is not the render ` +
      `${expected.width}x${expected.height}: ${result.differing} pixels differ, first ` +
      `${JSON.stringify(result.first)}; written to ${actualPath} and ${expectedPath}`
  );
}

function paintedPixels(picture) {
  let painted = 0;
  for (let i = 0; i < picture.rgba.length; i += 4) {
    if (picture.rgba[i] < 250 || picture.rgba[i + 1] < 250 || picture.rgba[i + 2] < 250) {
      painted++;
    }
  }
  return painted;
}

// When the body's data-strokes first reached `count`, from the page's trace.
function whenStrokesReached(trace, count) {
  return trace.find((entry) => entry.name === "data-strokes" && Number(entry.value) >= count);
}

describe("the page /draw/<canvas ID> in Chromium against the real server", () => {
  before(async () => {
    assert.ok(
      fs.existsSync(path.join(webFolder, "velmorastra-web.js")),
      `the browser page is not built in ${webFolder}`
    );
    dir = fs.mkdtempSync(path.join(os.tmpdir(), "velmo-web-tests-"));
    server = new ServerProcess(dir, ["--web-folder", webFolder]);
    await server.start();
    chromium = await launchBrowser();
  });

  after(async () => {
    await stopEveryBot();
    if (chromium) {
      await chromium.close();
    }
    if (server) {
      await server.stop();
    }
    console.log(`figures: ${JSON.stringify(figures)}`);
    if (dir) {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });

  test("asks the nickname on the first visit only, loads only its own files", async () => {
    const canvasId = "webtests@20261210120000001";
    const first = await openCanvas(canvasId);
    assert.ok(first.firstVisit, "this test opens the profile's first page");
    const headers = first.response.headers();
    assert.equal(headers["content-security-policy"], PagePolicy);
    assert.match(headers["content-type"], /^text\/html/);
    const stored = await first.recorded.localStorage();
    const kept = Object.entries(stored).filter(([key]) => key.startsWith("velmorastra."));
    assert.ok(
      kept.some(([, value]) => value.includes(Nickname)),
      `no velmorastra.* key holds the nickname: ${JSON.stringify(stored)}`
    );
    assert.equal(first.body.strokes, 0);
    assert.equal(first.body.queued, 0);
    await assertClean(first.recorded);

    // A second visit, in a new tab of the same profile: not asked, the same user.
    const again = await openCanvas(canvasId);
    assert.equal(again.body.user, first.body.user);
    const ready = (await again.recorded.trace()).find(
      (entry) => entry.name === "data-state" && entry.value === "ready"
    );
    assert.ok(ready, "data-state=ready was set by the page, not in its markup");
    note(
      "page load of an empty canvas, navigation start to data-state=ready (ms)",
      ready.sinceStart.toFixed(0)
    );

    // The script and the module, as served: hashed names, their types, their sizes.
    const served = again.recorded.responses.filter(
      (r) => r.method === "GET" && /\/web\/velmorastra-web\.[0-9a-f]{16}\.(js|wasm)$/.test(r.url)
    );
    const kinds = served.map((r) => r.url.split(".").pop()).sort();
    assert.deepEqual(kinds, ["js", "wasm"], `served: ${served.map((r) => r.url).join(" ")}`);
    for (const r of served) {
      const type = r.url.endsWith(".wasm") ? /^application\/wasm/ : /^text\/javascript/;
      assert.match(r.headers["content-type"], type, r.url);
      const bytes = (await (await fetch(r.url)).arrayBuffer()).byteLength;
      assert.ok(bytes > 0, r.url);
      note(`size of ${r.url.split("/").pop()} as served (bytes)`, bytes);
    }
    await assertClean(again.recorded);
    await again.recorded.close();
    await first.recorded.close();
  });

  test("data-state=ready comes once the canvas's strokes are in, and shows them", async () => {
    const canvasId = "webtests@20261210120000006";
    const drawer = new BotProcess(server, dir, "drawer6", [
      "--canvas",
      `velmorastra://${canvasId}`,
      "--strokes",
      "20",
      "--rate",
      "50",
      "--size",
      "800x600",
      "--timeout",
      "60",
    ]);
    assert.equal(await drawer.exited, 0, drawer.report());
    const { recorded } = await openCanvas(canvasId);
    await recorded.waitForBody((b) => b.strokes === 20, 10000, "the 20 strokes");
    const trace = await recorded.trace();
    const ready = trace.find((entry) => entry.name === "data-state" && entry.value === "ready");
    const all = whenStrokesReached(trace, 20);
    note(
      "page load of a canvas of 20 strokes, to data-state=ready (ms)",
      ready.sinceStart.toFixed(0)
    );
    note("page load of a canvas of 20 strokes, to all 20 counted (ms)", all.sinceStart.toFixed(0));
    assert.equal(ready.strokes, "20", "data-strokes when data-state turned ready");
    await assertPictureIsTheRender(recorded, canvasId, "opened");
    await assertClean(recorded);
    await recorded.close();
  });

  test("a mouse stroke reaches the server and a bot watching the canvas", async () => {
    const canvasId = "webtests@20261210120000002";
    const watcher = new BotProcess(server, dir, "watcher2", [
      "--canvas",
      `velmorastra://${canvasId}`,
      "--strokes",
      "0",
      "--watch",
      "1",
      "--timeout",
      "60",
    ]);
    await watcher.waitForLine(/^opened /);
    const { recorded, body } = await openCanvas(canvasId);
    // The toolbar names who else is here.
    await recorded.page.waitForFunction(
      () => document.getElementById("present").textContent.includes("watcher2"),
      { timeout: 5000, polling: 50 }
    );
    const drawn = [
      [100, 150],
      [160, 170],
      [230, 185],
      [300, 200],
    ];
    const released = await recorded.drawWithMouse(drawn);
    await recorded.waitForBody(
      (b) => b.strokes === 1 && b.queued === 0,
      10000,
      "one delivered stroke"
    );

    const seen = await watcher.waitForLine(
      /^stroke of (\S+) drawn at (\d+) arrived after ([\d.]+) ms/
    );
    assert.equal(seen.match[1], body.user, "the bot saw the browser user");
    note(
      "mouse release on the page to the watching bot printing the stroke (ms)",
      seen.at - released
    );
    note("the bot's own figure: the stroke's client time to its arrival (ms)", seen.match[3]);
    assert.equal(await watcher.exited, 0, watcher.report());

    const stored = await server.strokes(canvasId);
    assert.equal(stored.length, 1);
    assert.equal(stored[0].user_name, body.user);
    assert.equal(String(stored[0].client_time), seen.match[2]);
    // The stroke lies where the mouse went: the page maps its pixels as the engine does.
    const box = await recorded.canvasBox();
    const points = pointsInPixels(stored[0], box.width, box.height);
    assert.ok(points.length >= drawn.length, `${points.length} points`);
    assertNear(points[0], drawn[0], "the first point");
    assertNear(points.at(-1), drawn.at(-1), "the last point");
    await assertClean(recorded);
    await recorded.close();
  });

  test("a bot's stroke shows within a second; the picture is the server's render", async () => {
    const canvasId = "webtests@20261210120000003";
    const { recorded, body } = await openCanvas(canvasId);

    // Two strokes of the page's own with the toolbar's pens: Multiply, then Screen.
    await recorded.page.select("#layer", "1");
    await setControl(recorded, "#color", "#2060c0");
    await setControl(recorded, "#width", await rangeAt(recorded, "#width", 1));
    await setControl(recorded, "#density", await rangeAt(recorded, "#density", 0.75));
    await recorded.drawWithMouse([
      [80, 100],
      [200, 140],
      [320, 260],
      [420, 300],
    ]);
    await recorded.page.select("#layer", "2");
    await setControl(recorded, "#color", "#ffcc00");
    await setControl(recorded, "#width", await rangeAt(recorded, "#width", 0.33));
    await setControl(recorded, "#density", await rangeAt(recorded, "#density", 1));
    await recorded.drawWithMouse([
      [90, 320],
      [250, 200],
      [430, 110],
    ]);
    await recorded.waitForBody(
      (b) => b.strokes === 2 && b.queued === 0,
      10000,
      "two delivered strokes"
    );
    const own = await server.strokes(canvasId);
    assert.deepEqual(
      own.map((s) => [s.layer, s.user_name]),
      [
        [1, body.user],
        [2, body.user],
      ]
    );
    assert.match(penField(own[0], "color"), /2060c0$/i);
    assert.match(penField(own[1], "color"), /ffcc00$/i);
    assert.ok(Number(penField(own[0], "width")) > Number(penField(own[1], "width")), "width");
    assert.ok(Number(penField(own[0], "density")) < Number(penField(own[1], "density")), "density");

    // A bot draws a black stroke across both on the Normal layer.
    const script = writeStrokeScript(dir, "drawer3", [
      {
        layer: 0,
        points: [
          [60, 200],
          [200, 210],
          [340, 220],
          [480, 230],
        ],
      },
    ]);
    const drawer = new BotProcess(server, dir, "drawer3", [
      "--canvas",
      `velmorastra://${canvasId}`,
      "--script",
      script,
      "--size",
      "800x600",
      "--print-strokes",
      "--rate",
      "20",
      "--timeout",
      "60",
    ]);
    const drawn = await drawer.waitForLine(/^drawn (\d+)$/);
    const clientTime = Number(drawn.match[1]);
    await recorded.waitForBody((b) => b.strokes === 3, 10000, "the bot's stroke on the page");
    const shown = whenStrokesReached(await recorded.trace(), 3);
    const latency = shown.at - clientTime;
    note("bot's stroke drawn to data-strokes counting it on the page (ms)", latency);
    assert.ok(latency <= 1000, `the bot's stroke took ${latency} ms to show`);
    assert.equal(await drawer.exited, 0, drawer.report());

    const picture = await assertPictureIsTheRender(recorded, canvasId, "bot_stroke");
    // Not two blank pictures alike: the strokes are in it.
    assert.ok(paintedPixels(picture) > 500, `${paintedPixels(picture)} painted pixels`);
    await assertClean(recorded);
    await recorded.close();
  });

  test("undo by #undo and Ctrl+Z removes the stroke for the server, bots, render", async () => {
    const canvasId = "webtests@20261210120000004";
    // Someone else's stroke stays throughout, so the canvas keeps a render.
    const script = writeStrokeScript(dir, "other4", [
      {
        layer: 0,
        points: [
          [50, 400],
          [250, 380],
          [450, 420],
        ],
      },
    ]);
    const other = new BotProcess(server, dir, "other4", [
      "--canvas",
      `velmorastra://${canvasId}`,
      "--script",
      script,
      "--size",
      "800x600",
      "--timeout",
      "60",
    ]);
    assert.equal(await other.exited, 0, other.report());
    // A bot that stays on the canvas until told to quit, and reports its history then.
    const watcher = new BotProcess(server, dir, "watcher4", [
      "--canvas",
      `velmorastra://${canvasId}`,
      "--strokes",
      "0",
      "--watch",
      "2",
      "--linger",
      "600",
      "--timeout",
      "600",
    ]);
    await watcher.waitForLine(/^opened 1 strokes/);
    const { recorded } = await openCanvas(canvasId);
    const body = await recorded.waitForBody((b) => b.strokes === 1, 10000, "the other's stroke");

    const undoes = [
      ["the #undo button", () => recorded.page.click("#undo")],
      [
        "Ctrl+Z",
        async () => {
          await recorded.page.keyboard.down("Control");
          await recorded.page.keyboard.press("z");
          await recorded.page.keyboard.up("Control");
        },
      ],
    ];
    for (const [how, undo] of undoes) {
      await recorded.drawWithMouse([
        [100, 100],
        [200, 150],
        [300, 120],
      ]);
      await recorded.waitForBody(
        (b) => b.strokes === 2 && b.queued === 0,
        10000,
        "a delivered stroke"
      );
      const mine = (await server.strokes(canvasId)).filter((s) => s.user_name === body.user);
      assert.equal(mine.length, 1, how);
      const arrival = new RegExp(`^stroke of \\S+ drawn at ${mine[0].client_time} arrived`);
      await watcher.waitForLine(arrival);

      await undo();
      await recorded.waitForBody(
        (b) => b.strokes === 1 && b.queued === 0,
        10000,
        `${how} delivered`
      );
      const left = await server.strokes(canvasId);
      assert.deepEqual(
        left.map((s) => s.user_name.split("@")[0]),
        ["other4"],
        how
      );
    }
    await assertPictureIsTheRender(recorded, canvasId, "after_undo");

    // The watching bot heard of both deletes; a bot that opens the canvas now finds one stroke.
    await sleep(3000);
    await watcher.stop();
    assert.match(watcher.output(), /^drawn 0 delivered yes history 1$/m, watcher.report());
    const late = new BotProcess(server, dir, "late4", [
      "--canvas",
      `velmorastra://${canvasId}`,
      "--strokes",
      "0",
      "--timeout",
      "60",
    ]);
    assert.equal(await late.exited, 0, late.report());
    assert.match(late.output(), /^opened 1 strokes/m, late.report());
    await assertClean(recorded);
    await recorded.close();
  });

  // The page comes from the server, so a reload while the server is down brings only the
  // browser's error page. The honest order is therefore: draw while the server is down, reload
  // then (the tab's page and everything it held in memory are gone, only the browser's storage
  // is left), start the server again on the same port and database, and load the page again.
  test("a reload keeps the user, its key and a stroke drawn while offline", async () => {
    const canvasId = "webtests@20261210120000005";
    const { recorded, body } = await openCanvas(canvasId);
    await recorded.drawWithMouse([
      [120, 120],
      [220, 160],
      [320, 140],
    ]);
    await recorded.waitForBody(
      (b) => b.strokes === 1 && b.queued === 0,
      10000,
      "the first stroke delivered"
    );

    const port = server.port;
    // Its streams and requests break as it goes: the browser logs that, and that is expected.
    recorded.allowNetworkErrors = true;
    assert.equal(await server.stop(), 0, server.log());
    await recorded.drawWithMouse([
      [120, 300],
      [220, 340],
      [320, 320],
    ]);
    await recorded.waitForBody(
      (b) => b.strokes === 2 && b.queued === 1,
      10000,
      "one stroke queued"
    );
    await recorded.page.waitForFunction(
      () => document.getElementById("info").textContent.includes("offline: 1 stroke waiting"),
      { timeout: 10000, polling: 50 }
    );
    const stored = await recorded.localStorage();
    const queue = Object.entries(stored).filter(
      ([key, value]) =>
        key.startsWith("velmorastra.") && value.includes("append") && value.includes(body.user)
    );
    assert.ok(
      queue.length > 0,
      `no velmorastra.* key holds the queued stroke: ${JSON.stringify(stored)}`
    );

    assert.deepEqual(await recorded.violations(), []);
    await recorded.page.reload({ waitUntil: "domcontentloaded" }).catch(() => null);
    assert.equal(
      await recorded.page.$("canvas#drawing"),
      null,
      "the page reloaded without its server"
    );
    await server.start(`127.0.0.1:${port}`);
    const firstReply = recorded.responses.length;
    await recorded.goto(drawUrl(canvasId));
    recorded.allowNetworkErrors = false;
    const reloaded = await recorded.waitForBody(
      (b) => b.strokes === 2 && b.queued === 0,
      15000,
      "the queued stroke delivered after the reload"
    );
    assert.equal(reloaded.user, body.user);
    assert.ok(!reloaded.asksNickname);
    let mine = await server.strokes(canvasId);
    assert.deepEqual(
      mine.map((s) => s.user_name),
      [body.user, body.user]
    );

    // Both undos are the same user's with the same key: the later stroke, then the one from
    // before the reload.
    await recorded.page.click("#undo");
    await recorded.waitForBody(
      (b) => b.strokes === 1 && b.queued === 0,
      10000,
      "the first undo delivered"
    );
    await recorded.page.click("#undo");
    await recorded.waitForBody(
      (b) => b.strokes === 0 && b.queued === 0,
      10000,
      "the second undo delivered"
    );
    mine = await server.strokes(canvasId);
    assert.deepEqual(mine, []);
    const commands = recorded.responses
      .slice(firstReply)
      .filter((r) => r.method === "POST")
      .map((r) => r.status);
    assert.ok(commands.length >= 3, `commands answered after the reload: ${commands}`);
    assert.ok(
      commands.every((status) => status >= 200 && status < 300),
      `${commands}`
    );
    await assertClean(recorded);
    await recorded.close();
  });
  test("a bot's stroke shows while it is drawn, with a marker naming its drawer", async () => {
    const canvasId = "webtests@20261210120000007";
    const { recorded } = await openCanvas(canvasId);
    const blank = await recorded.canvasPixels();
    // 150 points a drag every 16 ms: the stroke takes over two seconds to draw.
    const drawer = new BotProcess(server, dir, "slowpen", [
      "--canvas",
      `velmorastra://${canvasId}`,
      "--strokes",
      "1",
      "--points",
      "150",
      "--progress",
      "--size",
      "800x600",
      "--timeout",
      "60",
    ]);
    await recorded.page.waitForFunction(
      () => [...document.querySelectorAll("#markers .marker")].some((m) =>
        m.textContent.includes("slowpen")),
      { timeout: 10000, polling: 20 }
    );
    // The pixels follow at the page's next frame; the stroke is still being drawn meanwhile.
    let changed = 0;
    let strokes = "0";
    const deadline = Date.now() + 2000;
    while (changed <= 20 && strokes === "0" && Date.now() < deadline) {
      changed = comparePictures(await recorded.canvasPixels(), blank, 0).differing;
      strokes = await recorded.page.evaluate(() => document.body.dataset.strokes);
    }
    assert.equal(strokes, "0", "the stroke in progress is not in the history");
    assert.ok(changed > 20, `${changed} pixels of the stroke in progress shown`);
    await recorded.waitForBody((b) => b.strokes === 1, 10000, "the finished stroke");
    await recorded.page.waitForFunction(
      () => document.querySelectorAll("#markers .marker").length === 0,
      { timeout: 5000, polling: 50 }
    );
    assert.equal(await drawer.exited, 0, drawer.report());
    await assertPictureIsTheRender(recorded, canvasId, "progress");
    await assertClean(recorded);
    await recorded.close();
  });
  test("two fingers pinch and move the view and draw nothing", async () => {
    const canvasId = "webtests@20261210120000008";
    const { recorded } = await openCanvas(canvasId);
    const box = await (await recorded.page.$("#area")).boundingBox();
    const cdp = await recorded.page.target().createCDPSession();
    await cdp.send("Emulation.setTouchEmulationEnabled", { enabled: true, maxTouchPoints: 2 });
    const at = (dx1, dx2, dy) => [
      { x: box.x + 300 + dx1, y: box.y + 250 + dy, id: 1 },
      { x: box.x + 400 + dx2, y: box.y + 250 + dy, id: 2 },
    ];
    await cdp.send("Input.dispatchTouchEvent", { type: "touchStart", touchPoints: at(0, 0, 0) });
    // The fingers spread to twice their distance and move down 40 points together.
    for (let step = 1; step <= 10; step++) {
      const spread = 5 * step;
      await cdp.send("Input.dispatchTouchEvent", {
        type: "touchMove",
        touchPoints: at(-spread, spread, 4 * step),
      });
    }
    await cdp.send("Input.dispatchTouchEvent", { type: "touchEnd", touchPoints: [] });
    const transform = await recorded.page.$eval("#stage", (stage) => stage.style.transform);
    const numbers = (transform.match(/-?[\d.]+(e-?\d+)?/g) || []).map(Number);
    assert.equal(numbers.length, 6, `the view's transform: ${transform}`);
    const [a, b, , , , ty] = numbers;
    assert.ok(Math.abs(Math.hypot(a, b) - 2) < 0.1, `zoomed ${Math.hypot(a, b)}, not 2: ${transform}`);
    assert.ok(ty > 0, `moved down: ${transform}`);
    await sleep(300);
    const body = await recorded.page.evaluate(() => ({ ...document.body.dataset }));
    assert.equal(body.strokes, "0");
    assert.equal(body.queued, "0");
    assert.deepEqual(await server.strokes(canvasId), []);
    await assertClean(recorded);
    await recorded.close();
  });
});
