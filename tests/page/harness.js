// Shared set-up of the chat page's browser tests: serves the built page and
// its two assets from a throw-away localhost server, launches Debian's
// Chromium through playwright-core, and stands in for the host through a
// stub window.chrome.webview installed before the page's script runs.
'use strict';
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');

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
  return playwright().chromium.launch({ executablePath: '/usr/bin/chromium', headless: true, args: LAUNCH_ARGS });
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

// One Chromium and one server per test file.
async function setUp(argv) {
  const args = parseArgs(argv);
  const browser = await launchBrowser();
  const { server, base } = await startServer(args);
  return {
    args, browser, base,
    async close() { await browser.close(); server.close(); },
  };
}

// Opens the page in a fresh context; initScripts entries are functions or
// [function, argument] pairs. Options: hljs (default true), debug
// (the build with client-error reports on),
// clock (Playwright's clock, paused once the page has loaded), initScripts (more stubs),
// context (reuse one, for storage across reloads).
async function openPage(env, options = {}) {
  const context = options.context || await env.browser.newContext({ viewport: { width: 860, height: 600 } });
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (err) => errors.push(String(err)));
  await page.addInitScript(webviewStub);
  for (const script of options.initScripts || []) {
    if (Array.isArray(script)) await page.addInitScript(script[0], script[1]);
    else await page.addInitScript(script);
  }
  if (options.clock) await page.clock.install({ time: 0 });
  const variant = options.hljs === false ? 'nohljs/' : 'full/';
  await page.goto(env.base + variant + (options.debug ? 'debug.html' : 'page.html'));
  // From here on the page's time moves only through clock.runFor.
  if (options.clock) await page.clock.pauseAt(10000);
  return { page, context, errors };
}

async function host(page, ...messages) {
  await page.evaluate((list) => { for (const m of list) window.__host(m); }, messages);
}

async function posted(page) {
  return page.evaluate(() => window.__posted.slice());
}

module.exports = { setUp, openPage, host, posted, launchBrowser, parseArgs, startServer };
