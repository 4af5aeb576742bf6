// The chat page's script in Chromium: host messages and their reactions, the
// three control states, the pill, rows and grouping, sending and the
// keyboard, the theme, and recovery from failures.
'use strict';
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { setUp, openPage, host, posted } = require('./harness.js');
const { START, GENERATING, IDLE, controls, pill, rows, greet } = require('./page_helpers.js');

let env;
before(async () => { env = await setUp(process.argv); });
after(async () => { await env.close(); });

async function fresh(options) {
  const opened = await openPage(env, options);
  return opened.page;
}

describe('start and host messages', () => {
  it('starts loading with every control locked and announces nothing', async () => {
    const page = await fresh();
    assert.deepEqual(await controls(page), START);
    assert.deepEqual(await pill(page), { dot: '', text: 'Loading…' });
    const doc = await page.evaluate(() => ({
      splash: document.querySelector('#loading-state .loading-label').textContent,
      dots: document.querySelectorAll('#loading-state .loading-dot').length,
      theme: document.getElementById('theme-btn').textContent,
      newChat: document.getElementById('new-chat-btn').textContent,
      placeholder: document.getElementById('input').placeholder,
      hint: document.getElementById('input-hint').textContent,
      bodyOverflow: getComputedStyle(document.body).overflow,
    }));
    assert.deepEqual(doc, {
      splash: 'Loading model…', dots: 3, theme: '\u{1F319}', newChat: '+ New Chat', placeholder: 'Message…',
      hint: 'Enter\u00a0to\u00a0send \u00a0\u00b7\u00a0 Shift+Enter\u00a0for\u00a0new\u00a0line', bodyOverflow: 'hidden',
    });
    assert.deepEqual(await posted(page), []);
  });

  it('follows load, greeting, stop and end through controls and pill', async () => {
    const page = await fresh();
    await host(page, { type: 'status', state: '', text: 'Loading model…' });
    assert.deepEqual(await pill(page), { dot: '', text: 'Loading model…' });
    await host(page, { type: 'load_done' });
    assert.deepEqual(await pill(page), { dot: 'ready', text: 'Ready' });
    assert.deepEqual(await controls(page), START);
    assert.equal(await page.$('#loading-state'), null);

    await host(page, { type: 'assistant_start' });
    assert.deepEqual(await controls(page), GENERATING);
    assert.deepEqual(await pill(page), { dot: 'generating', text: 'Generating…' });
    assert.equal(await page.locator('.bubble.assistant .thinking-dot').count(), 3);

    await host(page, { type: 'token', text: 'Hi' }, { type: 'token', text: ' there' });
    assert.deepEqual(await pill(page), { dot: 'generating', text: 'Generating… 2 tok' });
    await host(page, { type: 'status', state: '', text: 'Stopping…' });
    assert.deepEqual(await pill(page), { dot: '', text: 'Stopping…' });
    await host(page, { type: 'token', text: '!' });
    assert.deepEqual(await controls(page), GENERATING);

    await host(page, { type: 'gen_done', stopped: true });
    assert.deepEqual(await pill(page), { dot: '', text: 'Stopped' });
    assert.deepEqual(await controls(page), IDLE);
    const [row] = await rows(page);
    assert.equal(row.html, '<p>Hi there!</p>');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'input');
    assert.equal(await page.locator('.cursor').count(), 0);
  });

  it('counts from zero again at each reply and ends with Ready', async () => {
    const page = await fresh();
    await greet(page, ['a', 'b', 'c']);
    assert.deepEqual(await pill(page), { dot: 'ready', text: 'Ready' });
    await host(page, { type: 'assistant_start' }, { type: 'token', text: 'x' });
    assert.deepEqual(await pill(page), { dot: 'generating', text: 'Generating… 1 tok' });
  });

  it('reads missing or odd members safely and ignores unknown types', async () => {
    const page = await fresh();
    await greet(page);
    const before = await page.evaluate(() => document.body.innerHTML);
    await host(page, { type: 'Send' }, { type: 'bogus', text: 'x' }, { text: 'no type' });
    assert.equal(await page.evaluate(() => document.body.innerHTML), before);
    await host(page, { type: 'status' });
    assert.deepEqual(await pill(page), { dot: '', text: '' });
    await host(page, { type: 'status', state: 'error', text: 'Odd' });
    assert.deepEqual(await pill(page), { dot: 'error', text: 'Odd' });
    await host(page, { type: 'assistant_start' }, { type: 'token' }, { type: 'token', text: 42 }, { type: 'token', text: 'ok' });
    assert.deepEqual(await pill(page), { dot: 'generating', text: 'Generating… 3 tok' });
    await host(page, { type: 'gen_done' });
    assert.deepEqual(await pill(page), { dot: 'ready', text: 'Ready' });
    assert.equal((await rows(page)).at(-1).text, 'ok');
  });

  it('drops tokens that arrive with no reply open, but counts them', async () => {
    const page = await fresh();
    await greet(page);
    await host(page, { type: 'token', text: 'stray' });
    assert.equal((await rows(page)).length, 1);
    assert.deepEqual(await pill(page), { dot: 'generating', text: 'Generating… 3 tok' });
  });
});

describe('rows and grouping', () => {
  it('a blank reply leaves no row and the next row starts a group', async () => {
    const page = await fresh();
    await greet(page, [' ', '\n', '\t']);
    assert.deepEqual(await rows(page), []);
    await host(page, { type: 'assistant_start' }, { type: 'gen_done', stopped: true });
    assert.deepEqual(await rows(page), []);
    await host(page, { type: 'error', text: 'Engine is not initialized.' });
    const [row] = await rows(page);
    assert.deepEqual([row.role, row.groupStart, row.avatarHidden], ['assistant', true, false]);
    assert.equal(row.text, '\u26A0\uFE0F  Engine is not initialized.');
  });

  it('groups consecutive rows of one role and lines their bubbles up', async () => {
    const page = await fresh();
    // After a failed load sends go out unanswered, so user rows follow each other.
    await host(page, { type: 'error', text: 'Not enough memory to load the model.' });
    await page.fill('#input', 'one');
    await page.press('#input', 'Enter');
    await page.fill('#input', 'two');
    await page.press('#input', 'Enter');
    await host(page, { type: 'assistant_start' }, { type: 'token', text: 'partial' }, { type: 'error', text: 'Context window full. Please start a new chat.' });
    const list = await rows(page);
    assert.deepEqual(list.map((r) => [r.role, r.groupStart, r.avatarHidden]), [
      ['assistant', true, false], ['user', true, false], ['user', false, true],
      ['assistant', true, false], ['assistant', false, true]]);
    assert.equal(list[3].html, '<p>partial</p>');
    const geometry = await page.evaluate(() => {
      const rowsEl = document.querySelectorAll('.msg-row');
      const box = (el) => el.getBoundingClientRect();
      const inner = box(document.getElementById('messages-inner'));
      const user = rowsEl[1];
      return {
        firstMargin: getComputedStyle(rowsEl[0]).marginTop,
        groupMargin: getComputedStyle(rowsEl[1]).marginTop,
        userBubbleRight: inner.right - 20 - box(user.querySelector('.bubble')).right,
        avatarLeftOfBubble: box(user.querySelector('.avatar')).right <= box(user.querySelector('.bubble')).left,
        hiddenAvatarKeepsPlace: box(rowsEl[2].querySelector('.bubble')).right === box(user.querySelector('.bubble')).right,
      };
    });
    assert.deepEqual(geometry, { firstMargin: '0px', groupMargin: '14px', userBubbleRight: 0, avatarLeftOfBubble: true, hiddenAvatarKeepsPlace: true });
  });

  it('error rows render markdown and escape markup; missing text says Unknown error', async () => {
    const page = await fresh();
    await greet(page);
    await host(page, { type: 'error', text: '**bad** <img src=x onerror="window.__pwned=1">' }, { type: 'error' }, { type: 'error', text: '' });
    const list = await rows(page);
    assert.equal(list[1].html, '<p>⚠️  <strong>bad</strong> &lt;img src=x onerror="window.__pwned=1"&gt;</p>');
    assert.equal(list[2].text, '\u26A0\uFE0F  Unknown error');
    assert.equal(list[3].text, '\u26A0\uFE0F  Unknown error');
    assert.equal(await page.evaluate(() => window.__pwned), undefined);
    assert.deepEqual(await pill(page), { dot: 'error', text: 'Error' });
    assert.deepEqual(await controls(page), IDLE);
  });

  it('a table wider than the bubble can be scrolled into view; long words wrap', async () => {
    const page = await fresh();
    await greet(page, ['x'.repeat(300) + '\n\n| ' + 'z'.repeat(200) + ' | end |\n|---|---|\n| c | d |']);
    const view = await page.evaluate(() => {
      const bubble = document.querySelector('.bubble.assistant');
      const p = bubble.querySelector('p');
      bubble.scrollLeft = 1e6;
      const last = bubble.querySelectorAll('th')[1].getBoundingClientRect();
      const box = bubble.getBoundingClientRect();
      return { wraps: p.scrollWidth <= p.clientWidth, endVisible: last.right <= box.right && last.left >= box.left };
    });
    assert.deepEqual(view, { wraps: true, endVisible: true });
  });

  it('new chat: the click only asks; the host answer clears rows and keeps controls', async () => {
    const page = await fresh();
    await greet(page);
    await page.click('#new-chat-btn');
    assert.deepEqual(await posted(page), ['{"type":"new_chat"}']);
    assert.equal((await rows(page)).length, 1);
    await host(page, { type: 'new_chat' });
    assert.deepEqual(await rows(page), []);
    assert.deepEqual(await pill(page), { dot: 'ready', text: 'Ready' });
    assert.deepEqual(await controls(page), IDLE);
    await host(page, { type: 'assistant_start' });
    assert.equal((await rows(page))[0].groupStart, true);
  });

  it('new chat during a reply closes it before clearing', async () => {
    const page = await fresh();
    await greet(page);
    await host(page, { type: 'assistant_start' }, { type: 'token', text: 'half' }, { type: 'new_chat' }, { type: 'token', text: 'late' });
    assert.deepEqual(await rows(page), []);
    assert.equal(await page.evaluate(() => currentBubble), null);
  });
});

describe('sending and the keyboard', () => {
  it('Enter sends the trimmed text; line breaks inside stay', async () => {
    const page = await fresh();
    await greet(page);
    await page.focus('#input');
    await page.keyboard.type('  first');
    await page.keyboard.press('Shift+Enter');
    await page.keyboard.type('second  ');
    assert.equal(await page.inputValue('#input'), '  first\nsecond  ');
    await page.keyboard.press('Enter');
    assert.equal(await page.inputValue('#input'), '');
    assert.deepEqual(await posted(page), ['{"type":"send","text":"first\\nsecond"}']);
    const user = (await rows(page)).at(-1);
    assert.deepEqual([user.role, user.text], ['user', 'first\nsecond']);
    assert.equal(await page.evaluate(() => getComputedStyle(document.querySelector('.bubble.user')).whiteSpace), 'pre-wrap');
  });

  it('user text is never read as markup', async () => {
    const page = await fresh();
    await greet(page);
    await page.fill('#input', '<b>hi</b> **x** <img src=x onerror="window.__pwned=1">');
    await page.click('#send-btn');
    const user = (await rows(page)).at(-1);
    assert.equal(user.text, '<b>hi</b> **x** <img src=x onerror="window.__pwned=1">');
    assert.equal(await page.locator('.bubble.user *').count(), 0);
  });

  it('sends nothing for empty or white-space text, and Enter never inserts a line', async () => {
    const page = await fresh();
    await greet(page);
    for (const value of ['', '   ', '\n\t\u00a0\u3000']) {
      await page.fill('#input', value);
      const prevented = await page.evaluate(() => {
        const ev = new KeyboardEvent('keydown', { key: 'Enter', bubbles: true, cancelable: true, altKey: true });
        document.getElementById('input').dispatchEvent(ev);
        return ev.defaultPrevented;
      });
      assert.equal(prevented, true);
      assert.equal(await page.inputValue('#input'), value);
    }
    assert.deepEqual(await posted(page), []);
    assert.equal((await rows(page)).length, 1);
  });

  // The host ignores a send while a reply runs, so a second one before its
  // answer would show a question nobody answers.
  it('after loading, a second send waits until the host answers the first', async () => {
    const page = await fresh();
    await greet(page);
    const sends = async () => (await posted(page)).filter((text) => text.startsWith('{"type":"send"'));
    // The usual answer, a failed thread start, and the end of a reply that
    // ran on after a recovery (the host ignored the send).
    const answers = [{ type: 'assistant_start' }, { type: 'error', text: 'Could not start generation thread.' },
      { type: 'gen_done', stopped: false }];
    for (const [n, answer] of answers.entries()) {
      await page.fill('#input', 'first ' + n);
      await page.press('#input', 'Enter');
      await page.fill('#input', 'second ' + n);
      await page.press('#input', 'Enter');
      await page.click('#send-btn');
      assert.deepEqual(await sends(page), answers.slice(0, n + 1).map((_, k) => '{"type":"send","text":"first ' + k + '"}'));
      assert.equal(await page.inputValue('#input'), 'second ' + n);
      assert.deepEqual((await rows(page)).filter((r) => r.role === 'user').map((r) => r.text).slice(-1), ['first ' + n]);
      await host(page, answer);
      if (answer.type === 'assistant_start') await host(page, { type: 'gen_done', stopped: false });
      await page.fill('#input', '');
    }
    await page.fill('#input', 'third');
    await page.press('#input', 'Enter');
    assert.equal((await sends(page)).at(-1), '{"type":"send","text":"third"}');
    assert.equal(await page.inputValue('#input'), '');
  });

  // While the host is busy with a new chat or a reply the page no longer
  // shows, it drops a send; and its "new_chat" would clear the row anyway.
  // Each row: how the page gets there, then the host's answer that frees
  // the input.
  const busyWindows = [
    ['after the New Chat request', async (page) => { await greet(page); await page.click('#new-chat-btn'); },
      [{ type: 'new_chat' }, { type: 'assistant_start' }, { type: 'gen_done', stopped: false }]],
    ['after the host\'s new_chat, before the greeting starts', async (page) => {
      await greet(page);
      await page.keyboard.press('Control+n');
      await host(page, { type: 'new_chat' });
    }, [{ type: 'assistant_start' }, { type: 'token', text: 'Hi' }, { type: 'gen_done', stopped: true }]],
    ['after a new chat whose greeting cannot start', async (page) => {
      await greet(page);
      await page.click('#new-chat-btn');
      await host(page, { type: 'new_chat' });
    }, [{ type: 'assistant_start' }, { type: 'error', text: 'Could not start greeting thread.' }]],
    ['after a recovery while the host still generates', async (page) => {
      await greet(page);
      await host(page, { type: 'assistant_start' });
      await page.evaluate(() => { appendToken = () => { throw new Error('boom'); }; });
      await host(page, { type: 'token', text: 'x' });
    }, [{ type: 'token', text: 'y' }, { type: 'gen_done', stopped: false }]],
    ['after a failed load, between New Chat and its answer', async (page) => {
      await host(page, { type: 'error', text: 'Could not find model.gguf.' });
      await page.click('#new-chat-btn');
    }, [{ type: 'new_chat' }, { type: 'assistant_start' }, { type: 'error', text: 'Engine is not initialized.' }]],
  ];
  for (const [name, reach, answer] of busyWindows) {
    it('a send waits in the input ' + name, async () => {
      const page = await fresh();
      await reach(page);
      const before = await posted(page);
      await page.fill('#input', 'question');
      await page.press('#input', 'Enter');
      await page.click('#send-btn');
      assert.deepEqual(await posted(page), before);
      assert.equal(await page.inputValue('#input'), 'question');
      assert.deepEqual((await rows(page)).filter((r) => r.role === 'user'), []);
      assert.deepEqual(await controls(page), IDLE);

      await host(page, ...answer);
      await page.press('#input', 'Enter');
      assert.equal((await posted(page)).at(-1), '{"type":"send","text":"question"}');
      assert.equal(await page.inputValue('#input'), '');
      assert.equal((await rows(page)).at(-1).text, 'question');
    });
  }

  it('after a recovery on the end of a reply a send goes out at once', async () => {
    const page = await fresh();
    await greet(page);
    await host(page, { type: 'assistant_start' }, { type: 'token', text: 'partial' });
    await page.evaluate(() => { highlightBubble = () => { throw new Error('boom'); }; });
    await host(page, { type: 'gen_done', stopped: false });
    assert.deepEqual(await pill(page), { dot: 'error', text: 'Render error \u2014 recovered' });
    await page.fill('#input', 'next');
    await page.press('#input', 'Enter');
    assert.deepEqual(await posted(page), ['{"type":"send","text":"next"}']);
  });

  it('after a failed load every send is posted at once and none waits', async () => {
    const page = await fresh();
    await host(page, { type: 'error', text: 'Could not find model.gguf. Place a GGUF model file next to Velkin.exe and restart.' });
    for (const text of ['one', 'two']) {
      await page.fill('#input', text);
      await page.press('#input', 'Enter');
    }
    await page.fill('#input', 'three');
    await page.click('#send-btn');
    assert.deepEqual(await posted(page), ['one', 'two', 'three'].map((t) => '{"type":"send","text":"' + t + '"}'));
    assert.deepEqual((await rows(page)).map((r) => r.role), ['assistant', 'user', 'user', 'user']);
    assert.deepEqual(await controls(page), IDLE);
  });

  // WebKit may deliver the Enter that commits a composition with keyCode 229
  // and isComposing false.
  const compositionEnters = [
    ['isComposing', { isComposing: true }],
    ['keyCode 229 without isComposing', { isComposing: false, keyCode: 229 }],
  ];
  for (const [name, init] of compositionEnters) {
    it('an Enter that confirms an input-method composition does not send: ' + name, async () => {
      const page = await fresh();
      await greet(page);
      await page.fill('#input', '日本');
      const prevented = await page.evaluate((extra) => {
        const ev = new KeyboardEvent('keydown', Object.assign({ key: 'Enter', bubbles: true, cancelable: true }, extra));
        document.getElementById('input').dispatchEvent(ev);
        return ev.defaultPrevented;
      }, init);
      assert.equal(prevented, false);
      assert.deepEqual(await posted(page), []);
      assert.equal(await page.inputValue('#input'), '日本');
    });
  }

  it('Ctrl+N asks for a new chat only while New Chat is enabled', async () => {
    const page = await fresh();
    const press = (shift) => page.evaluate((withShift) => {
      const ev = new KeyboardEvent('keydown', { key: withShift ? 'N' : 'n', ctrlKey: true, shiftKey: withShift, bubbles: true, cancelable: true });
      document.body.dispatchEvent(ev);
      return ev.defaultPrevented;
    }, shift);
    assert.equal(await press(false), true);
    assert.deepEqual(await posted(page), []);
    await greet(page);
    assert.equal(await press(true), false);
    assert.deepEqual(await posted(page), []);
    await page.focus('#input');
    await page.keyboard.press('Control+n');
    assert.deepEqual(await posted(page), ['{"type":"new_chat"}']);
    await host(page, { type: 'assistant_start' });
    assert.equal(await press(false), true);
    assert.deepEqual(await posted(page), ['{"type":"new_chat"}']);
  });

  // The engine may already have sampled tokens when Stop reaches it.
  it('after Stop the pill says Stopping… until the reply ends, whatever tokens still arrive', async () => {
    const page = await fresh();
    await greet(page);
    await host(page, { type: 'assistant_start' }, { type: 'token', text: 'Hi' });
    await page.click('#stop-btn');
    await host(page, { type: 'status', state: '', text: 'Stopping…' }, { type: 'token', text: ' there' }, { type: 'token', text: '!' });
    assert.deepEqual(await pill(page), { dot: '', text: 'Stopping…' });
    await host(page, { type: 'gen_done', stopped: true });
    assert.deepEqual(await pill(page), { dot: '', text: 'Stopped' });
    assert.equal((await rows(page)).at(-1).text, 'Hi there!');

    await host(page, { type: 'assistant_start' }, { type: 'token', text: 'next' });
    assert.deepEqual(await pill(page), { dot: 'generating', text: 'Generating… 1 tok' });
  });

  // The host starts generating on a send and then ignores New Chat, so the
  // reply would stream into the conversation the user meant to leave.
  const sendAnswers = [
    ['the reply starts and ends', [{ type: 'assistant_start' }, { type: 'gen_done', stopped: false }]],
    ['the reply cannot start', [{ type: 'error', text: 'Could not start generation thread.' }]],
  ];
  for (const [name, answer] of sendAnswers) {
    it('New Chat is disabled from a send until the host answers it: ' + name, async () => {
      const page = await fresh();
      await greet(page);
      await page.fill('#input', 'question');
      await page.press('#input', 'Enter');
      await page.keyboard.press('Control+n');
      assert.deepEqual(await posted(page), ['{"type":"send","text":"question"}']);
      assert.deepEqual(await controls(page), { ...IDLE, newChat: false });
      await host(page, ...answer);
      assert.deepEqual(await controls(page), IDLE);
      await page.keyboard.press('Control+n');
      assert.equal((await posted(page)).at(-1), '{"type":"new_chat"}');
    });
  }

  it('after a failed load a send leaves New Chat enabled, as no answer comes', async () => {
    const page = await fresh();
    await host(page, { type: 'error', text: 'Could not find model.gguf.' });
    await page.fill('#input', 'question');
    await page.press('#input', 'Enter');
    assert.deepEqual(await controls(page), IDLE);
    await page.click('#new-chat-btn');
    assert.equal((await posted(page)).at(-1), '{"type":"new_chat"}');
  });

  it('Stop posts stop and changes nothing by itself', async () => {
    const page = await fresh();
    await greet(page);
    await host(page, { type: 'assistant_start' });
    await page.click('#stop-btn');
    assert.deepEqual(await posted(page), ['{"type":"stop"}']);
    assert.deepEqual(await controls(page), GENERATING);
    assert.deepEqual(await pill(page), { dot: 'generating', text: 'Generating…' });
  });

  it('the text area grows to 160 px, then scrolls, and shrinks after a send', async () => {
    const page = await fresh();
    await greet(page);
    const height = () => page.evaluate(() => document.getElementById('input').getBoundingClientRect().height);
    const oneRow = await height();
    assert.ok(oneRow >= 26 && oneRow < 40, String(oneRow));
    await page.fill('#input', 'a\nb\nc');
    const threeRows = await height();
    assert.ok(threeRows > oneRow + 30 && threeRows < 160, String(threeRows));
    await page.fill('#input', 'line\n'.repeat(30) + 'end');
    assert.equal(await height(), 160);
    await page.press('#input', 'Enter');
    assert.equal(await height(), oneRow);
  });
});

describe('theme', () => {
  it('toggles, stores the choice and starts with it next time', async () => {
    const { page } = await openPage(env);
    const theme = () => page.evaluate(() => ({
      attr: document.documentElement.getAttribute('data-theme'),
      glyph: document.getElementById('theme-btn').textContent,
      stored: localStorage.getItem('vkn-theme'),
      bg: getComputedStyle(document.body).backgroundColor,
    }));
    assert.deepEqual(await theme(), { attr: null, glyph: '\u{1F319}', stored: null, bg: 'rgb(244, 244, 245)' });
    await page.click('#theme-btn');
    assert.deepEqual(await theme(), { attr: 'dark', glyph: '\u2600\uFE0F', stored: 'dark', bg: 'rgb(15, 15, 17)' });
    await page.reload();
    assert.deepEqual(await theme(), { attr: 'dark', glyph: '\u2600\uFE0F', stored: 'dark', bg: 'rgb(15, 15, 17)' });
    await page.click('#theme-btn');
    assert.deepEqual(await theme(), { attr: 'light', glyph: '\u{1F319}', stored: 'light', bg: 'rgb(244, 244, 245)' });
    for (const stored of ['light', 'DARK', '', 'dark ']) {
      await page.evaluate((v) => localStorage.setItem('vkn-theme', v), stored);
      await page.reload();
      assert.equal((await theme()).attr, null, stored);
    }
  });

  it('refused storage starts light and toggling still works', async () => {
    const { page, errors } = await openPage(env, {
      initScripts: [() => {
        Object.defineProperty(window, 'localStorage', { configurable: true, get() { throw new DOMException('denied', 'SecurityError'); } });
      }],
    });
    assert.equal(await page.evaluate(() => document.documentElement.getAttribute('data-theme')), null);
    await page.click('#theme-btn');
    assert.equal(await page.evaluate(() => document.documentElement.getAttribute('data-theme')), 'dark');
    await page.click('#theme-btn');
    assert.equal(await page.evaluate(() => document.documentElement.getAttribute('data-theme')), 'light');
    assert.deepEqual(errors, []);
  });
});

describe('recovery', () => {
  it('a renderer failure during a reply shows the text as typed and streaming goes on', async () => {
    const page = await fresh();
    await greet(page);
    await page.evaluate(() => { renderMarkdown = () => { throw new Error('renderer bug'); }; });
    await host(page, { type: 'assistant_start' }, { type: 'token', text: '# a <b>' }, { type: 'gen_done', stopped: false });
    assert.equal((await rows(page)).at(-1).html, '<p># a &lt;b&gt;</p>');
    assert.deepEqual(await pill(page), { dot: 'ready', text: 'Ready' });
    assert.deepEqual(await posted(page), []);
  });

  it('a failure inside a reaction recovers: idle controls, pill, no cursor, later tokens dropped', async () => {
    const page = await fresh();
    await greet(page);
    await host(page, { type: 'assistant_start' }, { type: 'token', text: 'partial ' });
    await page.waitForSelector('.bubble.assistant.rendered .cursor');
    await page.evaluate(() => { highlightBubble = () => { throw new Error('boom'); }; });
    await host(page, { type: 'gen_done', stopped: false });
    assert.deepEqual(await pill(page), { dot: 'error', text: 'Render error \u2014 recovered' });
    assert.deepEqual(await controls(page), IDLE);
    assert.equal(await page.locator('.cursor').count(), 0);
    assert.equal((await rows(page)).at(-1).text, 'partial ');

    await host(page, { type: 'token', text: 'more' });
    assert.deepEqual(await pill(page), { dot: 'generating', text: 'Generating… 2 tok' });
    assert.equal((await rows(page)).at(-1).text, 'partial ');
    await host(page, { type: 'gen_done', stopped: true });
    assert.deepEqual(await pill(page), { dot: '', text: 'Stopped' });
  });

  it('an error row whose rendering fails is not added and the page recovers', async () => {
    const page = await fresh();
    await greet(page);
    await page.evaluate(() => { renderMarkdown = () => { throw new Error('boom'); }; });
    await host(page, { type: 'error', text: 'x' });
    assert.equal((await rows(page)).length, 1);
    assert.deepEqual(await pill(page), { dot: 'error', text: 'Render error \u2014 recovered' });
    assert.deepEqual(await controls(page), IDLE);
  });
});

describe('client-error reports', () => {
  it('the shipped page reports nothing', async () => {
    const page = await fresh();
    await greet(page);
    await page.evaluate(() => { renderMarkdown = () => { throw new Error('boom'); }; });
    await host(page, { type: 'error', text: 'x' });
    await page.evaluate(() => reportClientError('direct', new Error('e'), 'raw'));
    assert.deepEqual(await posted(page), []);
  });

  it('with reports on: labels, members in order, len and the 6000-unit cut', async () => {
    const page = await fresh({ debug: true });
    await greet(page);
    await page.evaluate(() => { renderMarkdown = () => { throw new Error('boom'); }; });
    await host(page, { type: 'assistant_start' }, { type: 'token', text: 'abc' }, { type: 'gen_done', stopped: false });
    await host(page, { type: 'error', text: 'x' });
    await page.evaluate(() => {
      reportClientError('long', 'plain', 'é'.repeat(6001));
      reportClientError('none', 'plain');
      reportClientError('empty', 'plain', '');
    });
    const reports = (await posted(page)).map((text) => JSON.parse(text));
    assert.deepEqual(Object.keys(reports[0]), ['type', 'where', 'text', 'len', 'raw']);
    assert.deepEqual(reports.map((r) => [r.type, r.where, r.len, r.raw.length]), [
      ['clienterror', 'endAssistant', 3, 3],
      ['clienterror', 'onmessage:error', -1, 0],
      ['clienterror', 'long', 6001, 6000],
      ['clienterror', 'none', -1, 0],
      ['clienterror', 'empty', -1, 0]]);
    assert.match(reports[0].text, /boom/);
    assert.equal(reports[2].text, 'plain');
  });

  it('with reports on: an uncaught error elsewhere is reported as window.onerror', async () => {
    const page = await fresh({ debug: true });
    await page.evaluate(() => setTimeout(() => { throw new Error('late failure'); }, 0));
    await page.waitForFunction(() => window.__posted.length > 0);
    const report = JSON.parse((await posted(page))[0]);
    assert.equal(report.where, 'window.onerror');
    assert.match(report.text, /late failure/);
  });
});
