// The real velmorastra-server in a child process on a loopback port, with its database in a
// folder the caller owns. Its stderr (the access log) goes to a file that outlives restarts.
import { spawn } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { setTimeout as sleep } from "node:timers/promises";

import { serverBinary } from "./paths.js";

export class ServerProcess {
  constructor(dir, extraArgs = []) {
    this.dbPath = path.join(dir, "canvas.db");
    this.logPath = path.join(dir, "server.log");
    this.extraArgs = extraArgs;
    this.port = 0;
    this.child = null;
    this.exited = Promise.resolve(null);
  }

  // Starts and waits for the "listening" line; `listen` 127.0.0.1:0 picks a free port, and a
  // restart passes the old port to come back where the pages expect it.
  async start(listen = "127.0.0.1:0") {
    const logStart = fs.existsSync(this.logPath) ? fs.statSync(this.logPath).size : 0;
    const log = fs.openSync(this.logPath, "a");
    const args = ["--listen", listen, "--db", this.dbPath, ...this.extraArgs];
    const child = spawn(serverBinary, args, { stdio: ["ignore", "ignore", log] });
    fs.closeSync(log);
    this.child = child;
    this.exited = new Promise((resolve) => {
      child.once("exit", (code, signal) => {
        this.child = null;
        resolve(code ?? signal);
      });
    });
    const deadline = Date.now() + 20000;
    while (Date.now() < deadline) {
      const text = this.log().slice(logStart);
      const match = /listening on http:\/\/127\.0\.0\.1:(\d+)\/ /.exec(text);
      if (match) {
        this.port = Number(match[1]);
        return;
      }
      if (this.child !== child) {
        throw new Error(`the server exited before listening:\n${text}`);
      }
      await sleep(10);
    }
    throw new Error(`the server did not listen within 20 s:\n${this.log().slice(logStart)}`);
  }

  // SIGTERM lets it answer what is in flight and save its marks; SIGKILL after 20 s.
  async stop(signal = "SIGTERM") {
    if (!this.child) {
      return this.exited;
    }
    const child = this.child;
    child.kill(signal);
    const timer = setTimeout(() => child.kill("SIGKILL"), 20000);
    const status = await this.exited;
    clearTimeout(timer);
    return status;
  }

  get url() {
    return `http://127.0.0.1:${this.port}/`;
  }

  get origin() {
    return `http://127.0.0.1:${this.port}`;
  }

  log() {
    return fs.existsSync(this.logPath) ? fs.readFileSync(this.logPath, "utf8") : "";
  }

  // A command as the clients send it, as the body of POST /; the reply's status and text.
  async command(text, headers = {}) {
    const reply = await fetch(this.url, { method: "POST", body: text, headers });
    return { status: reply.status, text: await reply.text() };
  }

  // Every stroke stored for the canvas, in the server's order.
  async strokes(canvasId) {
    const reply = await this.command(`${canvasId}: get_strokes: `);
    if (reply.status !== 200) {
      throw new Error(`get_strokes answered ${reply.status}: ${reply.text}`);
    }
    return reply.text
      .split("\n")
      .filter((line) => line.startsWith(`${canvasId}: append: `))
      .map(parseStrokeLine);
  }

  async render(canvasId, width, height) {
    const name = encodeURIComponent(canvasId);
    const reply = await fetch(`${this.url}render/${name}.png?w=${width}&h=${height}`);
    return { status: reply.status, body: Buffer.from(await reply.arrayBuffer()) };
  }
}

// One stroke of a reply line: its fields and its points in canvas units.
export function parseStrokeLine(line) {
  const field = (name) => {
    const match = new RegExp(` ${name}:(\\S*)`).exec(line);
    return match ? match[1] : undefined;
  };
  const pointsAt = line.indexOf(" points:");
  const points = [];
  if (pointsAt >= 0) {
    for (const match of line.slice(pointsAt + 8).matchAll(/(-?\d+)-(-?\d+)/g)) {
      points.push([Number(match[1]), Number(match[2])]);
    }
  }
  return {
    client_time: Number(field("client_time")),
    server_time: Number(field("server_time")),
    user_name: field("user_name"),
    pen_properties: field("pen_properties"),
    layer: Number(field("layer")),
    points,
  };
}
