// Debian's Chromium, headless, driven by puppeteer-core. The machine has no network beyond
// loopback, so every background service that would call out is switched off, and each browser
// gets a fresh profile that is removed with it.
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { setTimeout as sleep } from "node:timers/promises";

import puppeteer from "puppeteer-core";

import { chromiumBinary } from "./paths.js";

export const Viewport = { width: 800, height: 600, deviceScaleFactor: 1 };

export async function launchBrowser() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "velmo-chromium-"));
  const browser = await puppeteer.launch({
    executablePath: chromiumBinary,
    headless: true,
    defaultViewport: Viewport,
    args: [
      "--no-sandbox",
      "--disable-gpu",
      "--disable-quic",
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      `--user-data-dir=${profile}`,
    ],
  });
  return {
    browser,
    async close() {
      await browser.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

// Runs in every document before its own scripts: notes each change of the body's data
// attributes, with data-strokes as it stood then, the wall clock (comparable with the bot's
// client times) and the time since navigation start; the moment of each pointer release; and
// every content security policy violation.
function installProbes() {
  const trace = [];
  const violations = [];
  Object.defineProperty(window, "__velmoTrace", { value: trace });
  Object.defineProperty(window, "__velmoViolations", { value: violations });
  const releases = [];
  Object.defineProperty(window, "__velmoReleases", { value: releases });
  window.addEventListener("pointerup", () => releases.push(Date.now()), true);
  document.addEventListener("securitypolicyviolation", (event) => {
    violations.push({
      directive: event.violatedDirective,
      blocked: event.blockedURI,
      source: event.sourceFile,
      line: event.lineNumber,
    });
  });
  new MutationObserver((records) => {
    const at = Date.now();
    const sinceStart = performance.now();
    for (const record of records) {
      if (record.target === document.body) {
        const value = document.body.getAttribute(record.attributeName);
        const strokes = document.body.dataset.strokes;
        trace.push({ name: record.attributeName, value, strokes, at, sinceStart });
      }
    }
  }).observe(document, {
    subtree: true,
    attributes: true,
    attributeFilter: ["data-state", "data-strokes", "data-queued", "data-user"],
  });
}

// A tab with everything it asks for and says recorded: requests, responses, console errors,
// uncaught exceptions. `allowNetworkErrors` is set while a test has the server down on purpose.
export class RecordedPage {
  static async open(browser) {
    const page = await browser.newPage();
    const recorded = new RecordedPage(page);
    await page.evaluateOnNewDocument(installProbes);
    return recorded;
  }

  constructor(page) {
    this.page = page;
    this.requests = [];
    this.responses = [];
    this.consoleErrors = [];
    this.pageErrors = [];
    this.allowNetworkErrors = false;
    page.on("request", (request) => {
      this.requests.push({ url: request.url(), method: request.method() });
    });
    page.on("response", (response) => {
      this.responses.push({
        url: response.url(),
        status: response.status(),
        method: response.request().method(),
        headers: response.headers(),
        navigation: response.request().isNavigationRequest(),
        response,
      });
    });
    page.on("console", (message) => {
      if (message.type() !== "error") {
        return;
      }
      const where = message.location().url;
      const text = where ? `${message.text()} (${where})` : message.text();
      const networkFailure = /net::ERR_|Failed to fetch|NetworkError|ERR_CONNECTION/i.test(text);
      if (!(this.allowNetworkErrors && networkFailure)) {
        this.consoleErrors.push(text);
      }
    });
    page.on("pageerror", (error) => this.pageErrors.push(String(error)));
  }

  // Opens a canvas's page as a visitor would: waits until it is ready with a user, answering
  // the nickname dialog with `nickname` if it asks and one is given. Whether it asked, the
  // main response and the body's state.
  async visit(url, nickname = null) {
    const response = await this.page.goto(url, { waitUntil: "domcontentloaded" });
    let body = await this.waitForBody(
      (b) => b.asksNickname || (b.state === "ready" && b.user),
      20000,
      "ready state with a user, or the nickname dialog"
    );
    const askedNickname = body.asksNickname;
    if (askedNickname && nickname !== null) {
      await this.page.type("#nickname", nickname);
      await this.page.click("#nickname-ok");
      body = await this.waitForBody(
        (b) => !b.asksNickname && b.state === "ready" && b.user,
        20000,
        "ready state with a user after the nickname"
      );
    }
    return { response, body, askedNickname };
  }

  // Navigates and waits for the body's data-state="ready"; the main response.
  async goto(url, timeoutMs = 20000) {
    const response = await this.page.goto(url, { waitUntil: "domcontentloaded" });
    await this.waitForBody((body) => body.state === "ready", timeoutMs, "data-state=ready");
    return response;
  }

  // The body's data attributes, as numbers where they count, and whether the nickname is asked.
  async body() {
    return this.page.evaluate(() => {
      const data = document.body ? document.body.dataset : {};
      const number = (text) => (text === undefined ? undefined : Number(text));
      const dialog = document.getElementById("nickname-dialog");
      return {
        state: data.state,
        strokes: number(data.strokes),
        queued: number(data.queued),
        user: data.user,
        asksNickname: Boolean(dialog && dialog.open),
      };
    });
  }

  // Polls from here, so that the predicate is a plain function of the state and a time-out
  // says what the state was.
  async waitForBody(predicate, timeoutMs = 10000, what = "the expected state") {
    const deadline = Date.now() + timeoutMs;
    let body = null;
    while (Date.now() < deadline) {
      body = await this.body();
      if (predicate(body)) {
        return body;
      }
      await sleep(10);
    }
    throw new Error(`no ${what} within ${timeoutMs} ms; body is ${JSON.stringify(body)}`);
  }

  async trace() {
    return this.page.evaluate(() => window.__velmoTrace.slice());
  }

  async violations() {
    return this.page.evaluate(() => window.__velmoViolations.slice());
  }

  async localStorage() {
    return this.page.evaluate(() => {
      const entries = {};
      for (let i = 0; i < localStorage.length; i++) {
        const key = localStorage.key(i);
        entries[key] = localStorage.getItem(key);
      }
      return entries;
    });
  }

  // The drawing's box on the page, in CSS pixels (one device pixel each in these tests).
  async canvasBox() {
    const canvas = await this.page.$("canvas#drawing");
    if (!canvas) {
      throw new Error("the page has no canvas#drawing");
    }
    const box = await canvas.boundingBox();
    const size = await this.page.evaluate(() => {
      const c = document.getElementById("drawing");
      return { width: c.width, height: c.height };
    });
    return { ...box, ...size };
  }

  // A press, drags through `points` (canvas pixels) and a release with the mouse; the wall
  // clock when the page saw the release.
  async drawWithMouse(points) {
    const box = await this.canvasBox();
    const mouse = this.page.mouse;
    const [first, ...rest] = points;
    await mouse.move(box.x + first[0], box.y + first[1]);
    await mouse.down();
    for (const [x, y] of rest) {
      await mouse.move(box.x + x, box.y + y, { steps: 4 });
    }
    await mouse.up();
    return this.page.evaluate(() => window.__velmoReleases.at(-1));
  }

  // The canvas's backing pixels as RGBA, read through a 2D copy so that it works whatever
  // context the page draws with.
  async canvasPixels() {
    const { width, height, base64 } = await this.page.evaluate(() => {
      const source = document.getElementById("drawing");
      const copy = document.createElement("canvas");
      copy.width = source.width;
      copy.height = source.height;
      const context = copy.getContext("2d");
      context.drawImage(source, 0, 0);
      const data = context.getImageData(0, 0, copy.width, copy.height).data;
      let binary = "";
      for (let i = 0; i < data.length; i += 0x8000) {
        binary += String.fromCharCode.apply(null, data.subarray(i, i + 0x8000));
      }
      return { width: copy.width, height: copy.height, base64: btoa(binary) };
    });
    return { width, height, rgba: new Uint8Array(Buffer.from(base64, "base64")) };
  }

  // What the page did that it should not have: requests to another origin, console errors,
  // exceptions, policy violations. Empty when all is well.
  async faults(origin) {
    const faults = [];
    for (const { url } of this.requests) {
      if (!sameOrigin(url, origin)) {
        faults.push(`request to another origin: ${url}`);
      }
    }
    for (const text of this.consoleErrors) {
      faults.push(`console error: ${text}`);
    }
    for (const text of this.pageErrors) {
      faults.push(`uncaught: ${text}`);
    }
    let violations = [];
    try {
      violations = await this.violations();
    } catch {
      // A page that is not ours (an error page while the server was down) has no probes.
    }
    for (const violation of violations) {
      faults.push(`policy violation: ${JSON.stringify(violation)}`);
    }
    return faults;
  }

  async close() {
    await this.page.close();
  }
}

// data: URLs carry no origin; blob: URLs carry their creator's.
export function sameOrigin(url, origin) {
  if (url.startsWith("data:")) {
    return true;
  }
  try {
    return new URL(url.startsWith("blob:") ? url.slice(5) : url).origin === origin;
  } catch {
    return false;
  }
}
