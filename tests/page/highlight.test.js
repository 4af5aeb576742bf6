// Code blocks in Chromium, with and without highlight.min.js: the highlight
// pass and its cache, the 8192-character limit, and Copy with its fall-back
// and its 2000 ms confirmation (on Playwright's clock).
'use strict';
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { setUp, openPage, host, finishRowEntrances } = require('./harness.js');
const { greet } = require('./page_helpers.js');

let env;
before(async () => { env = await setUp(process.argv); });
after(async () => { await env.close(); });

// Counts highlighter runs; installed once highlight.min.js has loaded.
async function countHighlights(page) {
  await page.evaluate(() => {
    window.__hl = 0;
    const real = hljs.highlightElement;
    hljs.highlightElement = function (el) { window.__hl++; return real.call(this, el); };
  });
}

async function reply(page, text) {
  await host(page, { type: 'assistant_start' }, { type: 'token', text }, { type: 'gen_done', stopped: false });
  await finishRowEntrances(page);
}

const blockStates = (page) => page.evaluate(() => Array.from(document.querySelectorAll('.code-block pre code')).map((code) => ({
  highlighted: code.querySelector('span') !== null,
  text: code.textContent,
})));

describe('highlighting', () => {
  it('highlights closed blocks, keeps the text, and caches by label and code', async () => {
    const { page } = await openPage(env);
    await greet(page);
    await countHighlights(page);
    const code = 'function add(a, b) {\n  return a + b; // <sum> & "more"\n}';
    await reply(page, '```js\n' + code + '\n```\n\n```js\n' + code + '\n```\n\n```JS\n' + code + '\n```');
    const states = await blockStates(page);
    assert.deepEqual(states.map((s) => s.highlighted), [true, true, true]);
    assert.ok(states.every((s) => s.text === code));
    assert.equal(await page.evaluate(() => _hlCache.size), 2, 'same label and code share an entry; another label makes one');
    assert.equal(await page.evaluate(() => window.__hl), 2);

    await reply(page, 'again:\n```js\n' + code + '\n```');
    assert.equal(await page.evaluate(() => window.__hl), 2, 'served from the cache');
    assert.equal((await blockStates(page)).at(-1).highlighted, true);
    await host(page, { type: 'new_chat' });
    assert.equal(await page.evaluate(() => _hlCache.size), 2, 'the cache survives a new chat');
  });

  it('while streaming only closed blocks are highlighted, each once; the end highlights and closes an open one', async () => {
    const { page } = await openPage(env, { clock: true });
    await page.clock.runFor(100);
    await greet(page);
    await countHighlights(page);
    await host(page, { type: 'assistant_start' }, { type: 'token', text: '```js\nlet a = 1;\n```\n```py\nx = 2' });
    for (let i = 0; i < 4; i++) {
      await host(page, { type: 'token', text: '\nx = ' + i });
      await page.clock.runFor(100);
    }
    assert.deepEqual((await blockStates(page)).map((s) => s.highlighted), [true, false]);
    assert.equal(await page.evaluate(() => window.__hl), 1);
    await host(page, { type: 'gen_done', stopped: true });
    assert.deepEqual((await blockStates(page)).map((s) => s.highlighted), [true, true]);
    assert.deepEqual([await page.locator('.code-streaming').count(), await page.locator('.copy-btn').count()], [0, 2]);
  });

  it('highlights a block of exactly 8192 characters but not one of 8193', async () => {
    const { page } = await openPage(env);
    await greet(page);
    const body = (n) => ('let value = 12345;\n'.repeat(Math.ceil(n / 19))).slice(0, n);
    await reply(page, '```js\n' + body(8192) + '\n```\n```js\n' + body(8193) + '\n```');
    const states = await blockStates(page);
    assert.deepEqual(states.map((s) => [s.text.length, s.highlighted]), [[8192, true], [8193, false]]);
  });

  it('a highlighter exception leaves the block plain and uncached', async () => {
    const { page, errors } = await openPage(env);
    await greet(page);
    await page.evaluate(() => { hljs.highlightElement = () => { throw new Error('highlighter bug'); }; });
    await reply(page, '```c\nint x;\n```');
    assert.deepEqual(await blockStates(page), [{ highlighted: false, text: 'int x;' }]);
    assert.equal(await page.evaluate(() => _hlCache.size), 0);
    assert.deepEqual(errors, []);
  });

  it('without highlight.min.js blocks stay plain and Copy still works', async () => {
    const { page, errors } = await openPage(env, { hljs: false });
    await page.evaluate(() => {
      Object.defineProperty(navigator, 'clipboard', { configurable: true, value: undefined });
      document.execCommand = () => true;
    });
    assert.equal(await page.evaluate(() => typeof hljs), 'undefined');
    await greet(page);
    await reply(page, '```js\nlet a = 1;\n```');
    assert.deepEqual(await blockStates(page), [{ highlighted: false, text: 'let a = 1;' }]);
    await page.click('.copy-btn');
    assert.equal(await page.textContent('.copy-btn'), 'Copied!');
    assert.deepEqual(errors, []);
  });
});

describe('copy', () => {
  // Clipboard behaviours: 'absent', 'refuses' or 'accepts'; the fall-back's
  // copy command reports exec (true or false, or 'throws'). Copy looks for
  // the clipboard only when clicked, so the stub goes in after the load.
  function stubClipboard(page, mode, exec) {
    return page.evaluate(({ mode, exec }) => {
      window.__clipboard = [];
      window.__execCopies = [];
      const clipboard = mode === 'absent' ? undefined : {
        writeText(text) {
          if (mode === 'refuses') return Promise.reject(new DOMException('denied', 'NotAllowedError'));
          window.__clipboard.push(text);
          return Promise.resolve();
        },
      };
      Object.defineProperty(navigator, 'clipboard', { configurable: true, value: clipboard });
      document.execCommand = (command) => {
        const area = document.activeElement;
        window.__execCopies.push({ command, text: area.value, selected: area.selectionEnd - area.selectionStart, style: area.getAttribute('style') });
        if (exec === 'throws') throw new Error('copy refused');
        return exec;
      };
    }, { mode, exec });
  }

  async function copyPage(mode, exec) {
    const { page } = await openPage(env, { clock: true });
    await stubClipboard(page, mode, exec);
    await greet(page);
    await reply(page, 'code:\n```sh\n\necho "<hi>" && ls\n```');
    return page;
  }
  const button = (page) => page.evaluate(() => {
    const btn = document.querySelector('.copy-btn');
    return { text: btn.textContent, copied: btn.classList.contains('copied') };
  });
  const copies = (page) => page.evaluate(() => ({ clipboard: window.__clipboard, exec: window.__execCopies, areas: document.querySelectorAll('textarea').length }));
  const CODE = '\necho "<hi>" && ls';

  const table = [
    ['clipboard accepts', 'accepts', true, { clipboard: [CODE], exec: 0 }, true],
    ['clipboard refuses, fall-back copies', 'refuses', true, { clipboard: [], exec: 1 }, true],
    ['no clipboard, fall-back copies', 'absent', true, { clipboard: [], exec: 1 }, true],
    ['both fail', 'refuses', false, { clipboard: [], exec: 1 }, false],
    ['copy command throws', 'absent', 'throws', { clipboard: [], exec: 1 }, false],
  ];
  for (const [name, mode, exec, expected, confirmed] of table) {
    it(name, async () => {
      const page = await copyPage(mode, exec);
      await page.click('.copy-btn');
      await page.clock.runFor(1);
      const got = await copies(page);
      assert.deepEqual(got.clipboard, expected.clipboard);
      assert.equal(got.exec.length, expected.exec);
      for (const call of got.exec) {
        assert.deepEqual(call, { command: 'copy', text: CODE, selected: CODE.length, style: 'position:fixed;opacity:0;pointer-events:none' });
      }
      assert.equal(got.areas, 1, 'the hidden text area is removed (only the input remains)');
      assert.deepEqual(await button(page), confirmed ? { text: 'Copied!', copied: true } : { text: 'Copy', copied: false });
    });
  }

  it('Copied! lasts 2000 ms from the first click, and a second click shows it again', async () => {
    const page = await copyPage('absent', true);
    await page.click('.copy-btn');
    await page.clock.runFor(1000);
    await page.click('.copy-btn');
    assert.deepEqual(await button(page), { text: 'Copied!', copied: true });
    await page.clock.runFor(999);
    assert.deepEqual(await button(page), { text: 'Copied!', copied: true });
    await page.clock.runFor(1);
    assert.deepEqual(await button(page), { text: 'Copy', copied: false });
    await page.clock.runFor(1000);
    assert.deepEqual(await button(page), { text: 'Copy', copied: false });
  });

  it('a block inside a list item copies its code without the item indentation', async () => {
    const { page } = await openPage(env, { clock: true });
    await stubClipboard(page, 'accepts', true);
    await greet(page);
    await reply(page, '1. Install:\n   ```sh\n   pip install "<x>" &&\n     echo ok\n   ```\n2. Done');
    await page.click('li .copy-btn');
    await page.clock.runFor(1);
    assert.deepEqual((await copies(page)).clipboard, ['pip install "<x>" &&\n  echo ok']);
    assert.deepEqual(await button(page), { text: 'Copied!', copied: true });
  });

  // Stopped, cut off at the token limit or failed: the reply is over, so a
  // block it left open is finished as it stands and can be copied. Label and
  // code hold markup, which must show as typed.
  describe('a reply that ends inside a code block', () => {
    const CODE = 'if a < b:\n    print("</code></pre><img src=x onerror=window.__pwned=1>" & x)';
    const endings = [
      ['stopped', [{ type: 'gen_done', stopped: true }]],
      ['cut off at the token limit', [{ type: 'gen_done', stopped: false }]],
      ['ended by an error', [{ type: 'error', text: 'Context window full. Please start a new chat.' }]],
    ];
    const blockView = (page) => page.evaluate(() => {
      const block = document.querySelector('.code-block');
      return {
        label: block.querySelector('.code-lang').textContent,
        writing: block.querySelectorAll('.code-streaming').length,
        copy: Array.from(block.querySelectorAll('.copy-btn')).map((b) => b.textContent),
        highlighted: block.querySelector('pre code span') !== null,
        foreign: document.querySelectorAll('.bubble img, .bubble i').length,
      };
    });
    for (const [name, end] of endings) {
      it(name + ': its label, a Copy button that copies exactly its code, highlighting', async () => {
        const { page } = await openPage(env, { clock: true });
        await stubClipboard(page, 'accepts', true);
        await greet(page);
        await host(page, { type: 'assistant_start' }, { type: 'token', text: 'Try:\n```<i>Python\n' }, { type: 'token', text: CODE });
        await page.clock.runFor(100);
        assert.deepEqual(await blockView(page), { label: '<i>Python', writing: 1, copy: [], highlighted: false, foreign: 0 });
        await host(page, ...end);
        await finishRowEntrances(page);
        assert.deepEqual(await blockView(page), { label: '<i>Python', writing: 0, copy: ['Copy'], highlighted: true, foreign: 0 });
        await page.click('.copy-btn');
        await page.clock.runFor(1);
        assert.deepEqual((await copies(page)).clipboard, [CODE]);
        assert.deepEqual(await button(page), { text: 'Copied!', copied: true });
        assert.equal(await page.evaluate(() => window.__pwned), undefined);
      });
    }
  });

  // A real press (mouse down, live renders arriving, mouse up) while a reply
  // streams: each render rebuilds the bubble, and following the reply to the
  // bottom moves an earlier reply's button from under the pointer.
  describe('a press on Copy while a reply streams', () => {
    async function streamingPage() {
      const { page } = await openPage(env, { clock: true });
      await stubClipboard(page, 'accepts', true);
      await greet(page);
      return page;
    }
    const liveTokens = async (page, text) => {
      await host(page, { type: 'token', text });
      await page.clock.runFor(100);
    };
    // Presses the button, lets the renders of the given tokens arrive, and
    // releases; reports whether the button moved or was rebuilt meanwhile.
    async function pressAcross(page, selector, tokens) {
      await finishRowEntrances(page);
      const button = page.locator(selector);
      const box = await button.boundingBox();
      await page.evaluate((sel) => { window.__pressed = document.querySelector(sel); }, selector);
      await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
      await page.mouse.down();
      for (const text of tokens) await liveTokens(page, text);
      const after = await page.evaluate((sel) => {
        const pressed = window.__pressed;
        return { rebuilt: !pressed.isConnected, top: pressed.getBoundingClientRect().top };
      }, selector);
      await page.mouse.up();
      await page.clock.runFor(1);
      return { rebuilt: after.rebuilt, moved: after.top !== box.y };
    }

    it('copies a closed block of the streaming reply although renders rebuild it', async () => {
      const page = await streamingPage();
      await host(page, { type: 'assistant_start' });
      await liveTokens(page, 'Run:\n```sh\nmake <all> && echo ok\n```\n');
      const change = await pressAcross(page, '.copy-btn', ['Then ', 'more ', 'text.']);
      assert.equal(change.rebuilt, true);
      assert.deepEqual((await copies(page)).clipboard, ['make <all> && echo ok']);
    });

    it('copies an earlier reply\'s block while the streaming reply scrolls it away', async () => {
      const page = await streamingPage();
      await reply(page, 'Earlier:\n```py\nprint("<x>")\n```');
      await host(page, { type: 'assistant_start' });
      await liveTokens(page, 'Now ');
      const change = await pressAcross(page, '.copy-btn', ['a\n\n'.repeat(8), 'b\n\n'.repeat(8)]);
      assert.deepEqual(change, { rebuilt: false, moved: true });
      assert.deepEqual((await copies(page)).clipboard, ['print("<x>")']);
      assert.deepEqual(await button(page), { text: 'Copied!', copied: true });
    });

    it('a Copy button reached with the keyboard copies once on Enter', async () => {
      const page = await streamingPage();
      await reply(page, '```sh\nls\n```');
      await page.focus('.copy-btn');
      await page.keyboard.press('Enter');
      await page.clock.runFor(1);
      assert.deepEqual((await copies(page)).clipboard, ['ls']);
    });
  });

  it('copies the plain code of a highlighted block', async () => {
    const page = await copyPage('accepts', true);
    assert.ok(await page.evaluate(() => document.querySelector('.code-block code span') !== null));
    await page.click('.copy-btn');
    await page.clock.runFor(1);
    assert.deepEqual((await copies(page)).clipboard, [CODE]);
  });
});
