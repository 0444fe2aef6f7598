// talvawatch's page: the observation, class and pair plots (uPlot), the
// antenna heat map, the (u, v) coverage and the list of what looks wrong.
// Live: one server-sent event per dump (a summary), the series fetched at
// most twice a second. Report: everything from window.TALVA_REPORT.
(function () {
  'use strict';
  const report = window.TALVA_REPORT || null;
  const $ = (id) => document.getElementById(id);
  const COLORS = ['#4fb3ff', '#2ecc8f', '#f5b942', '#ff7eb6', '#a78bfa', '#5eead4', '#fb923c', '#e879f9',
                  '#93c5fd', '#bef264', '#fda4af', '#fcd34d'];
  const WAVELENGTH = 0.356;  // metres
  const SERIES_GAP_MS = 500;  // series fetched at most this often
  const st = { summary: null, series: null, offset: 0, plots: {}, fetching: false, last: 0, timer: null, heat: 'amp' };
  // What a test (or a curious observer) can read of the page's state.
  const probe = window.talvaState = { dumps: 0, version: 0, points: 0, classPoints: 0, pickPoints: 0,
                                      anomalies: [], seriesFetches: 0, status: 'connecting', pickError: null };

  // ---- formats
  const pad = (n, w) => String(n).padStart(w, '0');
  function sexa(v, lead, decimals) {
    const sign = v < 0 ? '-' : lead;
    v = Math.abs(v);
    let d = Math.floor(v), m = Math.floor((v - d) * 60), s = ((v - d) * 60 - m) * 60;
    s = Number(s.toFixed(decimals));
    if (s >= 60) { s -= 60; m += 1; }
    if (m >= 60) { m -= 60; d += 1; }
    return sign + pad(d, 2) + ':' + pad(m, 2) + ':' + (decimals ? s.toFixed(decimals).padStart(3 + decimals, '0') : pad(s, 2));
  }
  // Unix seconds as hh:mm:ss UT.
  function utc(ts) {
    const d = new Date(ts * 1000);
    return pad(d.getUTCHours(), 2) + ':' + pad(d.getUTCMinutes(), 2) + ':' + pad(d.getUTCSeconds(), 2);
  }
  function ageText(ms) {
    const s = Math.max(0, Math.round(ms / 1000));
    if (s < 120) return s + ' s ago';
    if (s < 7200) return Math.floor(s / 60) + ' min ago';
    return (s / 3600).toFixed(1) + ' h ago';
  }
  function esc(t) { return String(t).replace(/[&<>"]/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;' }[c])); }

  // ---- summary: cards, status, anomalies
  function anomalyItem(a, ended) {
    const li = document.createElement('li');
    li.className = a.kind;
    const since = ended ? 'dumps ' + a.began + '–' + (a.ended - 1) : 'since dump ' + a.began;
    li.innerHTML = '<span class="name">' + esc(a.name) + '</span><span class="since">' + since +
                   '</span><span class="what">' + esc(a.what) + '</span>';
    return li;
  }
  function applySummary(s) {
    st.summary = s;
    const o = s.obs;
    if (!report) st.offset = Date.now() - o.server_ms;
    $('archive').textContent = o.archive;
    $('dumps').textContent = o.dumps.toLocaleString('en');
    $('products').textContent = o.products + ' products' + (o.gains ? ' · gains applied' : '');
    $('gainnote').textContent = o.gains ? '· gain-corrected averages' : '· averages, no gains given';
    if (o.dumps > 0) {
      $('radec').textContent = sexa(o.ra_h, '', 1) + '  ' + sexa(o.dec_deg, '+', 0);
      $('datetime').textContent = o.date + ' ' + o.time;
      $('ha').textContent = sexa(o.ha_h, '+', 0) + ' h';
      $('rate').textContent = o.dump_seconds ? o.dump_seconds.toFixed(2) + ' s/dump' : '—';
      $('arrival').textContent = o.arrival_rate && !report ? 'arriving ' + o.arrival_rate.toFixed(2) + ' dumps/s' : '';
    }
    const list = $('anomalies');
    list.textContent = '';
    for (const a of s.anomalies) list.appendChild(anomalyItem(a, false));
    if (s.anomaly_count > s.anomalies.length) {
      const li = document.createElement('li');
      li.className = 'ok';
      li.textContent = (s.anomaly_count - s.anomalies.length) + ' more';
      list.appendChild(li);
    }
    if (!s.anomalies.length) list.innerHTML = '<li class="ok">' + (o.dumps ? 'all antennas and pairs near their classes' : 'waiting for the first dump') + '</li>';
    const ended = $('ended');
    ended.textContent = '';
    for (const a of s.ended) ended.appendChild(anomalyItem(a, true));
    const count = $('anomaly-count');
    count.textContent = s.anomaly_count;
    count.className = 'count' + (s.anomaly_count ? ' bad' : '');
    probe.dumps = o.dumps;
    probe.version = o.version;
    probe.anomalies = s.anomalies.map((a) => a.name);
    tick();
  }
  function setStatus(state, text) {
    const el = $('status');
    el.dataset.state = state;
    el.textContent = text;
    probe.status = state;
  }
  // The age of the last dump, every second; "no new dump for N min" once idle.
  function tick() {
    const s = st.summary;
    if (!s) return;
    const o = s.obs;
    if (report) {
      setStatus('report', 'report');
      $('age').textContent = o.dumps ? 'dump ' + o.dumps : '—';
      $('idle').textContent = 'written ' + new Date(o.server_ms).toISOString().slice(0, 16).replace('T', ' ') + ' UT';
      return;
    }
    if (!o.last_ms) { $('age').textContent = '—'; return; }
    const age = Date.now() - st.offset - o.last_ms;
    $('age').textContent = ageText(age);
    const idleMin = Math.floor(age / 60000);
    if (age >= o.idle_min * 60000) {
      setStatus('idle', 'idle');
      $('idle').textContent = 'no new dump for ' + idleMin + ' min';
    } else if (probe.status !== 'lost') {
      setStatus('live', 'live');
      $('idle').textContent = '';
    }
  }

  // ---- plots
  const axis = { stroke: '#7f8db0', grid: { stroke: '#1e2944', width: 1 }, ticks: { stroke: '#1e2944', width: 1 } };
  function plotOpts(el, label, series, extra) {
    return Object.assign({
      width: Math.max(200, el.clientWidth), height: 170,
      legend: { show: false },
      cursor: { drag: { x: true, y: false } },
      tzDate: (ts) => uPlot.tzDate(new Date(ts * 1e3), 'Etc/UTC'),
      scales: { x: { time: true } },
      axes: [Object.assign({ values: (u, splits) => splits.map(utc) }, axis),
             Object.assign({ label: label, labelSize: 18, size: 50 }, axis)],
      series: [{}].concat(series),
    }, extra || {});
  }
  // Creates the plot, or gives it new data when its series are the same.
  function drawPlot(id, key, label, series, data, extra) {
    const el = $(id);
    const p = st.plots[id];
    if (p && p.key === key) {
      p.plot.setData(data);
      return;
    }
    if (p) p.plot.destroy();
    el.textContent = '';
    st.plots[id] = { key: key, plot: new uPlot(plotOpts(el, label, series, extra), data, el) };
  }
  function ampSeries(color, withEnvelope) {
    const s = [{ stroke: color, width: 1.5, points: { show: false } }];
    if (withEnvelope) {
      s.push({ stroke: 'transparent', points: { show: false } }, { stroke: 'transparent', points: { show: false } });
    }
    return s;
  }
  // Phase plots: -180 to 180 degrees, a tick every 90.
  const PHASE_AXES = {
    scales: { x: { time: true }, y: { range: [-180, 180] } },
    axes: [Object.assign({ values: (u, splits) => splits.map(utc) }, axis),
           Object.assign({ label: 'phase (deg)', labelSize: 18, size: 50, splits: () => [-180, -90, 0, 90, 180] }, axis)],
  };
  const phaseSeries = (color) => ({ stroke: color, paths: () => null, points: { show: true, size: 3, fill: color, stroke: color } });

  function applySeries(j) {
    st.series = j;
    const t = j.t;
    probe.points = t.length;
    // classes
    let wanted = $('classes').value.split(',').map((x) => parseInt(x, 10)).filter((k) => j.classes[k]);
    if (!wanted.length) wanted = Object.keys(j.classes).map(Number).slice(0, 6);
    const ampData = [t], phData = [t], ampS = [], phS = [], bands = [];
    wanted.forEach((k, i) => {
      const c = j.classes[k], color = COLORS[i % COLORS.length];
      const base = ampData.length;
      ampData.push(c.amp, c.max, c.min);
      ampS.push(...ampSeries(color, true));
      bands.push({ series: [base + 1, base + 2], fill: color + '26' });
      phData.push(c.phase);
      phS.push(phaseSeries(color));
    });
    probe.classPoints = wanted.length ? j.classes[wanted[0]].amp.filter((v) => v !== null).length : 0;
    const key = wanted.join(',');
    drawPlot('class-amp', key, 'amplitude', ampS, ampData, { bands: bands });
    drawPlot('class-phase', key, 'phase (deg)', phS, phData, PHASE_AXES);
    $('class-amp').dataset.legend = '';
    legendChips('class-amp', wanted.map((k, i) => ['class ' + k + ' (' + j.classes[k].pairs + ')', COLORS[i % COLORS.length]]));
    // the pair
    const pk = j.pick;
    $('pick-note').textContent = '· ' + pk.option + (pk.pairs ? ' · ' + pk.pairs + (pk.pairs > 1 ? ' pairs summed' : ' pair') : '');
    const err = $('pick-error');
    if (pk.error) {
      err.hidden = false;
      err.textContent = pk.error.join('\n');
      probe.pickError = pk.error.join(' ');
    } else {
      err.hidden = true;
      probe.pickError = null;
      const env = !!pk.min;
      const data = env ? [t, pk.amp, pk.max, pk.min] : [t, pk.amp];
      drawPlot('pick-amp', pk.option + env, 'amplitude', ampSeries('#4fb3ff', env), data,
               env ? { bands: [{ series: [2, 3], fill: '#4fb3ff26' }] } : {});
      drawPlot('pick-phase', pk.option, 'phase (deg)', [phaseSeries('#4fb3ff')], [t, pk.phase], PHASE_AXES);
      probe.pickPoints = pk.amp.filter((v) => v !== null).length;
    }
    drawHeat();
    drawUV();
    $('foot').textContent = t.length + ' time bins of ' + j.width + ' dump' + (j.width > 1 ? 's' : '') +
      ' each (envelope: least and largest amplitude in a bin)' + (report ? ' · report written by talvawatch' : '');
  }
  function legendChips(id, items) {
    const el = $(id);
    let box = el.previousElementSibling;
    if (!box || !box.classList.contains('chips')) {
      box = document.createElement('div');
      box.className = 'chips';
      box.style.cssText = 'display:flex;gap:12px;flex-wrap:wrap;font-size:11px;color:#7f8db0;margin:2px 0 4px';
      el.parentNode.insertBefore(box, el);
    }
    box.innerHTML = items.map(([name, c]) => '<span><span style="display:inline-block;width:10px;height:3px;background:' + c +
      ';vertical-align:middle;margin-right:5px"></span>' + esc(name) + '</span>').join('');
  }

  // ---- heat map: antennas (rows) against time (columns)
  function mix(a, b, f) {
    const pa = [1, 3, 5].map((i) => parseInt(a.slice(i, i + 2), 16)), pb = [1, 3, 5].map((i) => parseInt(b.slice(i, i + 2), 16));
    return 'rgb(' + pa.map((v, i) => Math.round(v + (pb[i] - v) * f)).join(',') + ')';
  }
  const CALM = '#173a4a';
  function heatColor(v) {
    if (v === null || v === undefined) return '#0f1526';
    if (st.heat === 'phase') return mix(CALM, '#f5b942', Math.min(1, Math.max(0, Math.abs(v) - 5) / 85));
    // within 10 % of its classes: calm; beyond, brighter the farther off
    const x = Math.log2(Math.max(v, 1e-3)), off = Math.max(0, Math.abs(x) - 0.14);
    return x < 0 ? mix(CALM, '#8b6dff', Math.min(1, off / 1.5)) : mix(CALM, '#ff5c6c', Math.min(1, off / 0.86));
  }
  function drawHeat() {
    const j = st.series;
    if (!j) return;
    const cv = $('heat'), dpr = window.devicePixelRatio || 1;
    const W = cv.clientWidth * dpr, H = cv.clientHeight * dpr;
    cv.width = W;
    cv.height = H;
    const g = cv.getContext('2d');
    const left = 40 * dpr, bottom = 20 * dpr, gap = 6 * dpr;
    const rows = j.heat[st.heat], n = j.t.length;
    const top = 4 * dpr, rowH = (H - bottom - gap - top) / 96, colW = n ? (W - left) / n : 0;
    g.fillStyle = '#0a0f1d';
    g.fillRect(0, 0, W, H);
    for (let a = 0; a < 96; a++) {
      const y = top + a * rowH + (a >= 48 ? gap : 0);
      const r = rows[a];
      for (let b = 0; b < n; b++) {
        g.fillStyle = heatColor(r[b]);
        g.fillRect(left + b * colW, y, Math.ceil(colW), Math.ceil(rowH));
      }
    }
    g.fillStyle = '#7f8db0';
    g.font = 10 * dpr + 'px DejaVu Sans, sans-serif';
    g.textBaseline = 'middle';
    for (let a = 0; a < 96; a += 6) {
      const y = top + a * rowH + (a >= 48 ? gap : 0) + rowH / 2;
      g.fillText((a % 48) + 1 + (a < 48 ? 'E' : 'W'), 4 * dpr, y);
    }
    g.textBaseline = 'alphabetic';
    for (let b = 0; b < n; b += Math.max(1, Math.ceil(n / 8))) {
      g.fillText(utc(j.t[b]), left + b * colW, H - 5 * dpr);
    }
    const legend = $('legend');
    if (st.heat === 'phase') {
      legend.style.setProperty('--legend', 'linear-gradient(#f5b942, ' + CALM + ')');
      legend.innerHTML = st.summary && !st.summary.obs.gains ? '<span>needs gnsfile=</span><span></span><span></span>'
                                                             : '<span>±90°</span><span>±45°</span><span>0°</span>';
    } else {
      legend.style.setProperty('--legend', 'linear-gradient(#ff5c6c, ' + CALM + ', #8b6dff)');
      legend.innerHTML = '<span>×2</span><span>×1</span><span>×¼</span>';
    }
  }

  // ---- (u, v) coverage so far: every class at every time bin, and its mirror
  function drawUV() {
    const j = st.series;
    if (!j) return;
    const cv = $('uv'), dpr = window.devicePixelRatio || 1;
    const S = cv.clientWidth * dpr;
    cv.width = S;
    cv.height = S;
    const g = cv.getContext('2d');
    g.fillStyle = '#0a0f1d';
    g.fillRect(0, 0, S, S);
    const lengths = j.uv.lengths_m.map((l) => l / WAVELENGTH);
    const maxL = Math.max(1, ...lengths) * 1.08, c = S / 2, k = c / maxL;
    g.strokeStyle = '#1e2944';
    g.beginPath();
    g.moveTo(0, c); g.lineTo(S, c); g.moveTo(c, 0); g.lineTo(c, S);
    for (const r of [0.25, 0.5, 0.75, 1]) { g.moveTo(c + r * maxL * k, c); g.arc(c, c, r * maxL * k, 0, 2 * Math.PI); }
    g.stroke();
    const sd = Math.sin((j.uv.dec_deg || 0) * Math.PI / 180);
    const n = j.t.length, dot = 1.6 * dpr;
    for (let b = 0; b < n; b++) {
      if (j.first[b] === 0) continue;
      const h = j.ha[b] * Math.PI / 12, ch = Math.cos(h), sh = Math.sin(h) * sd;
      g.fillStyle = b === n - 1 ? '#ffffff' : 'rgba(79,179,255,' + (0.25 + 0.6 * b / Math.max(1, n - 1)).toFixed(2) + ')';
      for (const L of lengths) {
        if (!L) continue;
        const u = L * ch * k, v = L * sh * k;
        g.fillRect(c + u - dot / 2, c - v - dot / 2, dot, dot);
        g.fillRect(c - u - dot / 2, c + v - dot / 2, dot, dot);
      }
    }
    g.fillStyle = '#7f8db0';
    g.font = 10 * dpr + 'px DejaVu Sans, sans-serif';
    g.fillText('u', S - 12 * dpr, c - 4 * dpr);
    g.fillText('v', c + 4 * dpr, 12 * dpr);
    g.fillText(Math.round(maxL / 1.08) + ' λ', c + maxL * k / 1.08 - 40 * dpr, c + 14 * dpr);
  }

  // ---- live: events and fetches
  function fetchSeries() {
    st.timer = null;
    if (st.fetching) { st.again = true; return; }
    st.fetching = true;
    st.last = Date.now();
    const q = 'api/series?classes=' + encodeURIComponent($('classes').value.replace(/\s/g, '')) +
              '&pick=' + encodeURIComponent($('pick').value.trim());
    fetch(q).then((r) => r.json()).then((j) => {
      if (j.error) { $('pick-error').hidden = false; $('pick-error').textContent = j.error; return; }
      applySeries(j);
      probe.seriesFetches += 1;
    }).catch(() => {}).finally(() => {
      st.fetching = false;
      if (st.again) { st.again = false; scheduleSeries(); }
    });
  }
  function scheduleSeries() {
    if (st.timer) return;
    st.timer = setTimeout(fetchSeries, Math.max(0, st.last + SERIES_GAP_MS - Date.now()));
  }
  function live() {
    $('pick').value = new URLSearchParams(location.search).get('pick') || $('pick').value;
    fetch('api/summary').then((r) => r.json()).then(applySummary).catch(() => {});
    fetchSeries();
    const es = new EventSource('events');
    es.addEventListener('summary', (e) => {
      applySummary(JSON.parse(e.data));
      scheduleSeries();
    });
    es.onerror = () => setStatus('lost', 'connection lost');
    es.onopen = () => { if (probe.status === 'lost') setStatus('live', 'live'); };
    $('classes').addEventListener('change', fetchSeries);
    $('pick').addEventListener('change', fetchSeries);
    setInterval(tick, 1000);
  }
  function fromReport() {
    $('pick').value = report.series.pick.option;
    $('pick').disabled = true;
    $('pick').title = 'the pair of the report (option=)';
    applySummary(report.summary);
    applySeries(report.series);
    $('classes').addEventListener('change', () => applySeries(report.series));
  }
  for (const r of document.querySelectorAll('input[name=heat]')) {
    r.addEventListener('change', () => { st.heat = r.value; drawHeat(); });
  }
  window.addEventListener('resize', () => {
    for (const id in st.plots) st.plots[id].plot.setSize({ width: Math.max(200, $(id).clientWidth), height: 170 });
    drawHeat();
    drawUV();
  });
  if (report) fromReport(); else live();
})();
