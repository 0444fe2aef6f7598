// The watcher in a real browser: Debian's chromium, headless, driven by
// puppeteer-core, opens talvawatch's page while `talvasim realtime=true`
// writes the archive. The page's dump count and plotted series grow, the
// planted dead antenna (17E: no gain in the simulator's gains file) is
// listed, a picked pair is plotted, the screenshot is not blank, and both
// programs stop cleanly.
//
//   node talvawatch_page.js BIN_DIR SOURCE_DIR WORK_DIR
// Exit 77 (a skip for ctest) only when chromium is not installed.
'use strict';
const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');

const [binDir, sourceDir, workRoot] = process.argv.slice(2);
const CHROMIUM = '/usr/bin/chromium';
if (!fs.existsSync(CHROMIUM)) {
  console.log('chromium is not installed (scripts/setup.sh --test installs it): skipped');
  process.exit(77);
}
let puppeteer;
try {
  puppeteer = require(path.join(sourceDir, 'web/node_modules/puppeteer-core'));
} catch (e) {
  console.error('puppeteer-core is not vendored: run scripts/setup.sh --test (' + e.message + ')');
  process.exit(1);
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
function fail(message) { throw new Error(message); }

// A child whose output is kept, and whose end can be awaited.
function start(program, args, cwd) {
  const child = spawn(path.join(binDir, program), args, { cwd, stdio: ['ignore', 'pipe', 'pipe'] });
  child.out = '';
  child.stdout.on('data', (d) => { child.out += d; });
  child.stderr.on('data', (d) => { child.out += d; });
  child.ended = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  return child;
}
async function until(what, test, seconds) {
  for (let i = 0; i < seconds * 10; i++) {
    if (await test()) return;
    await sleep(100);
  }
  fail('gave up waiting for ' + what);
}

async function main() {
  const work = fs.mkdtempSync(path.join(workRoot, 'talvawatch-browser-'));
  const children = [];
  let browser = null;
  try {
    // every antenna's gain 1 but 17's: 17E is dead
    let gains = '';
    for (let a = 1; a <= 96; a++) if (a !== 17) gains += a + ' (1.0,0.0)\n';
    fs.writeFileSync(path.join(work, 'flat.gains'), gains);
    const sim = start('talvasim', ['realtime=true', 'archive=obs.dat', 'layout=lay.file', 'ndumps=60', 'dt=1',
                                   'speed=4', 'pieces=6', 'noise=0.05', 'gains=flat.gains'], work);
    children.push(sim);
    await until('the simulator to start the archive', () => /appending/.test(sim.out), 120);
    const watch = start('talvawatch', ['infile=obs.dat', 'corlfile=lay.file', 'port=0', 'idle=1'], work);
    children.push(watch);
    await until('the watcher to listen', () => /on http:\/\/127\.0\.0\.1:\d+\//.test(watch.out), 60);
    const url = watch.out.match(/http:\/\/127\.0\.0\.1:\d+\//)[0];

    browser = await puppeteer.launch({
      executablePath: CHROMIUM, headless: true,
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
             '--disable-component-update', '--disable-sync', '--user-data-dir=' + path.join(work, 'profile')],
    });
    const page = await browser.newPage();
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));
    page.on('requestfailed', (r) => { if (!r.url().endsWith('/events')) errors.push('failed: ' + r.url()); });
    await page.setViewport({ width: 1400, height: 1000 });
    await page.goto(url, { waitUntil: 'load' });
    const state = () => page.evaluate(() => Object.assign({}, window.talvaState));

    // the count and the plotted series grow while the archive does
    await until('the first dumps on the page', async () => (await state()).dumps >= 3, 60);
    const early = await state();
    await until('more dumps and points on the page', async () => {
      const s = await state();
      return s.dumps >= early.dumps + 8 && s.classPoints > early.classPoints && s.pickPoints > early.pickPoints;
    }, 60);
    const later = await state();
    console.log('dumps ' + early.dumps + ' -> ' + later.dumps + ', class points ' + early.classPoints + ' -> ' +
                later.classPoints);
    if (later.status !== 'live') fail('status ' + later.status + ', not live');

    // the dead antenna, with the dump it began
    if (!later.anomalies.includes('antenna 17E')) fail('17E not listed: ' + JSON.stringify(later.anomalies));
    const listed = await page.$eval('#anomalies', (el) => el.textContent);
    if (!/antenna 17E.*since dump 1/.test(listed)) fail('17E listed as ' + listed);

    // a pair picked in dumpscope's syntax, and one refused with its message
    await page.$eval('#pick', (el) => { el.value = 'ap(2e,3w)'; el.dispatchEvent(new Event('change')); });
    await until('the picked pair', async () =>
      (await page.$eval('#pick-note', (el) => el.textContent)).includes('ap(2e,3w) · 1 pair'), 30);
    await page.$eval('#pick', (el) => { el.value = 'xy(1,2)'; el.dispatchEvent(new Event('change')); });
    await until('the refusal of a bad pick', async () => /no option key found/.test((await state()).pickError || ''), 30);
    await page.$eval('#pick', (el) => { el.value = 'bs(2,e)'; el.dispatchEvent(new Event('change')); });
    await until('a spacing picked', async () => (await state()).pickError === null, 30);

    // a screenshot that is not blank: its colours counted in the page
    const shot = await page.screenshot({ fullPage: true, encoding: 'base64' });
    fs.writeFileSync(path.join(workRoot, 'talvawatch-page.png'), Buffer.from(shot, 'base64'));
    const colours = await page.evaluate(async (b64) => {
      const img = new Image();
      img.src = 'data:image/png;base64,' + b64;
      await img.decode();
      const c = document.createElement('canvas');
      c.width = img.width;
      c.height = img.height;
      const g = c.getContext('2d');
      g.drawImage(img, 0, 0);
      const d = g.getImageData(0, 0, c.width, c.height).data;
      const seen = new Set();
      for (let i = 0; i < d.length; i += 4 * 97) seen.add((d[i] << 16) | (d[i + 1] << 8) | d[i + 2]);
      return seen.size;
    }, shot);
    console.log('screenshot colours: ' + colours);
    if (colours < 50) fail('the screenshot is nearly blank (' + colours + ' colours)');
    const heatRow = await page.evaluate(() => {
      const cv = document.getElementById('heat');
      return cv.width > 0 && cv.height > 0;
    });
    if (!heatRow) fail('no heat map drawn');

    // the simulator ends cleanly; the page shows every dump
    const simEnd = await sim.ended;
    if (simEnd.code !== 0) fail('talvasim ended with ' + JSON.stringify(simEnd) + ': ' + sim.out);
    await until('all 60 dumps on the page', async () => (await state()).dumps === 60, 30);
    if (errors.length) fail('page errors: ' + errors.join('; '));

    // SIGINT: the watcher stops with 130 and says how many dumps it saw
    watch.kill('SIGINT');
    const watchEnd = await watch.ended;
    if (watchEnd.code !== 130) fail('talvawatch ended with ' + JSON.stringify(watchEnd) + ': ' + watch.out);
    if (!/interrupted by SIGINT: 60 dumps watched/.test(watch.out)) fail('talvawatch said: ' + watch.out);
    console.log('ok');
  } finally {
    if (browser) await browser.close();
    for (const c of children) if (c.exitCode === null && c.signalCode === null) c.kill('SIGKILL');
    fs.rmSync(work, { recursive: true, force: true });
  }
}

main().catch((e) => {
  console.error('FAILED: ' + e.message);
  process.exit(1);
});
