// Live rendering of a streaming reply in Chromium, on Playwright's clock:
// the 80 ms throttle on animation frames, the final render, the cursor and
// scrolling: a reader at the bottom follows the reply, one who has scrolled
// up is left where they are.
'use strict';
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { setUp, openPage, host } = require('./harness.js');
const { greet, rows } = require('./page_helpers.js');

let env;
before(async () => { env = await setUp(process.argv); });
after(async () => { await env.close(); });

// A page on a fake clock that records the length of every live render.
async function clockedPage() {
  const { page } = await openPage(env, { clock: true });
  await page.clock.runFor(1000);
  await page.evaluate(() => {
    window.__renders = [];
    const real = renderSafely;
    renderSafely = function (text, where) {
      if (where === 'liveRender') window.__renders.push(text.length);
      return real(text, where);
    };
  });
  await greet(page);
  return page;
}

const renders = (page) => page.evaluate(() => window.__renders.slice());
const lastBubble = (page) => page.evaluate(() => {
  const bubbles = document.querySelectorAll('.bubble.assistant');
  return bubbles[bubbles.length - 1].textContent;
});

describe('throttle', () => {
  it('many tokens in one frame make one render; a token within 80 ms waits', async () => {
    const page = await clockedPage();
    const words = Array.from({ length: 40 }, (_, i) => 'w' + i + ' ');
    await host(page, { type: 'assistant_start' }, ...words.map((text) => ({ type: 'token', text })));
    assert.deepEqual(await renders(page), []);
    await page.clock.runFor(20);
    assert.deepEqual(await renders(page), [words.join('').length]);
    assert.equal(await lastBubble(page), words.join(''));

    await host(page, { type: 'token', text: 'X' });
    await page.clock.runFor(40);
    assert.equal((await renders(page)).length, 1);
    assert.equal(await lastBubble(page), words.join(''));
    await page.clock.runFor(60);
    assert.equal((await renders(page)).length, 2);
    assert.equal(await lastBubble(page), words.join('') + 'X');

    await host(page, { type: 'token', text: '' });
    await page.clock.runFor(500);
    assert.equal((await renders(page)).length, 2, 'no render without new text');
  });

  it('renders at most every 80 ms under a steady stream, and the last tokens appear at the end', async () => {
    const page = await clockedPage();
    await host(page, { type: 'assistant_start' });
    for (let i = 0; i < 50; i++) {
      await host(page, { type: 'token', text: 't' + i + ' ' });
      await page.clock.runFor(10);
    }
    const count = (await renders(page)).length;
    assert.ok(count >= 5 && count <= 7, 'renders in 500 ms: ' + count);
    await host(page, { type: 'token', text: 'LAST' }, { type: 'gen_done', stopped: false });
    assert.match(await lastBubble(page), /t49 LAST$/);
    assert.equal((await renders(page)).length, count);
    await page.clock.runFor(200);
    assert.equal((await renders(page)).length, count, 'no live render after the end');
  });

  it('an empty first token still replaces the thinking dots with a cursor', async () => {
    const page = await clockedPage();
    await host(page, { type: 'assistant_start' }, { type: 'token', text: '' });
    await page.clock.runFor(20);
    assert.equal((await rows(page)).at(-1).html, '<p><span class="cursor"></span></p>');
  });
});

describe('cursor', () => {
  const cases = [
    ['after a paragraph, inside it', 'some text', 'P'],
    ['after a heading, inside it', '## Title', 'H2'],
    ['after a quote, inside it', '> quoted', 'BLOCKQUOTE'],
    ['after a list, at the bubble end', '- a\n- b', 'DIV'],
    ['after an open code block, at the bubble end', '```js\nlet a', 'DIV'],
    ['after a table, at the bubble end', '| a | b |\n|---|---|', 'DIV'],
  ];
  for (const [name, text, parent] of cases) {
    it(name, async () => {
      const page = await clockedPage();
      await host(page, { type: 'assistant_start' }, { type: 'token', text });
      await page.clock.runFor(20);
      const where = await page.evaluate(() => {
        const cursors = document.querySelectorAll('.cursor');
        return { count: cursors.length, parent: cursors[0].parentElement.tagName, last: cursors[0].nextSibling === null };
      });
      assert.deepEqual(where, { count: 1, parent, last: true });
    });
  }

  it('an open block shows writing… and no Copy until it closes', async () => {
    const page = await clockedPage();
    await host(page, { type: 'assistant_start' }, { type: 'token', text: '```py\nprint(1)\n' });
    await page.clock.runFor(20);
    const state = () => page.evaluate(() => {
      const block = document.querySelectorAll('.code-block');
      const last = block[block.length - 1];
      return { streaming: !!last.querySelector('.code-streaming'), copy: !!last.querySelector('.copy-btn') };
    });
    assert.deepEqual(await state(), { streaming: true, copy: false });
    await host(page, { type: 'token', text: '```\n' });
    await page.clock.runFor(100);
    assert.deepEqual(await state(), { streaming: false, copy: true });
  });
});

describe('list items', () => {
  // What the last bubble shows of its first code block, and where.
  const itemBlock = (page) => page.evaluate(() => {
    const bubble = Array.from(document.querySelectorAll('.bubble.assistant')).at(-1);
    const block = bubble.querySelector('.code-block');
    if (!block) return null;
    return {
      inItem: block.parentElement.tagName,
      label: block.querySelector('.code-lang').textContent,
      streaming: block.querySelector('.code-streaming')?.textContent ?? null,
      copy: block.querySelector('.copy-btn')?.textContent ?? null,
      code: block.querySelector('pre code').textContent,
    };
  });

  it('an indented fence shows writing… inside its item while it streams, then Copy', async () => {
    const page = await clockedPage();
    await host(page, { type: 'assistant_start' }, { type: 'token', text: '1. Install:\n   ```bash\n   pip install "<x>"' });
    await page.clock.runFor(20);
    assert.deepEqual(await itemBlock(page), { inItem: 'LI', label: 'bash', streaming: 'writing…', copy: null, code: 'pip install "<x>"' });
    await host(page, { type: 'token', text: '\n   ```\n2. Run' });
    await page.clock.runFor(100);
    assert.deepEqual(await itemBlock(page), { inItem: 'LI', label: 'bash', streaming: null, copy: 'Copy', code: 'pip install "<x>"' });
    await host(page, { type: 'gen_done', stopped: false });
    assert.deepEqual(await page.evaluate(() => Array.from(document.querySelectorAll('.bubble.assistant')).at(-1)
      .querySelectorAll('li').length), 2);
  });

  it('a reply stopped inside an indented fence closes the block in its item', async () => {
    const page = await clockedPage();
    await host(page, { type: 'assistant_start' }, { type: 'token', text: '- Step\n  ```\n  make all' });
    await page.clock.runFor(100);
    assert.deepEqual(await itemBlock(page), { inItem: 'LI', label: 'code', streaming: 'writing…', copy: null, code: 'make all' });
    await host(page, { type: 'gen_done', stopped: true });
    assert.deepEqual(await itemBlock(page), { inItem: 'LI', label: 'code', streaming: null, copy: 'Copy', code: 'make all' });
  });
});

describe('scrolling', () => {
  // Fills the list so it scrolls, then opens a reply at the bottom.
  async function tallPage() {
    const page = await clockedPage();
    await host(page, { type: 'assistant_start' }, { type: 'token', text: Array.from({ length: 80 }, (_, i) => 'line ' + i).join('\n\n') },
      { type: 'gen_done', stopped: false }, { type: 'assistant_start' });
    return page;
  }
  const gap = (page) => page.evaluate(() => {
    const el = document.getElementById('messages-outer');
    return el.scrollHeight - el.scrollTop - el.clientHeight;
  });
  // A row's entrance animation moves it down a few pixels, which lengthens
  // the scroll height in real time; it is finished first so the distance holds.
  const scrollTo = (page, fromBottom) => page.evaluate((d) => {
    for (const a of document.getAnimations()) if (a.animationName === 'msgIn') a.finish();
    const el = document.getElementById('messages-outer');
    el.scrollTop = el.scrollHeight - el.clientHeight - d;
    return el.scrollTop;
  }, fromBottom);
  const top = (page) => page.evaluate(() => document.getElementById('messages-outer').scrollTop);

  it('a new reply row jumps to the bottom and live renders follow it', async () => {
    const page = await tallPage();
    assert.equal(await gap(page), 0);
    await host(page, { type: 'token', text: 'more\n\n'.repeat(20) });
    await page.clock.runFor(20);
    assert.equal(await gap(page), 0);
  });

  it('99 px above the bottom still follows; 100 px stays put, also through the final render', async () => {
    const page = await tallPage();
    await host(page, { type: 'token', text: 'a\n\n'.repeat(10) });
    await page.clock.runFor(20);
    await scrollTo(page, 99);
    await host(page, { type: 'token', text: 'b\n\n'.repeat(10) });
    await page.clock.runFor(100);
    assert.equal(await gap(page), 0);

    const at = await scrollTo(page, 100);
    await host(page, { type: 'token', text: 'c\n\n'.repeat(10) });
    await page.clock.runFor(100);
    assert.equal(await top(page), at);
    await host(page, { type: 'token', text: 'd\n\n'.repeat(10) }, { type: 'gen_done', stopped: false });
    assert.equal(await top(page), at);

    await host(page, { type: 'error', text: 'Context window full. Please start a new chat.' });
    assert.equal(await gap(page), 0, 'new rows always jump to the bottom');
  });

  // Tokens that reach the page after the last live render show only through
  // the final render, which must keep a following reader at the end.
  it('the final render keeps a following reader at the bottom', async () => {
    for (const fromBottom of [0, 99]) {
      const page = await tallPage();
      await host(page, { type: 'token', text: 'Steps:\n\n1. Install:\n   ```bash\n   pip install x\n' });
      await page.clock.runFor(20);
      await scrollTo(page, fromBottom);
      await host(page, { type: 'token', text: '   pip install y\n'.repeat(15) + '   ```\n2. Done\n\n' + 'end\n\n'.repeat(10) },
        { type: 'gen_done', stopped: false });
      assert.equal(await gap(page), 0, 'reader ' + fromBottom + ' px above the bottom');
      assert.equal(await page.evaluate(() => Array.from(document.querySelectorAll('.bubble.assistant')).at(-1)
        .querySelectorAll('li .code-block .copy-btn').length), 1);
    }
  });

  it('the final render leaves a scrolled-up reader in place', async () => {
    for (const fromBottom of [100, 400]) {
      const page = await tallPage();
      await host(page, { type: 'token', text: 'x\n\n'.repeat(10) });
      await page.clock.runFor(20);
      const at = await scrollTo(page, fromBottom);
      await host(page, { type: 'token', text: 'y\n\n'.repeat(20) }, { type: 'gen_done', stopped: false });
      assert.equal(await top(page), at, 'reader ' + fromBottom + ' px above the bottom');
      assert.ok(await gap(page) > fromBottom, 'the final render added lines below the reader');
    }
  });

  it('a reader at the top stays there while the reply streams', async () => {
    const page = await tallPage();
    await page.evaluate(() => { document.getElementById('messages-outer').scrollTop = 0; });
    for (let i = 0; i < 5; i++) {
      await host(page, { type: 'token', text: 'x\n\n' });
      await page.clock.runFor(100);
    }
    assert.equal(await top(page), 0);
  });
});
