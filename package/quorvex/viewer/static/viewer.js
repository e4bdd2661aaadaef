// The viewer's page: draws the frames the server sends over the WebSocket,
// acknowledges each one once drawn (the server sends no more than two
// ahead, so a slow page gets fewer frames instead of a growing backlog), and
// sends control changes. Plain script, no build step, nothing fetched from
// elsewhere. Colour maps, the automatic range rule and the lens come from the
// server, so that this page and the package's pictures and points agree.
"use strict";

const HEADER = 56;
const FLAG_AMPLITUDE = 1, FLAG_CONFIDENCE = 2, FLAG_FILTERED = 4;
const LIVE = 0xFFFFFFFF;
const token = new URLSearchParams(location.search).get("token");
const $ = (id) => document.getElementById(id);

const state = {
  ws: null, width: 0, height: 0, latest: null, toAck: [], drawScheduled: false,
  depth: null, lastSeq: null, skipped: 0, dropped: 0, shownTimes: [], mouse: null,
  lo: 0, hi: 4000, controls: {}, frames: 0, maps: null, map: "turbo",
  rule: { low: 0.02, high: 0.98, bin_mm: 16, samples: 40000, default: [0, 4000] },
  paused: false, stepping: false, held: [], rays: null, points: null, nPoints: 0,
  recording: null, f: null, filters: null, invalid: 0, sourceKind: "camera", canControl: false,
  dragging: null,
};

// One pause: a recording's is the server's transport (the Play box), so that
// pausing holds the recording itself and resuming goes on from the frame
// shown; a live source (or a page that may not control) is held by the page.
function transportPause() {
  return !!(state.recording && state.controls.playing && state.canControl);
}
function isPaused() {
  return transportPause() ? state.controls.playing.value !== 1 : state.paused;
}

// The pause button, Step and the counters follow whichever pause is in force.
function followPause() {
  const paused = isPaused();
  $("pause").textContent = paused ? "Resume" : "Pause";
  $("step").disabled = !paused;
  document.body.dataset.paused = paused ? "1" : "0";
  if (paused) $("fps-shown").textContent = "paused";
}

function setStatus(text, bad) {
  $("status").textContent = text;
  $("status").className = bad ? "bad" : "";
  document.body.dataset.status = text;
  if (state.recording) $("playback-note").textContent = text === "end of the recording" ? "end" : "";
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

// Colour maps ------------------------------------------------------------------
function lut() { return state.maps[state.map].table; }
function invalidColour() { return state.maps[state.map].invalid; }

function setMaps(maps, chosen) {
  state.maps = maps;
  state.map = chosen in maps ? chosen : Object.keys(maps)[0];
  const sel = $("cmap");
  sel.textContent = "";
  for (const name of Object.keys(maps)) {
    const o = document.createElement("option");
    o.value = o.textContent = name;
    sel.appendChild(o);
  }
  sel.value = state.map;
  showInvalidSwatch();
}

function showInvalidSwatch() {
  const [r, g, b] = invalidColour();
  $("invalid-swatch").style.background = `rgb(${r},${g},${b})`;
}

// The table index of a depth: 256 equal steps over lo..hi, clipped at both
// ends; the package's colour_index does the same sums.
function colourIndex(d, lo, hi) {
  const k = Math.floor((d - lo) * 256 / (hi - lo));
  return k < 0 ? 0 : k > 255 ? 255 : k;
}

// The automatic range: the server's percentiles of the valid depths, from a
// histogram of a subsample, as the package's auto_range computes it.
let histogram = null;
function autoRange(depth) {
  const r = state.rule, bins = Math.ceil(65536 / r.bin_mm);
  if (!histogram || histogram.length !== bins) histogram = new Uint32Array(bins);
  histogram.fill(0);
  const step = Math.max(1, Math.floor(depth.length / r.samples));
  let count = 0;
  for (let i = 0; i < depth.length; i += step) {
    const d = depth[i];
    if (d > 0) { histogram[Math.floor(d / r.bin_mm)]++; count++; }
  }
  if (count < 2) return r.default.slice();
  const half = Math.floor(r.bin_mm / 2);
  const percentile = (q) => {
    const want = q * count;
    let sum = 0;
    for (let b = 0; b < histogram.length; b++) {
      sum += histogram[b];
      if (sum >= want) return b * r.bin_mm + half;
    }
    return 65535;
  };
  const lo = percentile(r.low), hi = percentile(r.high);
  return hi > lo ? [lo, hi] : [lo - half, lo + half];
}

// Round values (1, 2 or 5 times a power of ten) inside lo..hi, at most `most`.
function ticks(lo, hi, most) {
  const span = hi - lo;
  if (!(span > 0)) return [lo];
  for (let p = -3; p < 8; p++) {
    for (const m of [1, 2, 5]) {
      const step = m * Math.pow(10, p), first = Math.ceil(lo / step) * step;
      const n = Math.floor((hi - first) / step + 1e-9) + 1;
      if (n <= most) return Array.from({ length: n }, (_, i) => +(first + i * step).toFixed(6));
    }
  }
  return [lo, hi];
}

// A vertical bar of a table, high values at the top, ticked and labelled;
// redrawn only when its table, range or unit changes.
const gradients = new Map();
function drawBar(canvas, table, lo, hi, unit) {
  const key = `${lo}|${hi}|${unit}|${table === GREY ? "grey" : state.map}`;
  if (canvas.dataset.key === key) return;
  canvas.dataset.key = key;
  const ctx = canvas.getContext("2d"), W = canvas.width, H = canvas.height;
  // The title sits above the bar, clear of the top tick's label.
  const top = 24, bottom = H - 7, barW = 16, span = bottom - top;
  ctx.fillStyle = "#fff";
  ctx.fillRect(0, 0, W, H);
  const gkey = `${key.split("|").pop()}|${span}`;
  if (!gradients.has(gkey)) {
    const img = ctx.createImageData(barW, span);
    for (let y = 0; y < span; y++) {
      const k = 3 * Math.min(255, Math.floor((span - 1 - y) * 256 / span));
      for (let x = 0; x < barW; x++) {
        const o = 4 * (y * barW + x);
        img.data[o] = table[k]; img.data[o + 1] = table[k + 1]; img.data[o + 2] = table[k + 2]; img.data[o + 3] = 255;
      }
    }
    gradients.set(gkey, img);
  }
  ctx.putImageData(gradients.get(gkey), 0, top);
  ctx.strokeStyle = "#999";
  ctx.strokeRect(0.5, top + 0.5, barW - 1, span - 1);
  ctx.fillStyle = "#222";
  ctx.font = "11px sans-serif";
  ctx.textBaseline = "middle";
  ctx.fillText(unit, 0, 8);
  for (const t of ticks(lo, hi, 6)) {
    const y = Math.round(bottom - (t - lo) * span / (hi - lo));
    ctx.fillRect(barW, y, 4, 1);
    ctx.fillText(String(t), barW + 6, y);
  }
}

const GREY = new Uint8Array(768).map((_, i) => Math.floor(i / 3));

// Messages ---------------------------------------------------------------------
function onText(msg) {
  if (msg.type === "hello") {
    const i = msg.info || {};
    $("source").textContent = [i.source, i.variant, i.width && `${i.width}x${i.height}`, i.version && `v${i.version}`]
      .filter(Boolean).join("  ");
    if (msg.status && msg.status !== "streaming") setStatus(msg.status);
    state.intrinsics = i.intrinsics || null;
    state.rays = null;
    if (msg.range_rule) state.rule = msg.range_rule;
    if (msg.colormaps) setMaps(msg.colormaps, msg.colormap);
    state.recording = msg.recording || null;
    state.filters = msg.filters || null;
    state.sourceKind = msg.source_kind || "camera";
    state.canControl = !!msg.can_control;
    $("lens-note").textContent = msg.lens === "given" ? "the lens the source or --calibration gives"
      : "nominal lens, not a calibration";
    $("playback").hidden = !state.recording;
    const camera = state.sourceKind === "camera";
    $("rate-label").textContent = camera ? "camera" : "source";
    $("dropped-label").textContent = camera ? "dropped by the camera" : "dropped by the source";
    buildControls(msg.controls || {}, msg.can_control, msg.read_only);
    followPause();
  } else if (msg.type === "controls") {
    for (const [name, value] of Object.entries(msg.values)) {
      const el = $("ctl-" + name);
      // What the server holds, focused or not; only a slider still held by
      // the pointer keeps the value being chosen.
      if (el && state.dragging !== el) {
        if (el.type === "checkbox") el.checked = value === 1;
        else el.value = String(value);
        showValue(name, value);
      }
      if (state.controls[name]) state.controls[name].value = value;
    }
    followFilterToggle();
    followPause();
    document.body.dataset.controls = JSON.stringify(msg.values);
  } else if (msg.type === "status") {
    setStatus(msg.text);
  } else if (msg.type === "latency") {
    $("capture-latency").textContent = `${msg.capture_to_screen_ms.toFixed(1)} ms`;
  } else if (msg.type === "error") {
    $("control-note").textContent = msg.text;
  }
}

function showValue(name, value) {
  const out = $("val-" + name);
  if (out) out.textContent = String(value);
}

function controlInput(name, c) {
  let input;
  if (c.widget === "toggle") {
    input = document.createElement("input");
    input.type = "checkbox";
    input.checked = c.value === 1;
  } else if (c.kind === "choice") {
    input = document.createElement("select");
    for (const v of c.choices) {
      const o = document.createElement("option");
      o.value = String(v);
      o.textContent = `${v} ${c.unit}`;
      input.appendChild(o);
    }
  } else {
    input = document.createElement("input");
    input.type = c.widget === "slider" ? "range" : "number";
    input.min = c.min;
    input.max = c.max;
    input.step = 1;
  }
  if (input.type !== "checkbox") input.value = String(c.value);
  return input;
}

// The threshold means nothing while the raw depth is shown.
function followFilterToggle() {
  const toggle = state.controls.filtered, slider = $("ctl-confidence");
  if (toggle && slider) slider.disabled = toggle.value !== 1 || $("ctl-filtered").disabled;
}

function buildControls(controls, canControl, readOnly) {
  state.controls = controls;
  const lists = { camera: $("control-list"), filters: $("filter-list"), playback: $("playback-list") };
  for (const l of Object.values(lists)) l.textContent = "";
  const used = new Set();
  for (const [name, c] of Object.entries(controls)) {
    const group = c.group || "camera";
    used.add(group);
    const row = document.createElement("span");
    row.className = "control";
    const label = document.createElement("label");
    label.textContent = c.label;
    label.htmlFor = "ctl-" + name;
    const input = controlInput(name, c);
    input.id = "ctl-" + name;
    input.disabled = !canControl;
    input.addEventListener(c.widget === "slider" ? "input" : "change", () => showValue(name, input.value));
    if (c.widget === "slider") {
      input.addEventListener("pointerdown", () => { state.dragging = input; });
      input.addEventListener("pointerup", () => { if (state.dragging === input) state.dragging = null; });
    }
    input.addEventListener("change", () => {
      const v = input.type === "checkbox" ? (input.checked ? 1 : 0) : Number(input.value);
      const ok = Number.isInteger(v) && (c.kind === "choice" ? c.choices.includes(v) : v >= c.min && v <= c.max);
      if (ok) send({ type: "set", control: name, value: v });
      else input.value = String(c.value);
    });
    row.append(label, " ", input);
    if (c.widget === "slider") {
      const out = document.createElement("span");
      out.id = "val-" + name;
      out.textContent = String(c.value);
      row.append(" ", out, c.unit ? ` ${c.unit}` : "");
    } else if (c.kind !== "choice") {
      row.append(` ${c.unit} (${c.min} to ${c.max})`);
    }
    lists[group === "filters" || group === "playback" ? group : "camera"].appendChild(row);
    if (group !== "playback") lists[group === "filters" ? "filters" : "camera"].appendChild(document.createElement("br"));
  }
  $("controls").hidden = !used.has("camera");
  $("filters").hidden = !used.has("filters");
  followFilterToggle();
  $("control-note").textContent = canControl || !Object.keys(controls).length ? "" : readOnly
    ? "read-only viewer" : "open the URL with the token to change the controls";
}

function onFrame(buf) {
  const v = new DataView(buf);
  const magic = String.fromCharCode(v.getUint8(0), v.getUint8(1), v.getUint8(2), v.getUint8(3));
  if (magic !== "QVF2" || v.getUint16(4, true) !== HEADER) return;
  const f = {
    flags: v.getUint16(6, true), width: v.getUint16(8, true), height: v.getUint16(10, true),
    seq: v.getUint32(12, true), dropped: v.getUint32(16, true), timestamp: v.getFloat64(20, true),
    fps: v.getFloat32(36, true), ampScale: v.getFloat32(40, true), confScale: v.getFloat32(44, true),
    position: v.getUint32(48, true), buf,
  };
  if (state.paused && !transportPause() && !state.stepping) {
    // Held unacknowledged: the server sends nothing more while paused.
    state.held.push(f.seq);
    return;
  }
  state.stepping = false;
  state.toAck.push(f.seq);
  if (state.lastSeq !== null && f.seq > state.lastSeq + 1) state.skipped += f.seq - state.lastSeq - 1;
  state.lastSeq = f.seq;
  state.dropped += f.dropped;
  state.latest = f;
  scheduleDraw();
}

function scheduleDraw() {
  if (!state.drawScheduled) {
    state.drawScheduled = true;
    requestAnimationFrame(draw);
  }
}

function ensureSize(w, h) {
  if (state.width === w && state.height === h) return;
  state.width = w;
  state.height = h;
  state.rays = null;
  // Depth large, amplitude and confidence at half its size beside it.
  for (const id of ["depth", "amplitude", "confidence"]) {
    $(id).width = w;
    $(id).height = h;
    const full = w <= 320 ? 2 * w : w;
    $(id).style.width = (id === "depth" ? full : full / 2) + "px";
  }
  state.images = { depth: new ImageData(w, h), amplitude: new ImageData(w, h), confidence: new ImageData(w, h) };
  state.points = new Float32Array(3 * w * h);
  state.pointDepth = new Uint16Array(w * h);
}

function greyImage(id, plane) {
  const img = state.images[id], a = img.data;
  for (let i = 0, o = 0; i < plane.length; i++, o += 4) { a[o] = a[o + 1] = a[o + 2] = plane[i]; a[o + 3] = 255; }
  $(id).getContext("2d").putImageData(img, 0, 0);
}

function draw() {
  state.drawScheduled = false;
  const f = state.latest;
  if (!f) return;
  const w = f.width, h = f.height, n = w * h;
  ensureSize(w, h);
  const depth = new Uint16Array(f.buf, HEADER, n);
  state.depth = depth;
  state.f = f;
  if ($("cmode-auto").checked) {
    [state.lo, state.hi] = autoRange(depth);
    $("cmin").value = state.lo;
    $("cmax").value = state.hi;
  } else {
    state.lo = Number($("cmin").value) || 0;
    state.hi = Math.max(state.lo + 1, Number($("cmax").value) || 1);
  }
  paintDepth();
  let offset = HEADER + 2 * n;
  if (f.flags & FLAG_AMPLITUDE) {
    greyImage("amplitude", new Uint8Array(f.buf, offset, n));
    offset += n;
    if (f.ampScale > 0) drawBar($("amp-bar"), GREY, 0, 255 / f.ampScale, "amplitude");
  }
  if (f.flags & FLAG_CONFIDENCE) {
    greyImage("confidence", new Uint8Array(f.buf, offset, n));
    if (f.confScale > 0) drawBar($("conf-bar"), GREY, 0, 255 / f.confScale, "confidence");
  }
  const chain = state.filters;
  $("depth-kind").textContent = !(f.flags & FLAG_FILTERED) ? "raw"
    : chain ? `filtered (${chain.preset}${chain.by === "source" ? ", by the source" : ""})` : "filtered";
  document.body.dataset.filtered = f.flags & FLAG_FILTERED ? "1" : "0";
  const share = n ? (100 * state.invalid / n).toFixed(1) : "0.0";
  $("invalid").textContent = `${state.invalid} (${share} %)`;
  document.body.dataset.invalid = String(state.invalid);
  // Statistics of what this page shows.
  const now = performance.now();
  state.shownTimes.push(now);
  while (state.shownTimes.length > 1 && now - state.shownTimes[0] > 2000) state.shownTimes.shift();
  const span = (state.shownTimes[state.shownTimes.length - 1] - state.shownTimes[0]) / 1000;
  $("fps-shown").textContent = isPaused() ? "paused"
    : span > 0 ? ((state.shownTimes.length - 1) / span).toFixed(1) + " fps" : "-";
  $("fps-camera").textContent = f.fps > 0 ? f.fps.toFixed(1) + " fps" : "-";
  $("dropped").textContent = String(state.dropped);
  $("skipped").textContent = String(state.skipped);
  // A recording's frame is its place in the file, as on the slider.
  $("sequence").textContent = f.position !== LIVE && state.recording
    ? `${f.position} of ${state.recording.frames}` : String(f.seq);
  $("timestamp").textContent = `${f.timestamp.toFixed(0)} ms`;
  if (f.position !== LIVE) {
    const el = $("ctl-position");
    if (el && state.dragging !== el) { el.value = String(f.position); showValue("position", f.position); }
    document.body.dataset.position = String(f.position);
    if (!("firstPosition" in document.body.dataset)) document.body.dataset.firstPosition = String(f.position);
  }
  state.pointsOf = null;
  if ($("points-on").checked) drawPoints();
  state.frames++;
  document.body.dataset.frames = String(state.frames);
  document.body.dataset.sequence = String(f.seq);
  updateReadout();
  // Acknowledge everything received, drawn or overtaken by a newer frame.
  for (const seq of state.toAck) send({ type: "ack", seq });
  state.toAck = [];
}

function paintDepth() {
  const depth = state.depth, img = state.images.depth, px = img.data, table = lut(), bad = invalidColour();
  const lo = state.lo, hi = state.hi;
  let invalid = 0;
  for (let i = 0, o = 0; i < depth.length; i++, o += 4) {
    const d = depth[i];
    if (d === 0) { px[o] = bad[0]; px[o + 1] = bad[1]; px[o + 2] = bad[2]; invalid++; }
    else {
      const k = 3 * colourIndex(d, lo, hi);
      px[o] = table[k]; px[o + 1] = table[k + 1]; px[o + 2] = table[k + 2];
    }
    px[o + 3] = 255;
  }
  state.invalid = invalid;
  $("depth").getContext("2d").putImageData(img, 0, 0);
  drawBar($("colourbar"), table, state.lo, state.hi, "depth, mm");
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

for (const id of ["depth", "amplitude", "confidence"]) {
  $(id).addEventListener("mousemove", (e) => {
    const c = e.currentTarget, rect = c.getBoundingClientRect();
    state.mouse = [Math.floor((e.clientX - rect.left) * c.width / rect.width),
      Math.floor((e.clientY - rect.top) * c.height / rect.height)];
    updateReadout();
  });
}

// Points ---------------------------------------------------------------------
// The module measures the distance along each pixel's ray, so a point is
// its unit ray times the depth: the rays are those of the package's
// depth_to_points, computed in double and kept in single precision as there.
// Through a lens with distortion, a pixel's ray is the undistorted point,
// found by Newton's method as the package's undistort does; NaN where the
// lens shows no ray.
function undistort(k, xd, yd) {
  const k1 = k.k1 || 0, k2 = k.k2 || 0, p1 = k.p1 || 0, p2 = k.p2 || 0, k3 = k.k3 || 0;
  let x = xd, y = yd;
  const distort = (x, y) => {
    const r2 = x * x + y * y, radial = 1 + r2 * (k1 + r2 * (k2 + r2 * k3));
    return [x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x), y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y];
  };
  for (let i = 0; i < 30; i++) {
    const r2 = x * x + y * y, radial = 1 + r2 * (k1 + r2 * (k2 + r2 * k3));
    const slope = k1 + r2 * (2 * k2 + 3 * k3 * r2);
    const [dx0, dy0] = distort(x, y), ex = dx0 - xd, ey = dy0 - yd;
    const a = radial + 2 * x * x * slope + 2 * p1 * y + 6 * p2 * x;
    const b = 2 * x * y * slope + 2 * p1 * x + 2 * p2 * y;
    const d = radial + 2 * y * y * slope + 6 * p1 * y + 2 * p2 * x;
    const det = a * d - b * b, dx = (d * ex - b * ey) / det, dy = (a * ey - b * ex) / det;
    x -= dx; y -= dy;
    if (!(Math.abs(dx) > 1e-12 || Math.abs(dy) > 1e-12)) break;
  }
  const [cx, cy] = distort(x, y);
  return Math.abs(cx - xd) < 1e-9 && Math.abs(cy - yd) < 1e-9 ? [x, y] : [NaN, NaN];
}

function unitRays(w, h) {
  const k = state.intrinsics, rays = new Float32Array(3 * w * h);
  const distorted = [k.k1, k.k2, k.p1, k.p2, k.k3].some((c) => c);
  for (let v = 0, o = 0; v < h; v++) {
    const yd = (v - k.cy) / k.fy;
    for (let u = 0; u < w; u++, o += 3) {
      const xd = (u - k.cx) / k.fx;
      const [x, y] = distorted ? undistort(k, xd, yd) : [xd, yd];
      const norm = Math.sqrt(x * x + y * y + 1);
      rays[o] = x / norm; rays[o + 1] = y / norm; rays[o + 2] = 1 / norm;
    }
  }
  return rays;
}

const MM = Math.fround(0.001);
// The points of the frame shown, made when first asked for.
function ensurePoints() {
  if (state.depth && state.pointsOf !== state.depth) {
    makePoints(state.depth, state.width, state.height);
    state.pointsOf = state.depth;
  }
}

function makePoints(depth, w, h) {
  state.nPoints = 0;
  if (!state.intrinsics || state.intrinsics.width !== w || state.intrinsics.height !== h) return;
  if (!state.rays) state.rays = unitRays(w, h);
  const rays = state.rays, pts = state.points, pd = state.pointDepth;
  let n = 0;
  for (let i = 0; i < depth.length; i++) {
    const d = depth[i], o = 3 * i;
    if (d === 0 || Number.isNaN(rays[o])) continue;
    const r = Math.fround(d * MM);
    pts[3 * n] = rays[o] * r; pts[3 * n + 1] = rays[o + 1] * r; pts[3 * n + 2] = rays[o + 2] * r;
    pd[n++] = d;
  }
  state.nPoints = n;
}

const VIEW0 = { yaw: 0.5, pitch: -0.3, distance: null };
const view = { ...VIEW0, drag: null };
let zbuf = null;

function projector(W, H) {
  const mid = (state.lo + state.hi) / 2000;
  if (view.distance === null) view.distance = Math.max(0.5, 2.5 * mid);
  const cy = Math.cos(view.yaw), sy = Math.sin(view.yaw), cp = Math.cos(view.pitch), sp = Math.sin(view.pitch);
  const f = 0.9 * W, dist = view.distance;
  return (x, y, z) => {
    const zc = z - mid;
    const x1 = cy * x + sy * zc, z1 = -sy * x + cy * zc;
    const y2 = cp * y - sp * z1, z2 = sp * y + cp * z1 + dist;
    if (z2 <= 0.05) return null;
    return [W / 2 + f * x1 / z2, H / 2 + f * y2 / z2, z2];
  };
}

function line(ctx, project, a, b, pieces) {
  // In pieces, so that a line passing behind the eye keeps its visible part.
  let prev = null;
  for (let i = 0; i <= pieces; i++) {
    const t = i / pieces;
    const p = project(a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1]), a[2] + t * (b[2] - a[2]));
    if (p && prev) { ctx.moveTo(prev[0], prev[1]); ctx.lineTo(p[0], p[1]); }
    prev = p;
  }
}

function drawPoints() {
  const c = $("points"), ctx = c.getContext("2d");
  const W = c.width, H = c.height;
  const img = ctx.createImageData(W, H);
  if (!zbuf || zbuf.length !== W * H) zbuf = new Float32Array(W * H);
  zbuf.fill(Infinity);
  ensurePoints();
  const project = projector(W, H), table = lut(), pts = state.points, pd = state.pointDepth;
  let floor = 0, far = 1;
  for (let i = 0; i < state.nPoints; i++) {
    const x = pts[3 * i], y = pts[3 * i + 1], z = pts[3 * i + 2];
    if (y > floor) floor = y;
    if (z > far) far = z;
    const p = project(x, y, z);
    if (!p) continue;
    const px = Math.round(p[0]), py = Math.round(p[1]);
    if (px < 0 || py < 0 || px >= W - 1 || py >= H - 1) continue;
    const k = 3 * colourIndex(pd[i], state.lo, state.hi);
    // A 2 x 2 dot: a surface seen at a slant stays closed.
    for (const o of [py * W + px, py * W + px + 1, (py + 1) * W + px, (py + 1) * W + px + 1]) {
      if (p[2] >= zbuf[o]) continue;
      zbuf[o] = p[2];
      img.data[o * 4] = table[k]; img.data[o * 4 + 1] = table[k + 1];
      img.data[o * 4 + 2] = table[k + 2]; img.data[o * 4 + 3] = 255;
    }
  }
  const gy = Math.ceil(floor * 10) / 10, zMax = Math.ceil(far * 2) / 2 + 0.5;
  // Axes from the camera, ticked every 0.5 m, drawn into the picture with
  // the points' depth test: a point in front hides them.
  const axes = [[0, [255, 68, 68], "#f44", 1], [1, [68, 255, 68], "#4f4", 1], [2, [68, 136, 255], "#48f", zMax]];
  for (const [axis, rgb, , length] of axes) {
    const end = [0, 0, 0];
    end[axis] = length;
    depthLine(img, W, H, project, [0, 0, 0], end, rgb);
  }
  ctx.putImageData(img, 0, 0);
  // The floor: a 0.5 m grid on the plane through the lowest point (y is down),
  // behind everything drawn.
  ctx.globalCompositeOperation = "destination-over";
  ctx.strokeStyle = "#555";
  ctx.beginPath();
  for (let x = -2; x <= 2; x += 0.5) line(ctx, project, [x, gy, 0], [x, gy, zMax], 16);
  for (let z = 0; z <= zMax; z += 0.5) line(ctx, project, [-2, gy, z], [2, gy, z], 16);
  ctx.stroke();
  ctx.globalCompositeOperation = "source-over";
  // Tick labels only where no point in front covers their place.
  ctx.font = "11px sans-serif";
  ctx.textBaseline = "alphabetic";
  const shown = [];
  for (const [axis, , css, length] of axes) {
    ctx.fillStyle = css;
    for (let t = 0.5; t <= length + 1e-9; t += 0.5) {
      const at = [0, 0, 0];
      at[axis] = t;
      const p = project(at[0], at[1], at[2]);
      const text = `${t} m`;
      if (p && labelClear(W, H, p, ctx.measureText(text).width)) {
        ctx.fillText(text, p[0] + 3, p[1] - 3);
        shown.push(`${"xyz"[axis]}:${t}`);
      }
    }
  }
  c.dataset.labels = shown.join(" ");
  drawTriad(ctx, W, H);
}

// A line through the points' z-buffer: each pixel is drawn only where no
// point nearer was drawn there.
function depthLine(img, W, H, project, a, b, rgb) {
  const pieces = 64, d = img.data;
  let prev = null;
  for (let i = 0; i <= pieces; i++) {
    const t = i / pieces;
    const p = project(a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1]), a[2] + t * (b[2] - a[2]));
    if (p && prev) {
      const steps = Math.max(1, Math.ceil(Math.max(Math.abs(p[0] - prev[0]), Math.abs(p[1] - prev[1]))));
      if (steps > 4 * (W + H)) { prev = p; continue; }
      for (let j = 0; j <= steps; j++) {
        const s = j / steps, x = Math.round(prev[0] + s * (p[0] - prev[0])), y = Math.round(prev[1] + s * (p[1] - prev[1]));
        if (x < 0 || y < 0 || x >= W || y >= H) continue;
        const o = y * W + x, z = prev[2] + s * (p[2] - prev[2]);
        // Tested against the points only: the buffer stays theirs, so
        // that a label is judged by the points in front of it.
        if (z >= zbuf[o]) continue;
        d[4 * o] = rgb[0]; d[4 * o + 1] = rgb[1]; d[4 * o + 2] = rgb[2]; d[4 * o + 3] = 255;
      }
    }
    prev = p;
  }
}

// True when no point nearer than the tick lies under its label's box.
function labelClear(W, H, p, width) {
  const x0 = Math.round(p[0]), x1 = Math.round(p[0] + 4 + width), y0 = Math.round(p[1] - 14), y1 = Math.round(p[1]);
  if (x0 < 0 || y0 < 0 || x1 >= W || y1 >= H) return false;
  for (let y = y0; y <= y1; y++) {
    for (let x = x0; x <= x1; x++) if (zbuf[y * W + x] < p[2] - 1e-6) return false;
  }
  return true;
}

// The axes' directions in a corner beside the cloud, with their names,
// turned as the view is: which way is x, y and z whatever hides the axes.
function drawTriad(ctx, W, H) {
  const cy = Math.cos(view.yaw), sy = Math.sin(view.yaw), cp = Math.cos(view.pitch), sp = Math.sin(view.pitch);
  const ox = 40, oy = H - 40, len = 26;
  ctx.font = "12px sans-serif";
  ctx.textAlign = "center";
  ctx.textBaseline = "middle";
  for (const [axis, css] of [[0, "#f44"], [1, "#4f4"], [2, "#48f"]]) {
    const v = [0, 0, 0];
    v[axis] = 1;
    const x1 = cy * v[0] + sy * v[2], z1 = -sy * v[0] + cy * v[2], y2 = cp * v[1] - sp * z1;
    ctx.strokeStyle = ctx.fillStyle = css;
    ctx.beginPath();
    ctx.moveTo(ox, oy);
    ctx.lineTo(ox + len * x1, oy + len * y2);
    ctx.stroke();
    ctx.fillText("xyz"[axis], ox + (len + 7) * x1, oy + (len + 7) * y2);
  }
  ctx.textAlign = "start";
  ctx.textBaseline = "alphabetic";
}

// The 3D canvas is as wide as its pane lets it be, drawn at that many
// pixels up to a bound (beyond it, scaled up): each frame costs the page
// a pass over every pixel.
const POINTS_MAX_WIDTH = 640;
function fitPoints() {
  const c = $("points"), w = Math.min(POINTS_MAX_WIDTH, Math.round(c.clientWidth));
  if (!(w > 0) || w === c.width) return;
  c.width = w;
  c.height = Math.round(0.76 * w);
  if (state.depth && $("points-on").checked) drawPoints();
}
if (window.ResizeObserver) new ResizeObserver(fitPoints).observe($("points-pane"));
window.addEventListener("resize", fitPoints);

$("points-on").addEventListener("change", (e) => {
  $("points").hidden = $("points-note").hidden = $("reset-view").hidden = !e.target.checked;
  fitPoints();
  if (e.target.checked && state.depth) drawPoints();
});
$("points").addEventListener("mousedown", (e) => { view.drag = [e.clientX, e.clientY]; });
window.addEventListener("mouseup", () => { view.drag = null; });
window.addEventListener("mousemove", (e) => {
  if (!view.drag) return;
  view.yaw += (e.clientX - view.drag[0]) * 0.01;
  view.pitch = Math.max(-1.5, Math.min(1.5, view.pitch - (e.clientY - view.drag[1]) * 0.01));
  view.drag = [e.clientX, e.clientY];
  if (state.paused) drawPoints();
});
$("points").addEventListener("wheel", (e) => {
  e.preventDefault();
  if (view.distance !== null) view.distance = Math.min(50, Math.max(0.1, view.distance * Math.exp(e.deltaY * 0.001)));
  if (state.paused) drawPoints();
}, { passive: false });
$("reset-view").addEventListener("click", () => {
  Object.assign(view, VIEW0);
  if (state.depth) drawPoints();
});

// Pause, step, snapshots ----------------------------------------------------------
function release() {
  for (const seq of state.held) send({ type: "ack", seq });
  state.held = [];
}

// Frames missed while paused were never to be drawn: neither skipped for a
// slow page nor part of the rate shown.
function freshCounts() {
  state.lastSeq = null;
  state.shownTimes = [];
}

$("pause").addEventListener("click", () => {
  if (transportPause()) {
    send({ type: "set", control: "playing", value: isPaused() ? 1 : 0 });
    freshCounts();
    return;
  }
  state.paused = !state.paused;
  followPause();
  if (!state.paused) { freshCounts(); release(); }
});
$("step").addEventListener("click", () => {
  freshCounts();
  if (transportPause()) {
    // The recording's next frame, shown and held.
    const c = state.controls.position, at = state.f && state.f.position !== LIVE ? state.f.position : c.value;
    send({ type: "set", control: "position", value: Math.min(at + 1, c.max) });
    return;
  }
  // The next frame the server sends is drawn: a fresh one, not one held.
  state.stepping = true;
  release();
});
$("cmap").addEventListener("change", (e) => {
  state.map = e.target.value;
  showInvalidSwatch();
  if (state.depth) { paintDepth(); if ($("points-on").checked) drawPoints(); }
});

function download(blob, name) {
  const a = document.createElement("a");
  a.href = URL.createObjectURL(blob);
  a.download = name;
  document.body.appendChild(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 10000);
}

function snapshotName(ext) { return `quorvex-${state.f ? state.f.seq : 0}.${ext}`; }

$("snap-png").addEventListener("click", () => {
  if (!state.depth) return;
  const src = $("depth"), bar = $("colourbar"), scale = src.width <= 320 ? 2 : 1;
  const W = src.width * scale, H = Math.max(src.height * scale, bar.height);
  const c = document.createElement("canvas");
  c.width = W + bar.width + 8;
  c.height = H;
  const ctx = c.getContext("2d");
  ctx.fillStyle = "#fff";
  ctx.fillRect(0, 0, c.width, c.height);
  ctx.imageSmoothingEnabled = false;
  ctx.drawImage(src, 0, 0, W, src.height * scale);
  ctx.drawImage(bar, W + 8, 0);
  c.toBlob((blob) => download(blob, snapshotName("png")), "image/png");
});

// The points of the frame shown, in the package's PLY layout (binary
// little-endian float x, y, z and uchar red, green, blue of the colour map).
function plyBytes() {
  ensurePoints();
  const n = state.nPoints, table = lut();
  const head = ["ply", "format binary_little_endian 1.0", `element vertex ${n}`, "property float x",
    "property float y", "property float z", "property uchar red", "property uchar green",
    "property uchar blue", "end_header"].join("\n") + "\n";
  const headBytes = new TextEncoder().encode(head);
  const out = new Uint8Array(headBytes.length + 15 * n);
  out.set(headBytes);
  const v = new DataView(out.buffer, headBytes.length);
  for (let i = 0; i < n; i++) {
    const o = 15 * i, k = 3 * colourIndex(state.pointDepth[i], state.lo, state.hi);
    v.setFloat32(o, state.points[3 * i], true);
    v.setFloat32(o + 4, state.points[3 * i + 1], true);
    v.setFloat32(o + 8, state.points[3 * i + 2], true);
    v.setUint8(o + 12, table[k]); v.setUint8(o + 13, table[k + 1]); v.setUint8(o + 14, table[k + 2]);
  }
  return out;
}
$("snap-ply").addEventListener("click", () => {
  if (state.depth) download(new Blob([plyBytes()], { type: "application/octet-stream" }), snapshotName("ply"));
});

// What tests and scripts can read of the frame shown.
window.quorvexView = {
  frame: () => state.depth && ensurePoints() === undefined && {
    seq: state.f.seq, width: state.width, height: state.height, depth: Array.from(state.depth),
    range: [state.lo, state.hi], map: state.map,
    points: Array.from(state.points.subarray(0, 3 * state.nPoints)),
  },
};

connect();
