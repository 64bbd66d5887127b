// The real velmorastra-bot in a child process. Each line it prints is kept with the moment it
// was read, so a test can time what the bot reports against its own clock.
import { spawn } from "node:child_process";
import fs from "node:fs";
import path from "node:path";

import { botBinary } from "./paths.js";

// Bots still running, so that a test that fails half-way leaves none behind.
const running = new Set();

export async function stopEveryBot() {
  await Promise.all([...running].map((bot) => bot.stop("SIGKILL")));
}

export class BotProcess {
  // `args` come after the server and settings, which every bot of a test needs.
  constructor(server, dir, name, args) {
    const settings = path.join(dir, `${name}.ini`);
    this.lines = [];
    this.stderr = "";
    this.waiters = [];
    this.child = spawn(
      botBinary,
      ["--server", server.url, "--settings", settings, "--nickname", name, ...args],
      { stdio: ["ignore", "pipe", "pipe"] }
    );
    let partial = "";
    this.child.stdout.setEncoding("utf8");
    this.child.stdout.on("data", (chunk) => {
      const at = Date.now();
      const parts = (partial + chunk).split("\n");
      partial = parts.pop();
      for (const text of parts) {
        this.lines.push({ text, at });
      }
      this.#wake();
    });
    this.child.stderr.setEncoding("utf8");
    this.child.stderr.on("data", (chunk) => (this.stderr += chunk));
    running.add(this);
    this.exited = new Promise((resolve) => {
      this.child.once("exit", (code, signal) => {
        this.child = null;
        running.delete(this);
        this.#wake();
        resolve(code ?? signal);
      });
    });
  }

  output() {
    return this.lines.map((line) => line.text).join("\n");
  }

  // The first line matching `pattern` (a RegExp), with its match and when it was read.
  waitForLine(pattern, timeoutMs = 20000) {
    return new Promise((resolve, reject) => {
      const check = () => {
        for (const line of this.lines) {
          const match = pattern.exec(line.text);
          if (match) {
            resolve({ match, at: line.at });
            return true;
          }
        }
        if (!this.child) {
          reject(new Error(`the bot exited without ${pattern}:\n${this.report()}`));
          return true;
        }
        return false;
      };
      if (check()) {
        return;
      }
      const timer = setTimeout(() => {
        this.waiters = this.waiters.filter((waiter) => waiter !== check);
        reject(new Error(`no ${pattern} from the bot in ${timeoutMs} ms:\n${this.report()}`));
      }, timeoutMs);
      this.waiters.push(() => {
        const done = check();
        if (done) {
          clearTimeout(timer);
        }
        return done;
      });
    });
  }

  // The bot quits cleanly on SIGTERM and still prints its closing lines.
  async stop(signal = "SIGTERM") {
    if (this.child) {
      this.child.kill(signal);
    }
    return this.exited;
  }

  report() {
    return `stdout:\n${this.output()}\nstderr:\n${this.stderr}`;
  }

  #wake() {
    this.waiters = this.waiters.filter((waiter) => !waiter());
  }
}

// A script of strokes for --script: one a line, "LAYER X,Y X,Y ..." in canvas pixels.
export function writeStrokeScript(dir, name, strokes) {
  const file = path.join(dir, `${name}.strokes`);
  const text = strokes
    .map(({ layer, points }) => `${layer} ${points.map(([x, y]) => `${x},${y}`).join(" ")}`)
    .join("\n");
  fs.writeFileSync(file, `${text}\n`);
  return file;
}
