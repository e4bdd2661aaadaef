// The viewer's page: draws the frames the server sends over the WebSocket,
// acknowledges each one once drawn (the server sends no more than two
// ahead, so a slow page gets fewer frames instead of a growing backlog), and
// sends control changes. Plain script, no build step, nothing fetched from
// elsewhere.
"use strict";

const HEADER = 48;
const FLAG_AMPLITUDE = 1;
const token = new URLSearchParams(location.search).get("token");
const $ = (id) => document.getElementById(id);

// Colour map: near is warm, far is cool; 256 entries of RGB.
const STOPS = [[0, 255, 40, 0], [0.25, 255, 200, 0], [0.5, 40, 220, 60], [0.75, 0, 160, 255], [1, 40, 0, 160]];
const LUT = new Uint8Array(256 * 3);
for (let i = 0; i < 256; i++) {
  const t = i / 255;
  let k = 0;
  while (k < STOPS.length - 2 && t > STOPS[k + 1][0]) k++;
  const [t0, ...a] = STOPS[k], [t1, ...b] = STOPS[k + 1];
  const f = (t - t0) / (t1 - t0);
  for (let c = 0; c < 3; c++) LUT[i * 3 + c] = Math.round(a[c] + f * (b[c] - a[c]));
}

const state = {
  ws: null, width: 0, height: 0, latest: null, toAck: [], drawScheduled: false,
  depth: null, lastSeq: null, skipped: 0, dropped: 0, shownTimes: [], mouse: null,
  lo: 0, hi: 4000, controls: {}, frames: 0,
};

function setStatus(text, bad) {
  $("status").textContent = text;
  $("status").className = bad ? "bad" : "";
}

function connect() {
  const url = `ws://${location.host}/ws` + (token ? `?token=${encodeURIComponent(token)}` : "");
  const ws = new WebSocket(url);
  ws.binaryType = "arraybuffer";
  state.ws = ws;
  ws.onopen = () => setStatus("connected");
  ws.onclose = (e) => setStatus(`closed${e.reason ? ": " + e.reason : ""} (reload to reconnect)`, true);
  ws.onerror = () => setStatus("connection refused or lost", true);
  ws.onmessage = (e) => {
    if (typeof e.data === "string") onText(JSON.parse(e.data));
    else onFrame(e.data);
  };
}

function send(obj) {
  if (state.ws && state.ws.readyState === WebSocket.OPEN) state.ws.send(JSON.stringify(obj));
}

function onText(msg) {
  if (msg.type === "hello") {
    const i = msg.info || {};
    $("source").textContent = [i.source, i.variant, i.width && `${i.width}x${i.height}`, i.version && `v${i.version}`]
      .filter(Boolean).join("  ");
    if (msg.status && msg.status !== "streaming") setStatus(msg.status);
    state.intrinsics = i.intrinsics || null;
    buildControls(msg.controls || {}, msg.can_control, msg.read_only);
  } else if (msg.type === "controls") {
    for (const [name, value] of Object.entries(msg.values)) {
      const el = $("ctl-" + name);
      if (el && document.activeElement !== el) el.value = String(value);
      if (state.controls[name]) state.controls[name].value = value;
    }
    document.body.dataset.controls = JSON.stringify(msg.values);
  } else if (msg.type === "status") {
    setStatus(msg.text);
  } else if (msg.type === "error") {
    $("control-note").textContent = msg.text;
  }
}

function buildControls(controls, canControl, readOnly) {
  state.controls = controls;
  const names = Object.keys(controls);
  const list = $("control-list");
  list.textContent = "";
  $("controls").hidden = names.length === 0;
  for (const name of names) {
    const c = controls[name];
    const row = document.createElement("div");
    row.className = "control";
    const label = document.createElement("label");
    label.textContent = c.label;
    label.htmlFor = "ctl-" + name;
    let input;
    if (c.kind === "choice") {
      input = document.createElement("select");
      for (const v of c.choices) {
        const o = document.createElement("option");
        o.value = String(v);
        o.textContent = `${v} ${c.unit}`;
        input.appendChild(o);
      }
    } else {
      input = document.createElement("input");
      input.type = "number";
      input.min = c.min;
      input.max = c.max;
      input.step = 1;
    }
    input.id = "ctl-" + name;
    input.value = String(c.value);
    input.disabled = !canControl;
    input.addEventListener("change", () => {
      const v = Number(input.value);
      const ok = Number.isInteger(v) && (c.kind === "choice" ? c.choices.includes(v) : v >= c.min && v <= c.max);
      if (ok) send({ type: "set", control: name, value: v });
      else input.value = String(c.value);
    });
    row.append(label, input);
    if (c.kind !== "choice") row.append(` ${c.unit} (${c.min} to ${c.max})`);
    list.appendChild(row);
  }
  $("control-note").textContent = canControl ? "" : readOnly
    ? "read-only viewer" : "open the URL with the token to change these";
}

function onFrame(buf) {
  const v = new DataView(buf);
  const magic = String.fromCharCode(v.getUint8(0), v.getUint8(1), v.getUint8(2), v.getUint8(3));
  if (magic !== "QVF1" || v.getUint16(4, true) !== HEADER) return;
  const f = {
    flags: v.getUint16(6, true), width: v.getUint16(8, true), height: v.getUint16(10, true),
    seq: v.getUint32(12, true), dropped: v.getUint32(16, true), timestamp: v.getFloat64(20, true),
    fps: v.getFloat32(36, true), buf,
  };
  state.toAck.push(f.seq);
  if (state.lastSeq !== null && f.seq > state.lastSeq + 1) state.skipped += f.seq - state.lastSeq - 1;
  state.lastSeq = f.seq;
  state.dropped += f.dropped;
  state.latest = f;
  if (!state.drawScheduled) {
    state.drawScheduled = true;
    requestAnimationFrame(draw);
  }
}

// The colour range of automatic mode: the 2nd and 98th percentiles of the
// valid depths, so a few stray pixels do not squash the rest; from a
// histogram of 16 mm bins, which costs one pass and no sort.
const histogram = new Uint32Array(4096);
function autoRange(depth) {
  histogram.fill(0);
  const step = Math.max(1, Math.floor(depth.length / 40000));
  let count = 0;
  for (let i = 0; i < depth.length; i += step) {
    const d = depth[i];
    if (d > 0) { histogram[d >> 4]++; count++; }
  }
  if (count < 2) return [0, 4000];
  const percentile = (q) => {
    const want = q * count;
    let sum = 0;
    for (let b = 0; b < histogram.length; b++) {
      sum += histogram[b];
      if (sum >= want) return b * 16 + 8;
    }
    return 65535;
  };
  const lo = percentile(0.02), hi = percentile(0.98);
  return hi > lo ? [lo, hi] : [lo - 8, lo + 8];
}

function ensureSize(w, h) {
  if (state.width === w && state.height === h) return;
  state.width = w;
  state.height = h;
  state.depthImage = new ImageData(w, h);
  state.ampImage = new ImageData(w, h);
  for (const id of ["depth", "amplitude"]) {
    $(id).width = w;
    $(id).height = h;
    $(id).style.width = (w <= 320 ? 2 * w : w) + "px";
  }
}

function draw() {
  state.drawScheduled = false;
  const f = state.latest;
  if (!f) return;
  const w = f.width, h = f.height, n = w * h;
  ensureSize(w, h);
  const depth = new Uint16Array(f.buf, HEADER, n);
  state.depth = depth;
  if ($("cmode-auto").checked) {
    [state.lo, state.hi] = autoRange(depth);
    $("cmin").value = state.lo;
    $("cmax").value = state.hi;
  } else {
    state.lo = Number($("cmin").value) || 0;
    state.hi = Math.max(state.lo + 1, Number($("cmax").value) || 1);
  }
  const dctx = $("depth").getContext("2d");
  const img = state.depthImage;
  const px = img.data, scale = 255 / (state.hi - state.lo), lo = state.lo;
  for (let i = 0, o = 0; i < n; i++, o += 4) {
    const d = depth[i];
    if (d === 0) { px[o] = px[o + 1] = px[o + 2] = 0; }
    else {
      let k = Math.round((d - lo) * scale);
      k = k < 0 ? 0 : k > 255 ? 255 : k;
      px[o] = LUT[k * 3]; px[o + 1] = LUT[k * 3 + 1]; px[o + 2] = LUT[k * 3 + 2];
    }
    px[o + 3] = 255;
  }
  dctx.putImageData(img, 0, 0);
  if (f.flags & FLAG_AMPLITUDE) {
    const amp = new Uint8Array(f.buf, HEADER + 2 * n, n);
    const actx = $("amplitude").getContext("2d");
    const aimg = state.ampImage;
    const a = aimg.data;
    for (let i = 0, o = 0; i < n; i++, o += 4) { a[o] = a[o + 1] = a[o + 2] = amp[i]; a[o + 3] = 255; }
    actx.putImageData(aimg, 0, 0);
  }
  $("bar-lo").textContent = `${Math.round(state.lo)} mm`;
  $("bar-hi").textContent = `${Math.round(state.hi)} mm`;
  // Statistics of what this page shows.
  const now = performance.now();
  state.shownTimes.push(now);
  while (state.shownTimes.length > 1 && now - state.shownTimes[0] > 2000) state.shownTimes.shift();
  const span = (state.shownTimes[state.shownTimes.length - 1] - state.shownTimes[0]) / 1000;
  $("fps-shown").textContent = span > 0 ? ((state.shownTimes.length - 1) / span).toFixed(1) + " fps" : "-";
  $("fps-camera").textContent = f.fps > 0 ? f.fps.toFixed(1) + " fps" : "-";
  $("dropped").textContent = String(state.dropped);
  $("skipped").textContent = String(state.skipped);
  $("sequence").textContent = String(f.seq);
  $("timestamp").textContent = `${f.timestamp.toFixed(0)} ms`;
  if ($("points-on").checked) drawPoints(depth, w, h);
  state.frames++;
  document.body.dataset.frames = String(state.frames);
  updateReadout();
  // Acknowledge everything received, drawn or overtaken by a newer frame.
  for (const seq of state.toAck) send({ type: "ack", seq });
  state.toAck = [];
}

function drawColourBar() {
  const c = $("colourbar"), ctx = c.getContext("2d");
  const img = ctx.createImageData(c.width, c.height);
  for (let y = 0; y < c.height; y++) {
    const k = 255 - Math.round(y * 255 / (c.height - 1));  // far at the top
    for (let x = 0; x < c.width; x++) {
      const o = (y * c.width + x) * 4;
      img.data[o] = LUT[k * 3]; img.data[o + 1] = LUT[k * 3 + 1]; img.data[o + 2] = LUT[k * 3 + 2]; img.data[o + 3] = 255;
    }
  }
  ctx.putImageData(img, 0, 0);
}

function updateReadout() {
  const r = $("readout");
  if (!state.mouse || !state.depth) return;
  const [u, v] = state.mouse;
  if (u < 0 || v < 0 || u >= state.width || v >= state.height) return;
  const d = state.depth[v * state.width + u];
  r.dataset.u = u;
  r.dataset.v = v;
  r.dataset.mm = d;
  r.textContent = `x ${u}, y ${v}: ` + (d > 0 ? `${d} mm` : "no depth");
}

for (const id of ["depth", "amplitude"]) {
  $(id).addEventListener("mousemove", (e) => {
    const c = e.currentTarget, rect = c.getBoundingClientRect();
    state.mouse = [Math.floor((e.clientX - rect.left) * c.width / rect.width),
      Math.floor((e.clientY - rect.top) * c.height / rect.height)];
    updateReadout();
  });
}

// The point cloud: every pixel back-projected through the lens (x right, y
// down, z forward), turned about its middle, projected by a virtual camera,
// nearest point wins; coloured as the depth picture.
const view = { yaw: 0.5, pitch: -0.3, drag: null };
let zbuf = null;
function drawPoints(depth, w, h) {
  const k = state.intrinsics;
  const c = $("points"), ctx = c.getContext("2d");
  const W = c.width, H = c.height;
  const img = ctx.createImageData(W, H);
  if (!zbuf || zbuf.length !== W * H) zbuf = new Float32Array(W * H);
  zbuf.fill(Infinity);
  if (k) {
    const mid = (state.lo + state.hi) / 2, scale = 255 / (state.hi - state.lo);
    const cy = Math.cos(view.yaw), sy = Math.sin(view.yaw), cp = Math.cos(view.pitch), sp = Math.sin(view.pitch);
    const f = 0.9 * W, eye = 2.5 * mid, step = w * h > 100000 ? 2 : 1;
    for (let v = 0; v < h; v += step) {
      for (let u = 0; u < w; u += step) {
        const z = depth[v * w + u];
        if (z === 0) continue;
        const x = (u - k.cx) * z / k.fx, y = (v - k.cy) * z / k.fy, zc = z - mid;
        const x1 = cy * x + sy * zc, z1 = -sy * x + cy * zc;
        const y2 = cp * y - sp * z1, z2 = sp * y + cp * z1 + eye;
        if (z2 <= 1) continue;
        const px = Math.round(W / 2 + f * x1 / z2), py = Math.round(H / 2 + f * y2 / z2);
        if (px < 0 || py < 0 || px >= W || py >= H) continue;
        const o = py * W + px;
        if (z2 >= zbuf[o]) continue;
        zbuf[o] = z2;
        let q = Math.round((z - state.lo) * scale);
        q = q < 0 ? 0 : q > 255 ? 255 : q;
        img.data[o * 4] = LUT[q * 3]; img.data[o * 4 + 1] = LUT[q * 3 + 1];
        img.data[o * 4 + 2] = LUT[q * 3 + 2]; img.data[o * 4 + 3] = 255;
      }
    }
  }
  ctx.putImageData(img, 0, 0);
}

$("points-on").addEventListener("change", (e) => {
  $("points").hidden = $("points-note").hidden = !e.target.checked;
});
$("points").addEventListener("mousedown", (e) => { view.drag = [e.clientX, e.clientY]; });
window.addEventListener("mouseup", () => { view.drag = null; });
window.addEventListener("mousemove", (e) => {
  if (!view.drag) return;
  view.yaw += (e.clientX - view.drag[0]) * 0.01;
  view.pitch = Math.max(-1.5, Math.min(1.5, view.pitch - (e.clientY - view.drag[1]) * 0.01));
  view.drag = [e.clientX, e.clientY];
});

drawColourBar();
connect();
