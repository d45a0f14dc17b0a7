// The console page: state from /api/state, live updates from /api/events,
// every action through the JSON API (which enforces the limits itself).
'use strict';

const token = new URLSearchParams(location.search).get('token');
const cards = {};            // address -> {el, chart, data, node}
const charts = {};           // address -> Dygraph, for tests and zooming
window.consoleCharts = charts;
let serverOffset = 0;        // server clock minus ours, ms
let unit = null;
let profileCharts = null;

function api(method, path, body) {
  const headers = {};
  if (token) headers['Authorization'] = 'Bearer ' + token;
  const opts = { method, headers };
  if (body !== undefined) {
    headers['Content-Type'] = 'application/json';
    opts.body = JSON.stringify(body);
  }
  return fetch(path, opts).then(async r => {
    let j = {};
    try { j = await r.json(); } catch (e) { j = { error: r.statusText }; }
    if (!r.ok) throw new Error(j.error || r.statusText);
    return j;
  });
}

function withToken(path) {
  return token ? path + (path.includes('?') ? '&' : '?') + 'token=' + encodeURIComponent(token) : path;
}

function $(sel, root) { return (root || document).querySelector(sel); }
function slug(s) { return 's-' + String(s).replace(/ /g, '-'); }
function ago(ms) {
  if (!ms) return 'never';
  const d = Math.max(0, (Date.now() + serverOffset - ms) / 1000);
  return d < 10 ? d.toFixed(1) + ' s ago' : d < 120 ? Math.round(d) + ' s ago' : Math.round(d / 60) + ' min ago';
}
function hms(ms) {
  const d = new Date(ms);
  return d.toLocaleTimeString([], { hour12: false }) + '.' + String(d.getMilliseconds()).padStart(3, '0');
}
function say(el, text, good) {
  el.textContent = text;
  el.className = 'msg ' + (good ? 'good' : 'bad');
}
function outcomeText(r) {
  return (r.verdict || '') + (r.detail ? ': ' + r.detail : '');
}

// ------------------------------------------------------------- lines ----
function showLines(lines) {
  const box = $('#lines');
  box.innerHTML = '';
  for (const l of lines) {
    const s = document.createElement('span');
    s.id = 'line-' + l.kind;
    s.className = 'line ' + l.state;
    s.textContent = l.kind + ' ' + l.port + ': ' + (l.state === 'lost' ? 'LINE LOST' : l.state);
    s.title = l.error || '';
    box.appendChild(s);
    if (l.kind === 'velmora') {
      $('#bus-name').textContent = l.port + ', ' + l.baud + ' Bd';
      for (const c of Object.values(cards)) c.el.classList.toggle('stale', l.state !== 'open');
    }
    if (l.kind === 'tavlo') $('#unit-name').textContent = l.port + ', ' + l.baud + ' Bd';
  }
}
let lineState = {};
function onLine(l) {
  lineState[l.kind] = l;
  showLines(Object.values(lineState));
}

// ------------------------------------------------------------ supplies ----
function limitText(l) {
  const parts = [];
  if (l.max_volts !== undefined) parts.push('max ' + l.max_volts + ' V');
  if (l.max_step !== undefined) parts.push('largest step ' + l.max_step + ' V');
  if (l.max_code !== undefined) parts.push('max code ' + l.max_code);
  return parts.length ? 'limits: ' + parts.join(', ') : 'no limits set';
}

function makeCard(n) {
  const el = $('#card-template').content.firstElementChild.cloneNode(true);
  el.id = 'node-' + n.address;
  $('.name', el).textContent = 'Node ' + n.address;
  $('.csv', el).href = withToken('/api/velmora/nodes/' + n.address + '/history?format=csv');
  const maxv = n.limit.max_volts !== undefined ? n.limit.max_volts : 2010;
  $('.in-volts', el).max = maxv;
  $('.in-volts', el).title = 'at most ' + maxv + ' V';
  if (n.limit.max_step !== undefined) $('.in-ramp', el).title = 'steps are at most ' + n.limit.max_step + ' V';
  const msg = $('.msg', el);
  const read = () => {
    const v = $('.in-volts', el).value, r = $('.in-ramp', el).value;
    const body = { persist: $('.in-persist', el).checked };
    if (v !== '') body.volts = Number(v);
    if (r !== '') body.ramp = Number(r);
    return body;
  };
  const act = (what, body) => {
    say(msg, what + '...', true);
    api('POST', '/api/velmora/nodes/' + n.address + '/' + what, body)
      .then(r => say(msg, what + ': ' + outcomeText(r), r.verdict === 'verified' || r.verdict === 'started'))
      .catch(e => say(msg, what + ' failed: ' + e.message, false));
  };
  $('.b-set', el).onclick = () => {
    const b = read();
    if (b.volts === undefined) return say(msg, 'give a voltage', false);
    act('set', b);
  };
  $('.b-on', el).onclick = () => {
    const b = read();
    const how = b.volts === undefined ? 'at its stored set-point' : 'at ' + b.volts + ' V' +
      (b.ramp ? ' (ramp ' + b.ramp + ' V/s)' : '');
    if (!window.confirm('Switch node ' + n.address + ' ON ' + how + '?')) return;
    act('on', b);
  };
  $('.b-off', el).onclick = () => act('off', { persist: $('.in-persist', el).checked });
  // Cards in address order, whatever order the nodes arrive in.
  const after = [...$('#cards').children].find(e => Number(e.id.slice(5)) > n.address);
  $('#cards').insertBefore(el, after || null);

  const data = [];
  const chart = new Dygraph($('.chart', el), [[new Date(), null, null]], {
    labels: ['time', 'volts', 'set-point'],
    ylabel: 'V',
    legend: 'follow',
    showRangeSelector: true,
    rangeSelectorHeight: 25,
    connectSeparatedPoints: true,
    colors: ['#2563eb', '#d97706'],
    strokeWidth: 1.5,
  });
  charts[n.address] = chart;
  const c = { el, chart, data, node: n, dirty: false };
  cards[n.address] = c;
  api('GET', '/api/velmora/nodes/' + n.address + '/history?format=json&seconds=600').then(h => {
    const older = h.samples.map(s => [new Date(s[0]), s[1], null]);
    c.data.unshift(...older.filter(p => !c.data.length || p[0] < c.data[0][0]));
    c.dirty = true;
  }).catch(() => {});
  return c;
}

function seeServerTime(t) {
  // The smallest delay seen is the best estimate of the two clocks' offset.
  if (t !== undefined) serverOffset = Math.max(serverOffset, t - Date.now());
}

function showNode(n) {
  seeServerTime(n.t);
  $('#supplies').hidden = false;
  const c = cards[n.address] || makeCard(n);
  c.node = n;
  const el = c.el;
  el.className = 'card ' + slug(n.state) + (lineState.velmora && lineState.velmora.state !== 'open' ? ' stale' : '');
  const st = $('.state', el);
  st.textContent = n.state + (n.ramp ? ' ' + n.ramp.k + '/' + n.ramp.n + ' to ' + n.ramp.to + ' V' : '');
  st.className = 'state ' + slug(n.state);
  st.title = n.error || '';
  $('.v', el).textContent = n.volts === null ? '–' : n.volts;
  $('.sp', el).textContent = n.setpoint === null ? 'unknown' : n.setpoint + ' V';
  $('.out', el).textContent = n.on === null ? '?' : n.on ? 'ON' : 'off';
  $('.code', el).textContent = n.code === null ? '?' : n.code;
  $('.hz', el).textContent = n.poll_hz ? n.poll_hz + ' /s' : '–';
  $('.limits', el).textContent = limitText(n.limit) + ' · band ±' + n.band + ' V';
  if (n.sample && (!c.data.length || n.sample[0] > c.data[c.data.length - 1][0].getTime())) {
    c.data.push([new Date(n.sample[0]), n.sample[1], n.setpoint]);
    if (c.data.length > 6000) c.data.splice(0, c.data.length - 6000);
    c.dirty = true;
  }
  $('#supplies').hidden = false;
  $('#no-nodes').hidden = Object.keys(cards).length > 0;
}

function showNodes(list) {
  const keep = new Set(list.map(n => String(n.address)));
  for (const a of Object.keys(cards)) {
    if (!keep.has(a)) { cards[a].el.remove(); delete cards[a]; delete charts[a]; }
  }
  $('#supplies').hidden = false;
  for (const n of list) showNode(n);
  $('#no-nodes').hidden = list.length > 0;
}

function redrawCharts() {
  for (const c of Object.values(cards)) {
    if (!c.dirty || !c.data.length) continue;
    c.dirty = false;
    c.chart.updateOptions({ file: c.data });
  }
  for (const c of Object.values(cards)) $('.age', c.el).textContent = ago(c.node.last_reply);
  if (unit) $('#unit-age').textContent = ago(unit.last_reply);
}

function showRates(r) {
  if (!r) return;
  $('#rate').textContent = 'bus allows ≈' + r.per_node_hz + ' polls/s per node (' + r.nodes + ' nodes, ' +
    r.bus_polls_per_s + '/s in all at this rate); measured ' + r.measured_polls_per_s + '/s' +
    (r.scan ? ' · ' + r.scan : '');
}

// ------------------------------------------------------------- readout ----
function barPlotter(e) {
  // dygraphs' plotter hook: one filled bar per channel.
  const ctx = e.drawingContext, pts = e.points, bottom = e.dygraph.toDomYCoord(0);
  let sep = Infinity;
  for (let i = 1; i < pts.length; i++) sep = Math.min(sep, pts[i].canvasx - pts[i - 1].canvasx);
  const w = Math.max(1, Math.floor(sep * 0.8));
  ctx.fillStyle = e.color;
  for (const p of pts) ctx.fillRect(p.canvasx - w / 2, p.canvasy, w, bottom - p.canvasy);
}

function ensureProfileCharts() {
  if (profileCharts) return;
  const empty = [];
  for (let ch = 0; ch < 64; ch++) empty.push([ch, 0]);
  const opts = (label, color) => ({
    labels: ['channel', label], plotter: barPlotter, colors: [color], includeZero: true,
    xlabel: 'channel', dateWindow: [-1, 64], legend: 'follow',
  });
  profileCharts = {
    x: new Dygraph($('#chart-x'), empty, opts('X', '#2563eb')),
    y: new Dygraph($('#chart-y'), empty, opts('Y', '#059669')),
  };
  window.consoleProfileCharts = profileCharts;
}

function showUnit(u) {
  if (!u) return;
  unit = u;
  seeServerTime(u.t);
  $('#readout').hidden = false;
  ensureProfileCharts();
  const st = $('#unit-state');
  st.textContent = u.reply === 'ok' ? 'answers' : u.reply;
  st.className = 'state ' + slug(u.reply);
  st.title = u.error || '';
  $('#unit-avg').textContent = u.averaging === null ? '?' : u.averaging;
  $('#unit-settle').textContent = u.settle === null ? '?' : u.settle;
  $('#unit-scan').textContent = u.scan_ms === undefined ? '?' : u.scan_ms.toFixed(1);
  $('#unit-version').textContent = u.version === null ? '?' : u.version;
  $('#in-run').checked = u.running;
}

function showProfile(p) {
  $('#readout').hidden = false;
  ensureProfileCharts();
  profileCharts.x.updateOptions({ file: p.x.map((v, ch) => [ch, v]) });
  profileCharts.y.updateOptions({ file: p.y.map((v, ch) => [ch, v]) });
  $('#profile-seq').textContent = p.seq;
  $('#peak-x').textContent = p.peak.x;
  $('#peak-y').textContent = p.peak.y;
  $('#profile-time').textContent = hms(p.t);
}

function unitAction(path, body, label) {
  const msg = $('#unit-msg');
  say(msg, label + '...', true);
  return api('POST', '/api/tavlo/' + path, body)
    .then(r => say(msg, label + ': ' + (r.verdict || 'done') + (r.detail ? ', ' + r.detail : ''), r.verdict !== 'mismatch'))
    .catch(e => say(msg, label + ' failed: ' + e.message, false));
}

// ---------------------------------------------------------------- logs ----
function addListItem(ul, text, keep) {
  const li = document.createElement('li');
  li.textContent = text;
  ul.insertBefore(li, ul.firstChild);
  while (ul.children.length > keep) ul.removeChild(ul.lastChild);
}
function showFailure(f) { addListItem($('#failures'), hms(f.t) + ' ' + f.what + ': ' + f.error, 100); }
function showAudit(a) {
  const r = a.result || {};
  const q = a.request;
  const what = q.ended ? 'end of ramp, node ' + q.address + ' to ' + q.volts + ' V'
    : q.path + ' ' + JSON.stringify(q.body || {});
  addListItem($('#audit'), a.time.slice(11, 23) + ' ' + what + ' → ' + (r.status || '') + ' ' +
    (r.verdict || r.error || ''), 100);
}
function refreshLog() {
  api('GET', '/api/log?max=60').then(j => {
    for (const kind of ['velmora', 'tavlo']) {
      const pre = $('#log-' + kind);
      const rows = j.frames[kind];
      if (!rows) { pre.textContent = '(no line)'; continue; }
      pre.textContent = rows.slice().reverse().map(f => hms(f.t) + ' ' + f.dir + ' ' + f.bytes).join('\n');
    }
  }).catch(() => {});
}

// --------------------------------------------------------------- state ----
function loadState() {
  return api('GET', '/api/state').then(s => {
    serverOffset = -1e12;
    seeServerTime(s.time);
    lineState = {};
    for (const l of s.lines) lineState[l.kind] = l;
    showLines(s.lines);
    if (s.velmora) { showNodes(s.velmora.nodes); showRates(s.velmora.rates); }
    if (s.tavlo) {
      showUnit(s.tavlo);
      if (s.tavlo.scans > 0) api('GET', '/api/tavlo/profile').then(showProfile).catch(() => {});
    }
  });
}

function connect() {
  const es = new EventSource(withToken('/api/events'));
  es.addEventListener('hello', () => { $('#banner').hidden = true; loadState().catch(() => {}); });
  es.addEventListener('reload', () => loadState().catch(() => {}));
  es.addEventListener('line', e => onLine(JSON.parse(e.data)));
  es.addEventListener('node', e => showNode(JSON.parse(e.data)));
  es.addEventListener('nodes', e => showNodes(JSON.parse(e.data)));
  es.addEventListener('scan', e => {
    const s = JSON.parse(e.data);
    if (s.state) $('#rate').textContent = s.state;
  });
  es.addEventListener('result', e => {
    const r = JSON.parse(e.data);
    const c = cards[r.address];
    if (c) say($('.msg', c.el), r.what + ': ' + outcomeText(r.result), r.result.verdict === 'verified');
  });
  es.addEventListener('unit', e => showUnit(JSON.parse(e.data)));
  es.addEventListener('profile', e => showProfile(JSON.parse(e.data)));
  es.addEventListener('audit', e => showAudit(JSON.parse(e.data)));
  es.addEventListener('failure', e => showFailure(JSON.parse(e.data)));
  es.onerror = () => { $('#banner').hidden = false; };
  window.consoleEvents = es;
}

function init() {
  document.addEventListener('submit', e => e.preventDefault());
  $('#all-off').onclick = () => {
    const btn = $('#all-off');
    btn.disabled = true;
    api('POST', '/api/velmora/all-off', { persist: true })
      .then(r => { btn.title = 'last: ' + r.verdict; for (const [a, o] of Object.entries(r.nodes)) if (cards[a]) say($('.msg', cards[a].el), 'all off: ' + outcomeText(o), o.verdict === 'verified'); })
      .catch(e => alert('All outputs off failed: ' + e.message))
      .finally(() => { btn.disabled = false; });
  };
  $('#rescan').onclick = () => api('POST', '/api/velmora/scan', {}).catch(e => alert('scan failed: ' + e.message));
  $('#b-avg').onclick = () => unitAction('averaging', { value: Number($('#in-avg').value) }, 'averaging');
  $('#b-settle').onclick = () => unitAction('settle', { value: Number($('#in-settle').value) }, 'settling');
  $('#b-acquire').onclick = () => unitAction('acquire', { count: 1 }, 'acquire');
  $('#in-run').onchange = () => unitAction('run', { on: $('#in-run').checked }, 'continuous');
  $('#profile-csv').href = withToken('/api/tavlo/profile?format=csv');
  api('GET', '/api/audit').then(list => list.forEach(showAudit)).catch(() => {});
  api('GET', '/api/log').then(j => j.failures.forEach(showFailure)).catch(() => {});
  loadState().catch(() => { $('#banner').hidden = false; });
  connect();
  setInterval(redrawCharts, 250);
  window.addEventListener('resize', () => Object.values(charts).forEach(ch => ch.resize()));
  setInterval(() => api('GET', '/api/state').then(s => showRates(s.velmora && s.velmora.rates)).catch(() => {}), 2000);
  setInterval(refreshLog, 1000);
}

init();
