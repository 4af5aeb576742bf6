// Shared set-up of the chat page's browser tests: serves the built page and
// its two assets from a throw-away localhost server, launches Debian's
// Chromium through playwright-core, and stands in for the host through a
// stub window.chrome.webview installed before the page's script runs.
'use strict';
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');

// Every time limit of the page tests comes from here. A quiet machine needs
// at most a tenth of each; VELKIN_TEST_TIME_SCALE stretches them all for a
// slower one.
const TIME_SCALE = Number(process.env.VELKIN_TEST_TIME_SCALE) > 0 ? Number(process.env.VELKIN_TEST_TIME_SCALE) : 1;
const STEP_MS = 10000 * TIME_SCALE;   // one browser step: a launch, a load, an action, a wait for a condition
const SUITE_MS = 12 * STEP_MS;        // one test file from start to end

const VIEWPORT = { width: 860, height: 600 };

// Command line: --html <built page> --assets <folder with the two assets>
//               --asset-base <address the build put into the page>
//               [--debug-html <built page with client-error reports on>]
function parseArgs(argv) {
  const args = {};
  for (let i = 2; i < argv.length; i += 2) args[argv[i].replace(/^--/, '')] = argv[i + 1];
  for (const name of ['html', 'assets', 'asset-base']) {
    if (!args[name]) throw new Error('missing --' + name);
  }
  return args;
}

function playwright() {
  const modules = process.env.VELKIN_NODE_MODULES || path.resolve(__dirname, '../../node_modules');
  return require(path.join(modules, 'playwright-core'));
}

const LAUNCH_ARGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

async function launchBrowser() {
  return playwright().chromium.launch({ executablePath: '/usr/bin/chromium', headless: true, args: LAUNCH_ARGS, timeout: STEP_MS });
}

// Serves /<variant>/page.html and /<variant>/debug.html with the asset base
// rewritten to /<variant>/, and the two assets below each variant; under
// the variant "nohljs" highlight.min.js answers 404, as a folder without it.
async function startServer(args) {
  const sources = {};
  for (const [name, file] of Object.entries({ 'page.html': args.html, 'debug.html': args['debug-html'] })) {
    if (!file) continue;
    sources[name] = fs.readFileSync(file, 'utf8');
    if (!sources[name].includes(args['asset-base'])) throw new Error(file + ' does not use ' + args['asset-base']);
  }
  let base = '';
  const server = http.createServer((req, res) => {
    const [, variant, name] = new URL(req.url, 'http://localhost').pathname.split('/');
    if (sources[name]) {
      res.writeHead(200, { 'content-type': 'text/html; charset=utf-8' });
      res.end(sources[name].split(args['asset-base']).join(base + variant + '/'));
    } else if (name === 'hljs-theme.min.css' || (name === 'highlight.min.js' && variant !== 'nohljs')) {
      res.writeHead(200, { 'content-type': name.endsWith('.js') ? 'text/javascript' : 'text/css' });
      res.end(fs.readFileSync(path.join(args.assets, name)));
    } else {
      res.writeHead(404);
      res.end();
    }
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  base = 'http://127.0.0.1:' + server.address().port + '/';
  return { server, base };
}

// Installed before the page's script: records what the page posts (as the
// JSON text the host would get) and lets a test deliver host messages.
function webviewStub() {
  window.__posted = [];
  const listeners = [];
  window.chrome = window.chrome || {};
  window.chrome.webview = {
    postMessage(obj) { window.__posted.push(JSON.stringify(obj)); },
    addEventListener(type, fn) { if (type === 'message') listeners.push(fn); },
    removeEventListener() {},
  };
  window.__host = (obj) => {
    const data = JSON.parse(JSON.stringify(obj));
    for (const fn of listeners) fn({ data });
  };
}

// One Chromium and one server per test file, and a watchdog that ends a
// file that runs past its limit.
async function setUp(argv) {
  const watchdog = setTimeout(() => {
    console.error('page tests: still running after ' + SUITE_MS + ' ms');
    process.exit(1);
  }, SUITE_MS);
  watchdog.unref();
  const args = parseArgs(argv);
  const browser = await launchBrowser();
  const { server, base } = await startServer(args);
  return {
    args, browser, base,
    contexts: new Map(), // with or without Playwright's clock -> browser context
    clockPaused: false,
    pages: new Map(),    // set-up key -> { context, page, errors }
    async close() { clearTimeout(watchdog); await browser.close(); server.close(); },
  };
}

// What a page keeps from one load to the next: its init scripts and, in its
// browser context, Playwright's clock.
function setUpKey(options) {
  const scripts = (options.initScripts || []).map((script) =>
    Array.isArray(script) ? [String(script[0]), script[1]] : String(script));
  return JSON.stringify({ clock: !!options.clock, scripts });
}

async function newPage(env, options) {
  const clock = !!options.clock;
  let context = env.contexts.get(clock);
  if (!context) {
    context = await env.browser.newContext({ viewport: VIEWPORT });
    context.setDefaultTimeout(STEP_MS);
    if (clock) await context.clock.install({ time: 0 });
    env.contexts.set(clock, context);
  }
  const page = await context.newPage();
  const entry = { context, page, errors: [] };
  page.on('pageerror', (err) => entry.errors.push(String(err)));
  await page.addInitScript(webviewStub);
  for (const script of options.initScripts || []) {
    if (Array.isArray(script)) await page.addInitScript(script[0], script[1]);
    else await page.addInitScript(script);
  }
  return entry;
}

// Loads the page afresh, which resets every bit of its state, with local
// storage emptied. Cases with the same set-up share one browser page, so a
// load costs milliseconds rather than a new context; a page whose set-up is
// not in use sits on a blank document. Options: hljs (default true), debug
// (the build with client-error reports on), clock (Playwright's clock, paused
// once the page has loaded; it goes on from where the last case left it),
// initScripts (more stubs: functions or [function, argument] pairs).
async function openPage(env, options = {}) {
  const key = setUpKey(options);
  for (const [other, entry] of env.pages) {
    if (other === key || entry.page.url() === 'about:blank') continue;
    await clearStorage(entry.page);
    await entry.page.goto('about:blank');
  }
  let entry = env.pages.get(key);
  if (!entry) {
    entry = await newPage(env, options);
    env.pages.set(key, entry);
  } else {
    await clearStorage(entry.page);
    await entry.page.setViewportSize(VIEWPORT);
    entry.errors.length = 0;
  }
  const { page, context, errors } = entry;
  const variant = options.hljs === false ? 'nohljs/' : 'full/';
  await page.goto(env.base + variant + (options.debug ? 'debug.html' : 'page.html'));
  // From here on the page's time moves only through clock.runFor; a later
  // load in the clock's context starts paused where the last one stopped.
  if (options.clock && !env.clockPaused) {
    await page.clock.pauseAt(10000);
    env.clockPaused = true;
  }
  return { page, context, errors };
}

async function clearStorage(page) {
  await page.evaluate(() => { try { localStorage.clear(); } catch (err) { /* storage refused or a blank page */ } });
}

// Resolves once every animation that ends has ended (row entrances, colour
// fades); the endless ones (pulse, thinking dots, cursor) are left running.
async function animationsSettled(page) {
  await page.evaluate(() => Promise.allSettled(document.getAnimations()
    .filter((a) => a.effect.getComputedTiming().endTime !== Infinity)
    .map((a) => a.finished)));
}

// Ends the rows' entrance animation at once, so a click on something inside
// a row need not wait for it to stop moving.
async function finishRowEntrances(page) {
  await page.evaluate(() => {
    for (const a of document.getAnimations()) if (a.animationName === 'msgIn') a.finish();
  });
}

async function host(page, ...messages) {
  await page.evaluate((list) => { for (const m of list) window.__host(m); }, messages);
}

async function posted(page) {
  return page.evaluate(() => window.__posted.slice());
}

module.exports = { setUp, openPage, host, posted, animationsSettled, finishRowEntrances, launchBrowser, parseArgs, startServer };
