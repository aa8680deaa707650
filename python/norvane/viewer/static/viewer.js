// Norvane live view: reads binary frames from the server's socket, colours
// them here (the board only packs 16-bit values) and draws depth, amplitude,
// confidence and a point cloud.
"use strict";
(() => {
  const HEADER = 32, MAGIC = 0x3146564e; // "NVF1" read little-endian
  const $ = (id) => document.getElementById(id);
  const state = { frames: 0, index: null, width: 0, height: 0, range: 4000, depth: null,
                  pointer: null, arrivals: [], ageMs: 0, arrival: 0, intrinsics: null, socket: null };
  window.norvaneViewer = state; // for tests and the console

  // Near is red, far is blue (the reversed "turbo" map, polynomial fit); no distance is black,
  // a pixel a depth filter removed magenta.
  const REMOVED = 65535;
  const turbo = (x) => {
    x = Math.min(1, Math.max(0, x));
    const x2 = x * x, x3 = x2 * x, x4 = x3 * x, x5 = x4 * x;
    return [
      0.13572138 + 4.61539260 * x - 42.66032258 * x2 + 132.13108234 * x3 - 152.94239396 * x4 + 59.28637943 * x5,
      0.09140261 + 2.19418839 * x + 4.84296658 * x2 - 14.18503333 * x3 + 4.27729857 * x4 + 2.82956604 * x5,
      0.10667330 + 12.64194608 * x - 60.58204836 * x2 + 110.36276771 * x3 - 89.90310912 * x4 + 27.34824973 * x5,
    ].map((c) => Math.round(255 * Math.min(1, Math.max(0, c))));
  };
  const rgba = ([r, g, b]) => (255 << 24 | b << 16 | g << 8 | r) >>> 0; // ImageData is little-endian RGBA
  let lut = new Uint32Array(65536);
  const buildLut = () => {
    lut = new Uint32Array(65536);
    lut[0] = rgba([0, 0, 0]);
    for (let mm = 1; mm < 65536; mm++) lut[mm] = rgba(turbo(1 - mm / state.range));
    lut[REMOVED] = rgba([255, 0, 255]);
    const bar = $("scale-bar").getContext("2d"), img = bar.createImageData(256, 1);
    const px = new Uint32Array(img.data.buffer);
    for (let i = 0; i < 256; i++) px[i] = rgba(turbo(1 - (i + 0.5) / 256));
    bar.putImageData(img, 0, 0);
    $("scale-mid").textContent = `${state.range / 2} mm`;
    $("scale-far").textContent = `${state.range} mm`;
  };

  const planes = {};
  const plane = (id, w, h) => {
    const canvas = $(id);
    if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; planes[id] = null; }
    if (!planes[id]) {
      const ctx = canvas.getContext("2d"), img = ctx.createImageData(w, h);
      planes[id] = { ctx, img, px: new Uint32Array(img.data.buffer) };
    }
    return planes[id];
  };
  const drawGrey = (id, values, w, h) => {
    const p = plane(id, w, h);
    let top = 1;
    for (let i = 0; i < values.length; i++) if (values[i] > top) top = values[i];
    for (let i = 0; i < values.length; i++) { const g = Math.round(255 * Math.sqrt(values[i] / top)); p.px[i] = rgba([g, g, g]); }
    p.ctx.putImageData(p.img, 0, 0);
  };
  const drawDepth = (depth, w, h) => {
    const p = plane("depth", w, h);
    for (let i = 0; i < depth.length; i++) p.px[i] = lut[depth[i]];
    p.ctx.putImageData(p.img, 0, 0);
  };

  const distance = (u, v) => {
    if (!state.depth || u < 0 || v < 0 || u >= state.width || v >= state.height) return "–";
    const mm = state.depth[v * state.width + u];
    return `(${u}, ${v}) ${mm === REMOVED ? "removed by a filter" : mm ? mm + " mm" : "no distance"}`;
  };
  const readouts = () => {
    $("centre").textContent = distance(state.width >> 1, state.height >> 1);
    $("pointer").textContent = state.pointer ? distance(...state.pointer) : "–";
  };
  const depthCanvas = $("depth");
  depthCanvas.addEventListener("mousemove", (e) => {
    const r = depthCanvas.getBoundingClientRect();
    state.pointer = [Math.floor((e.clientX - r.left) * state.width / r.width),
                     Math.floor((e.clientY - r.top) * state.height / r.height)];
    readouts();
  });
  depthCanvas.addEventListener("mouseleave", () => { state.pointer = null; readouts(); });

  // Frames are counted as they arrive and drawn at the browser's own pace:
  // a page busy drawing skips to the newest frame.
  let pending = null;
  const onFrame = (buffer) => {
    const view = new DataView(buffer);
    if (buffer.byteLength < HEADER || view.getUint32(0, true) !== MAGIC) return;
    const w = view.getUint16(4, true), h = view.getUint16(6, true);
    if (buffer.byteLength !== HEADER + 6 * w * h) return;
    state.frames++;
    state.arrival = performance.now();
    state.arrivals.push(state.arrival);
    if (pending === null) requestAnimationFrame(draw);
    pending = buffer;
  };
  const draw = () => {
    const buffer = pending, view = new DataView(buffer);
    pending = null;
    const w = view.getUint16(4, true), h = view.getUint16(6, true), n = w * h;
    state.width = w; state.height = h;
    state.index = view.getUint32(8, true);
    state.ageMs = view.getFloat64(24, true);
    state.depth = new Uint16Array(buffer, HEADER, n);
    // Amplitude and confidence are shown relative to their brightest pixel.
    drawDepth(state.depth, w, h);
    drawGrey("amplitude", new Uint16Array(buffer, HEADER + 2 * n, n), w, h);
    drawGrey("confidence", new Uint16Array(buffer, HEADER + 4 * n, n), w, h);
    cloud.update(state.depth, w, h);
    readouts();
    state.drawn = (state.drawn || 0) + 1;
    $("index").textContent = state.index;
  };
  setInterval(() => {
    const now = performance.now();
    while (state.arrivals.length && state.arrivals[0] < now - 1000) state.arrivals.shift();
    state.fps = state.arrivals.length;
    $("fps").textContent = state.fps;
    $("age").textContent = state.frames ? `${Math.round(state.ageMs + now - state.arrival)} ms` : "–";
  }, 250);

  const say = (text, kind) => { const m = $("message"); m.textContent = text; m.className = kind; };
  const showValues = (values) => {
    for (const form of document.querySelectorAll("#controls form")) {
      const value = values[form.dataset.control];
      if (value === undefined || value === null) continue;
      const [first, second] = Array.isArray(value) ? value : [value];
      if (document.activeElement !== form.elements.value) form.elements.value.value = first;
      if (form.elements.cycle && document.activeElement !== form.elements.cycle) form.elements.cycle.value = second;
    }
    if (typeof values.range_mm === "number" && values.range_mm > 0 && values.range_mm !== state.range) {
      state.range = values.range_mm; buildLut();
    }
    state.values = values;
  };
  const onText = (text) => {
    const message = JSON.parse(text);
    if (message.type === "hello") {
      const i = message.intrinsics, size = message.info.depth_size;
      state.intrinsics = i;
      $("camera").textContent = `${message.info.source}: ${size[0]} × ${size[1]}`;
      if (!i) cloud.unavailable("The lens is unknown: give the camera its intrinsics to see the point cloud.");
      for (const form of document.querySelectorAll("#controls form")) {
        const spec = message.controls[form.dataset.control];
        const hint = form.querySelector(".hint");
        const writable = Boolean(spec && spec.writable);
        for (const element of form.elements) element.disabled = !writable;
        const select = form.elements.value;
        if (spec && spec.presets && select.tagName === "SELECT")
          select.replaceChildren(...spec.presets.map((name) => new Option(name, name)));
        hint.textContent = !spec ? "not available on this camera"
          : !writable ? spec.note || "read-only"
          : [spec.values + (spec.unit ? ` ${spec.unit}` : ""), spec.note].filter(Boolean).join("; ");
      }
      showValues(message.values);
      if (message.failure) say(message.failure, "refused");
      else if (message.ended) say(message.ended, "ended");
    } else if (message.type === "controls") {
      showValues(message.values);
      say("applied", "ok");
    } else if (message.type === "refused") {
      say(`refused: ${message.message}`, "refused");
    } else if (message.type === "failure") {
      say(message.message, "refused");
    } else if (message.type === "ended") {  // the last frame stays on the page
      say(message.message, "ended");
    }
  };
  const number = (text) => { const t = text.trim(); return t !== "" && isFinite(Number(t)) ? Number(t) : t; };
  for (const form of document.querySelectorAll("#controls form")) {
    form.addEventListener("submit", (e) => {
      e.preventDefault();
      const value = form.elements.cycle ? [number(form.elements.value.value), number(form.elements.cycle.value)]
                                        : number(form.elements.value.value);
      if (state.socket && state.socket.readyState === WebSocket.OPEN)
        state.socket.send(JSON.stringify({ type: "set", name: form.dataset.control, value }));
    });
  }

  $("snap-png").addEventListener("click", () => {
    $("depth").toBlob((blob) => {
      const a = document.createElement("a");
      a.href = URL.createObjectURL(blob);
      a.download = `norvane-depth-${state.index}.png`;
      a.click();
      setTimeout(() => URL.revokeObjectURL(a.href), 1000);
    }, "image/png");
  });

  const connect = () => {
    const url = `${location.protocol === "https:" ? "wss" : "ws"}://${location.host}${location.pathname.replace(/[^/]*$/, "")}ws`;
    const socket = new WebSocket(url);
    socket.binaryType = "arraybuffer";
    socket.onmessage = (e) => (typeof e.data === "string" ? onText(e.data) : onFrame(e.data));
    socket.onclose = () => { say("disconnected; reconnecting…", "refused"); setTimeout(connect, 1000); };
    socket.onopen = () => say("", "");
    state.socket = socket;
  };

  // The point cloud: every pixel's distance along its ray, placed by the lens.
  const cloud = (() => {
    const canvas = $("cloud");
    const gl = canvas.getContext("webgl", { antialias: false });
    const unavailable = (text) => {
      if (canvas.isConnected) canvas.replaceWith(Object.assign(document.createElement("p"), { textContent: text }));
      return { update() {}, unavailable() {} };
    };
    if (!gl) return unavailable("WebGL is not available in this browser.");
    const vs = `attribute vec2 uv; attribute float d; uniform vec4 k; uniform mat4 mvp; uniform float range;
      varying vec3 colour;
      vec3 turbo(float x) { x = clamp(x, 0.0, 1.0); vec4 v = vec4(1.0, x, x * x, x * x * x); vec2 w = v.zw * v.z;
        return clamp(vec3(dot(v, vec4(0.13572138, 4.61539260, -42.66032258, 132.13108234)) + dot(w, vec2(-152.94239396, 59.28637943)),
          dot(v, vec4(0.09140261, 2.19418839, 4.84296658, -14.18503333)) + dot(w, vec2(4.27729857, 2.82956604)),
          dot(v, vec4(0.10667330, 12.64194608, -60.58204836, 110.36276771)) + dot(w, vec2(-89.90310912, 27.34824973))), 0.0, 1.0); }
      void main() {
        vec3 p = normalize(vec3((uv.x - k.z) / k.x, (uv.y - k.w) / k.y, 1.0)) * d;
        gl_Position = d > 0.0 && d < 65535.0 ? mvp * vec4(p.x, -p.y, -p.z, 1.0) : vec4(2.0, 2.0, 2.0, 1.0);
        gl_PointSize = 2.0;
        colour = turbo(1.0 - d / range);
      }`;
    const fs = "precision mediump float; varying vec3 colour; void main() { gl_FragColor = vec4(colour, 1.0); }";
    const program = gl.createProgram();
    for (const [type, src] of [[gl.VERTEX_SHADER, vs], [gl.FRAGMENT_SHADER, fs]]) {
      const s = gl.createShader(type); gl.shaderSource(s, src); gl.compileShader(s); gl.attachShader(program, s);
    }
    gl.linkProgram(program); gl.useProgram(program);
    const at = (n) => gl.getAttribLocation(program, n), un = (n) => gl.getUniformLocation(program, n);
    const uvBuffer = gl.createBuffer(), dBuffer = gl.createBuffer();
    let size = 0;
    // At yaw 0, pitch 0 and zoom 1 the view is the camera's own; it starts turned a little.
    const start = { yaw: -0.6, pitch: 0.35, zoom: 1.5 }, view = { ...start };
    const reset = () => Object.assign(view, start);

    const mul = (a, b) => { const o = new Float32Array(16);
      for (let c = 0; c < 4; c++) for (let r = 0; r < 4; r++) { let s = 0; for (let i = 0; i < 4; i++) s += a[i * 4 + r] * b[c * 4 + i]; o[c * 4 + r] = s; }
      return o; };
    const perspective = (fovy, aspect, near, far) => { const f = 1 / Math.tan(fovy / 2), nf = 1 / (near - far);
      return new Float32Array([f / aspect, 0, 0, 0, 0, f, 0, 0, 0, 0, (far + near) * nf, -1, 0, 0, 2 * far * near * nf, 0]); };
    const lookAt = (e, t) => {
      const norm = (v) => { const l = Math.hypot(...v); return v.map((x) => x / l); };
      const cross = (a, b) => [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]];
      const z = norm([e[0] - t[0], e[1] - t[1], e[2] - t[2]]), x = norm(cross([0, 1, 0], z)), y = cross(z, x);
      const dot = (a, b) => a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
      return new Float32Array([x[0], y[0], z[0], 0, x[1], y[1], z[1], 0, x[2], y[2], z[2], 0, -dot(x, e), -dot(y, e), -dot(z, e), 1]); };

    let dragging = null;
    canvas.addEventListener("mousedown", (e) => { dragging = [e.clientX, e.clientY]; });
    window.addEventListener("mouseup", () => { dragging = null; });
    window.addEventListener("mousemove", (e) => {
      if (!dragging) return;
      view.yaw -= (e.clientX - dragging[0]) * 0.01;
      view.pitch = Math.max(-1.5, Math.min(1.5, view.pitch + (e.clientY - dragging[1]) * 0.01));
      dragging = [e.clientX, e.clientY];
    });
    canvas.addEventListener("wheel", (e) => { e.preventDefault(); view.zoom *= Math.exp(e.deltaY * 0.001); }, { passive: false });
    canvas.addEventListener("dblclick", reset);

    return {
      unavailable,
      update(depth, w, h) {
        const k = state.intrinsics;
        if (!k) return;
        if (size !== w * h) {
          size = w * h;
          const uv = new Float32Array(2 * size);
          for (let v = 0; v < h; v++) for (let u = 0; u < w; u++) { uv[2 * (v * w + u)] = u; uv[2 * (v * w + u) + 1] = v; }
          gl.bindBuffer(gl.ARRAY_BUFFER, uvBuffer); gl.bufferData(gl.ARRAY_BUFFER, uv, gl.STATIC_DRAW);
          gl.enableVertexAttribArray(at("uv")); gl.vertexAttribPointer(at("uv"), 2, gl.FLOAT, false, 0, 0);
        }
        gl.bindBuffer(gl.ARRAY_BUFFER, dBuffer); gl.bufferData(gl.ARRAY_BUFFER, depth, gl.STREAM_DRAW);
        gl.enableVertexAttribArray(at("d")); gl.vertexAttribPointer(at("d"), 1, gl.UNSIGNED_SHORT, false, 0, 0);
        // Orbit about a point halfway into the range.
        const reach = state.range / 2, dist = reach * view.zoom, c = Math.cos(view.pitch);
        const eye = [dist * Math.sin(view.yaw) * c, dist * Math.sin(view.pitch), -reach + dist * Math.cos(view.yaw) * c];
        const fovy = 2 * Math.atan(h / 2 / k.fy);
        const mvp = mul(perspective(fovy, canvas.width / canvas.height, 10, 4 * state.range + dist), lookAt(eye, [0, 0, -reach]));
        gl.uniformMatrix4fv(un("mvp"), false, mvp);
        gl.uniform4f(un("k"), k.fx, k.fy, k.cx, k.cy);
        gl.uniform1f(un("range"), state.range);
        gl.viewport(0, 0, canvas.width, canvas.height);
        gl.clearColor(0, 0, 0, 1); gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
        gl.enable(gl.DEPTH_TEST);
        gl.drawArrays(gl.POINTS, 0, size);
      },
    };
  })();

  buildLut();
  connect();
})();
