// The page's shell around the canvas engine: pointer events, fetch, the event stream, storage
// and the <canvas> the engine's pixels are put on. Everything the canvas decides is in the
// module; this only carries it to and from the browser.
"use strict";

(function () {
  const body = document.body;
  const canvasId = body.dataset.canvasId;
  const area = document.getElementById("area");
  const stage = document.getElementById("stage");
  const drawing = document.getElementById("drawing");
  const context = drawing.getContext("2d");
  const markers = document.getElementById("markers");
  const info = document.getElementById("info");
  const message = document.getElementById("message");
  const present = document.getElementById("present");
  const nameButton = document.getElementById("name");
  const dialog = document.getElementById("nickname-dialog");
  const nicknameInput = document.getElementById("nickname");
  let M = null;
  let opened = false;

  // Strings and bytes into the module's memory, freed after `use`.
  function withStrings(strings, use) {
    const pointers = strings.map((text) => {
      const size = M.lengthBytesUTF8(text) + 1;
      const pointer = M._malloc(size);
      M.stringToUTF8(text, pointer, size);
      return pointer;
    });
    try {
      return use(...pointers);
    } finally {
      pointers.forEach((pointer) => M._free(pointer));
    }
  }

  function withBytes(bytes, use) {
    const pointer = M._malloc(Math.max(1, bytes.length));
    M.HEAPU8.set(bytes, pointer);
    try {
      return use(pointer, bytes.length);
    } finally {
      M._free(pointer);
    }
  }

  function headersOf(lines) {
    const headers = new Headers();
    for (const line of lines.split("\n")) {
      const colon = line.indexOf(": ");
      if (colon > 0) {
        headers.append(line.slice(0, colon), line.slice(colon + 2));
      }
    }
    return headers;
  }

  // Seconds the server asked to wait, or -1 when it asked nothing a number of seconds says.
  function retryAfter(response) {
    const value = response.headers.get("Retry-After");
    return value !== null && /^\s*\d+(\.\d+)?\s*$/.test(value) ? parseFloat(value) : -1;
  }

  const requests = new Map();

  function httpSend(id, url, method, bytes, headerLines, timeout) {
    const controller = new AbortController();
    let timer = 0;
    // Counted from the start or the last bytes, so a long answer that keeps coming goes on.
    const arm = () => {
      clearTimeout(timer);
      timer = setTimeout(() => controller.abort(), timeout * 1000);
    };
    const done = () => {
      clearTimeout(timer);
      return requests.delete(id);
    };
    requests.set(id, { controller, done });
    arm();
    const init = {
      method,
      headers: headersOf(headerLines),
      signal: controller.signal,
      // A redirect is never followed: it says "not now", as in the app.
      redirect: "manual",
      cache: "no-store",
      credentials: "same-origin",
    };
    if (method !== "GET" && method !== "HEAD") {
      init.body = bytes;
    }
    fetch(url, init)
      .then(async (response) => {
        if (!requests.has(id)) {
          return;
        }
        const status = response.type === "opaqueredirect" ? 302 : response.status;
        const wait = retryAfter(response);
        M._web_http_head(id, status, wait);
        if (response.body) {
          const reader = response.body.getReader();
          for (;;) {
            const { done: ended, value } = await reader.read();
            if (!requests.has(id)) {
              reader.cancel().catch(() => {});
              return;
            }
            if (ended) {
              break;
            }
            arm();
            withBytes(value, (pointer, size) => M._web_http_received(id, pointer, size));
          }
        }
        if (done()) {
          M._web_http_finished(id, status, wait);
        }
      })
      .catch(() => {
        if (done()) {
          M._web_http_failed(id);
        }
      });
  }

  function httpCancel(id) {
    const request = requests.get(id);
    if (request) {
      request.done();
      request.controller.abort();
    }
  }

  // The event stream: fetch rather than EventSource, which cannot send the key header.
  const SilenceSeconds = 60;
  let stream = null;

  function streamOpen(serial, url, headerLines) {
    streamClose();
    const controller = new AbortController();
    const me = { serial, controller, timer: 0 };
    stream = me;
    const fail = () => {
      if (stream === me) {
        streamClose();
        M._web_stream_failed(serial);
      }
    };
    const arm = () => {
      clearTimeout(me.timer);
      me.timer = setTimeout(fail, SilenceSeconds * 1000);
    };
    arm();
    const headers = headersOf(headerLines);
    headers.set("Accept", "text/event-stream");
    fetch(url, { headers, signal: controller.signal, cache: "no-store", redirect: "manual" })
      .then(async (response) => {
        const type = response.headers.get("Content-Type") || "";
        if (response.status !== 200 || !type.startsWith("text/event-stream") || !response.body) {
          fail();
          return;
        }
        const reader = response.body.getReader();
        const decoder = new TextDecoder();
        let pending = "";
        let event = "";
        let data = [];
        for (;;) {
          const { done, value } = await reader.read();
          if (stream !== me) {
            reader.cancel().catch(() => {});
            return;
          }
          if (done) {
            break;
          }
          arm();
          pending += decoder.decode(value, { stream: true });
          let end;
          while ((end = pending.search(/\r\n|\r|\n/)) >= 0) {
            const line = pending.slice(0, end);
            pending = pending.slice(end + (pending.startsWith("\r\n", end) ? 2 : 1));
            if (line === "") {
              if (data.length > 0) {
                const text = data.join("\n");
                withStrings([event || "message", text], (typePointer, dataPointer) =>
                  M._web_stream_event(serial, typePointer, dataPointer, M.lengthBytesUTF8(text)));
                if (stream !== me) {
                  return;
                }
              }
              event = "";
              data = [];
              continue;
            }
            if (line.startsWith(":")) {
              continue;
            }
            const colon = line.indexOf(":");
            const field = colon < 0 ? line : line.slice(0, colon);
            let value = colon < 0 ? "" : line.slice(colon + 1);
            if (value.startsWith(" ")) {
              value = value.slice(1);
            }
            if (field === "event") {
              event = value;
            } else if (field === "data") {
              data.push(value);
            }
          }
        }
        fail();
      })
      .catch(fail);
  }

  function streamClose() {
    if (stream) {
      clearTimeout(stream.timer);
      stream.controller.abort();
      stream = null;
    }
  }

  const timers = new Map();

  function storageRead(name) {
    try {
      return window.localStorage.getItem(name);
    } catch (error) {
      return null;
    }
  }

  function storageWrite(name, value) {
    try {
      if (value === "") {
        window.localStorage.removeItem(name);
      } else {
        window.localStorage.setItem(name, value);
      }
    } catch (error) {
      showMessage("This browser does not keep what you draw here while offline.");
    }
  }

  let messageTimer = 0;
  function showMessage(text) {
    message.textContent = text;
    clearTimeout(messageTimer);
    messageTimer = setTimeout(() => (message.textContent = ""), 8000);
  }

  let frameAsked = false;
  function askFrame() {
    if (!frameAsked) {
      frameAsked = true;
      requestAnimationFrame(putFrame);
    }
  }

  function putFrame() {
    frameAsked = false;
    M._web_take_frame();
    const rect = M.HEAP32.subarray(M._web_frame_rect() >> 2, (M._web_frame_rect() >> 2) + 4);
    const [x, y, width, height] = rect;
    if (width <= 0 || height <= 0) {
      return;
    }
    const start = M._web_frame_pixels();
    const pixels = new Uint8ClampedArray(M.HEAPU8.buffer, start, width * height * 4).slice();
    context.putImageData(new ImageData(pixels, width, height), x, y);
  }

  function setTransform(a, b, c, d, tx, ty) {
    stage.style.transform = `matrix(${a}, ${b}, ${c}, ${d}, ${tx}, ${ty})`;
  }

  function showPresent(lines) {
    const names = lines.split("\n").filter((name) => name !== "");
    present.textContent = names.length ? "here: " + names.join(", ") : "";
  }

  function showMarkers(lines) {
    markers.replaceChildren();
    for (const line of lines.split("\n")) {
      const parts = line.split(" ");
      if (parts.length < 4) {
        continue;
      }
      const [x, y, color] = parts.map(Number);
      const marker = document.createElement("div");
      marker.className = "marker";
      marker.style.left = `${x}px`;
      marker.style.top = `${y}px`;
      const dot = document.createElement("span");
      dot.className = "dot";
      dot.style.background = "#" + (color & 0xffffff).toString(16).padStart(6, "0");
      const label = document.createElement("span");
      label.className = "label";
      label.textContent = parts.slice(3).join(" ");
      marker.append(dot, label);
      markers.append(marker);
    }
  }

  function selectMode(mode) {
    for (const [id, value] of [["mode-draw", 0], ["mode-pan", 2]]) {
      document.getElementById(id).setAttribute("aria-pressed", String(mode === value));
    }
    body.classList.toggle("panning", mode === 2);
  }

  function counts(strokes, queued, loading, user) {
    body.dataset.strokes = String(strokes);
    body.dataset.queued = String(queued);
    if (user) {
      body.dataset.user = user;
    }
    if (!loading && opened) {
      body.dataset.state = "ready";
    }
  }

  const shell = {
    httpSend,
    httpCancel,
    streamOpen,
    streamClose,
    timerStart: (id, ms) => timers.set(id, setInterval(() => M._web_timer_fired(id), ms)),
    timerStop: (id) => {
      clearInterval(timers.get(id));
      timers.delete(id);
    },
    post: (id) => setTimeout(() => M._web_post_due(id), 0),
    storageRead,
    storageWrite,
    setInfo: (text) => (info.textContent = text),
    showMessage,
    selectMode,
    askFrame,
    setTransform,
    showPresent,
    showMarkers,
    counts,
  };

  // Pointers, in the drawing area's points (the view, before its transform).
  function where(event) {
    const box = area.getBoundingClientRect();
    return [event.clientX - box.left, event.clientY - box.top];
  }

  function listenToPointers() {
    area.addEventListener("pointerdown", (event) => {
      if (event.pointerType === "mouse" && event.button !== 0) {
        return;
      }
      area.setPointerCapture(event.pointerId);
      M._web_pointer_down(event.pointerId, ...where(event));
      event.preventDefault();
    });
    area.addEventListener("pointermove", (event) => {
      const events = event.getCoalescedEvents ? event.getCoalescedEvents() : [event];
      for (const one of events.length ? events : [event]) {
        M._web_pointer_move(event.pointerId, ...where(one));
      }
    });
    area.addEventListener("pointerup", (event) => M._web_pointer_up(event.pointerId, ...where(event)));
    area.addEventListener("pointercancel", () => M._web_pointers_cancel());
    area.addEventListener(
      "wheel",
      (event) => {
        event.preventDefault();
        if (event.shiftKey) {
          M._web_pan(-event.deltaX || -event.deltaY, event.deltaX ? -event.deltaY : 0);
        } else {
          M._web_zoom(Math.exp(-event.deltaY / 400), ...where(event));
        }
      },
      { passive: false }
    );
  }

  function listenToControls() {
    const color = document.getElementById("color");
    const width = document.getElementById("width");
    const density = document.getElementById("density");
    const setPen = () =>
      M._web_set_pen(parseInt(color.value.slice(1), 16), Number(width.value), Number(density.value));
    for (const input of [color, width, density]) {
      input.addEventListener("input", setPen);
    }
    setPen();
    document.getElementById("layer").addEventListener("change", (event) =>
      M._web_set_layer(Number(event.target.value)));
    document.getElementById("undo").addEventListener("click", () => M._web_undo());
    document.getElementById("mode-draw").addEventListener("click", () => M._web_set_mode(0));
    document.getElementById("mode-pan").addEventListener("click", () => M._web_set_mode(2));
    nameButton.addEventListener("click", () => askNickname());
    window.addEventListener("keydown", (event) => {
      if ((event.ctrlKey || event.metaKey) && !event.shiftKey && event.key.toLowerCase() === "z") {
        event.preventDefault();
        M._web_undo();
      }
    });
  }

  function validNickname(name) {
    return name.length > 0 && name.length <= 64 && !/[\u0000-\u001f\u007f\s]/.test(name);
  }

  function askNickname() {
    nicknameInput.value = storageRead("velmorastra.nickname") || "";
    dialog.showModal();
  }

  dialog.addEventListener("close", () => {
    const name = nicknameInput.value.trim();
    if (!validNickname(name)) {
      if (!opened) {
        askNickname();
      }
      return;
    }
    storageWrite("velmorastra.nickname", name);
    nameButton.textContent = name;
    if (opened) {
      withStrings([name], (pointer) => M._web_set_nickname(pointer));
    } else {
      open(name);
    }
  });
  nicknameInput.addEventListener("input", () =>
    nicknameInput.setCustomValidity(
      validNickname(nicknameInput.value.trim()) ? "" : "One word, up to 64 letters, no spaces."));

  function open(nickname) {
    const width = Math.max(1, Math.floor(area.clientWidth));
    const height = Math.max(1, Math.floor(area.clientHeight));
    opened = true;
    withStrings([canvasId, nickname], (id, name) => M._web_open(width, height, id, name));
    drawing.width = M._web_canvas_width();
    drawing.height = M._web_canvas_height();
    drawing.style.width = `${drawing.width}px`;
    drawing.style.height = `${drawing.height}px`;
    stage.style.width = drawing.style.width;
    stage.style.height = drawing.style.height;
    listenToControls();
    listenToPointers();
    askFrame();
  }

  createVelmoModule({
    velmo: shell,
    locateFile: () => body.dataset.wasm,
  }).then((module) => {
    M = module;
    // The server's root is where the page's own /draw/ path starts (it may sit under a prefix).
    withStrings([new URL("../", location.href).href], (base) => M._web_create(base));
    const nickname = storageRead("velmorastra.nickname");
    if (nickname && validNickname(nickname)) {
      nameButton.textContent = nickname;
      open(nickname);
    } else {
      askNickname();
    }
  });
})();
