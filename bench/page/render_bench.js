// Render figures of the chat page in Chromium (with highlight.js):
//  1. one live render of replies of 2,000, 8,000 and 32,000 characters of
//     mixed markdown with code blocks (median of repeated renders);
//  2. the render time spent while a 2,048-token reply streams at 20 tokens a
//     second, on a simulated clock: the page's performance.now and animation
//     frames are driven by the benchmark, so 102 s of reply take seconds.
'use strict';
process.env.VELKIN_NODE_MODULES = process.env.VELKIN_NODE_MODULES || require('node:path').resolve(__dirname, '../../node_modules');
const { setUp, openPage } = require('../../tests/page/harness.js');

// About 1,100 characters of the markdown a model writes.
const UNIT = [
  '## Step {n}: setting things up',
  '',
  'First install the **dependencies** and check the `config.toml` file; see [the guide](https://example.org/guide) for *details*.',
  '',
  '```python',
  'def load_{n}(path: str) -> dict:',
  '    with open(path, encoding="utf-8") as f:',
  '        return {k: v for k, v in (line.split("=", 1) for line in f)}',
  '```',
  '',
  '- keep the `cache` warm',
  '- run the tests',
  '  - unit tests first',
  '1. then the **integration** suite',
  '',
  '| Option | Default | Meaning |',
  '|--------|---------|---------|',
  '| `jobs` | 4 | parallel workers |',
  '| `retry` | no | retry failed steps |',
  '',
  '> Note: the first run takes longer, as the _cache_ is empty.',
  '',
  '```js',
  'const total{n} = items.reduce((sum, item) => sum + item.size, 0);',
  'console.log(`total: ${total}`);',
  '```',
  '',
  'That is all for this step.',
  '',
].join('\n');

function mixedText(chars) {
  let text = '';
  for (let n = 1; text.length < chars; n++) text += UNIT.replaceAll('{n}', n);
  return text.slice(0, chars);
}

// Controllable time for the page: performance.now and requestAnimationFrame
// answer to the benchmark; the real clock stays available for measuring.
function simulatedClock() {
  const realNow = performance.now.bind(performance);
  let simNow = 0;
  let frames = [];
  performance.now = () => simNow;
  window.requestAnimationFrame = (cb) => { frames.push(cb); return frames.length; };
  window.__sim = {
    realNow,
    // Advances simulated time in 60 Hz frames; returns real ms spent in frames.
    advance(ms) {
      let spent = 0;
      let renders = 0;
      const end = simNow + ms;
      while (simNow + 1000 / 60 <= end) {
        simNow += 1000 / 60;
        const due = frames;
        frames = [];
        for (const cb of due) {
          const before = realNow();
          const rendersBefore = window.__renders || 0;
          cb(simNow);
          if (window.__renders !== rendersBefore) void document.body.offsetHeight;  // include layout
          spent += realNow() - before;
          renders += (window.__renders || 0) - rendersBefore;
        }
      }
      simNow = end;
      return { spent, renders };
    },
  };
}

async function main() {
  const env = await setUp(process.argv);
  try {
    const { page } = await openPage(env, { initScripts: [simulatedClock] });
    if (await page.evaluate(() => typeof hljs) !== 'object') throw new Error('highlight.min.js did not load');
    await page.evaluate(() => {
      const real = renderSafely;
      window.__renders = 0;
      renderSafely = function (text, where) { if (where === 'liveRender') window.__renders++; return real(text, where); };
      window.__host({ type: 'load_done' });
    });

    console.log('chat page, Chromium ' + env.browser.version() + ', highlight.js loaded');
    console.log('one live render (render + DOM + highlight pass + layout), median of 31:');
    for (const chars of [2000, 8000, 32000]) {
      const text = mixedText(chars);
      const result = await page.evaluate((t) => {
        window.__host({ type: 'assistant_start' });
        currentBubble._rawText = t;
        const times = [];
        for (let i = 0; i < 32; i++) {
          lastRenderLen = -1;
          lastRenderTime = -1e9;
          const before = window.__sim.realNow();
          liveRender();
          void document.body.offsetHeight;
          times.push(window.__sim.realNow() - before);
        }
        window.__host({ type: 'gen_done', stopped: false });
        const first = times.shift();
        times.sort((a, b) => a - b);
        const parse = [];
        for (let i = 0; i < 31; i++) {
          const before = window.__sim.realNow();
          renderMarkdown(t);
          parse.push(window.__sim.realNow() - before);
        }
        parse.sort((a, b) => a - b);
        return { first, median: times[15], parse: parse[15] };
      }, text);
      console.log('  ' + String(chars).padStart(6) + ' chars: median ' + result.median.toFixed(1) + ' ms' +
        ' (renderMarkdown alone ' + result.parse.toFixed(1) + ' ms; first render, highlighting every block: ' +
        result.first.toFixed(1) + ' ms)');
    }

    // 2,048 tokens at 20 a second: one token, then 50 ms of simulated frames.
    const tokens = [];
    const reply = mixedText(8192);
    for (let i = 0; i < 2048; i++) tokens.push(reply.slice(i * 4, i * 4 + 4));
    const stream = await page.evaluate((pieces) => {
      window.__host({ type: 'new_chat' });
      window.__host({ type: 'assistant_start' });
      window.__renders = 0;
      let spent = 0;
      let renders = 0;
      const wallBefore = window.__sim.realNow();
      for (const text of pieces) {
        window.__host({ type: 'token', text });
        const frame = window.__sim.advance(50);
        spent += frame.spent;
        renders += frame.renders;
      }
      const before = window.__sim.realNow();
      window.__host({ type: 'gen_done', stopped: false });
      void document.body.offsetHeight;
      const finalMs = window.__sim.realNow() - before;
      return { spent, renders, finalMs, wall: window.__sim.realNow() - wallBefore };
    }, tokens);
    console.log('streaming 2,048 tokens (8,192 chars) at 20 tokens/s (102.4 s simulated):');
    console.log('  live renders: ' + stream.renders + ', time in them: ' + stream.spent.toFixed(0) + ' ms' +
      ' (' + (stream.spent / stream.renders).toFixed(2) + ' ms each, ' + (100 * stream.spent / 102400).toFixed(2) + '% of the reply\'s duration)');
    console.log('  final render: ' + stream.finalMs.toFixed(2) + ' ms; total render time: ' + (stream.spent + stream.finalMs).toFixed(0) + ' ms');
  } finally {
    await env.close();
  }
}

main().catch((err) => { console.error(err); process.exit(1); });
