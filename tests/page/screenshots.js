// Writes light and dark screenshots of a typical conversation to the folder
// given by --out, for a person to look at. Fails only if the page cannot show it.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { setUp, openPage, host, animationsSettled } = require('./harness.js');
const { greet } = require('./page_helpers.js');

const REPLY = [
  '## Reading a file in Python',
  '',
  'Use the built-in `open()` with a **context manager**, so the file is *always* closed:',
  '',
  '```python',
  'from pathlib import Path',
  '',
  'def count_lines(name: str) -> int:',
  '    """Return how many lines the file holds."""',
  '    with open(name, encoding="utf-8") as f:',
  '        return sum(1 for _ in f)',
  '```',
  '',
  'Things to keep in mind:',
  '- Pass an `encoding` explicitly',
  '- Large files stream line by line',
  '  - no need to load everything',
  '1. Open',
  '',
  '| Mode | Meaning |',
  '|------|---------|',
  '| `r` | read (default) |',
  '| `w` | write, truncating |',
  '| `a` | append |',
  '',
  '> Errors such as `FileNotFoundError` are worth catching near the user.',
  '',
  'See the [Python docs](https://docs.python.org/3/library/functions.html#open) for more.',
].join('\n');

// Numbered steps whose items hold indented code, text and a sub-list.
const LIST_REPLY = [
  'To set up the project:',
  '',
  '1. Create a virtual environment:',
  '   ```bash',
  '   python3 -m venv .venv',
  '   source .venv/bin/activate',
  '   ```',
  '2. Install the dependencies:',
  '   ```bash',
  '   pip install -r requirements.txt',
  '   ```',
  '   This may take a minute.',
  '',
  '   If it fails, check:',
  '   - your Python version',
  '   - the network proxy',
  '3. Run the tests:',
  '   ```',
  '   pytest -q',
  '   ```',
  '',
  'That is all.',
].join('\n');

async function main() {
  const outIndex = process.argv.indexOf('--out');
  const out = process.argv[outIndex + 1];
  process.argv.splice(outIndex, 2);
  fs.mkdirSync(out, { recursive: true });
  const env = await setUp(process.argv);
  try {
    for (const theme of ['light', 'dark']) {
      const { page } = await openPage(env);
      await page.setViewportSize({ width: 860, height: 1180 });
      if (theme === 'dark') await page.click('#theme-btn');
      await greet(page, ['Hello! I\'m Tamsy. ', 'How can I help you today?']);
      await page.fill('#input', 'How do I count the lines of a text file in Python?');
      await page.press('#input', 'Enter');
      await host(page, { type: 'assistant_start' }, { type: 'token', text: REPLY }, { type: 'gen_done', stopped: false });
      await page.evaluate(() => document.activeElement.blur());
      await animationsSettled(page);
      const file = path.join(out, 'conversation-' + theme + '.png');
      await page.screenshot({ path: file });
      console.log('wrote ' + file);

      await host(page, { type: 'assistant_start' }, { type: 'token', text: LIST_REPLY }, { type: 'gen_done', stopped: false });
      await animationsSettled(page);
      await page.screenshot({ path: path.join(out, 'list-code-' + theme + '.png') });

      await host(page, { type: 'assistant_start' }, { type: 'token', text: 'Streaming a reply:\n\n```js\nconst x = 1;' });
      await page.waitForSelector('.code-streaming');  // the first live render has shown the open block
      await animationsSettled(page);
      await page.screenshot({ path: path.join(out, 'streaming-' + theme + '.png'), clip: { x: 0, y: 0, width: 860, height: 1180 } });

      // Stopped there, the block is finished as it stands: label and Copy.
      await host(page, { type: 'gen_done', stopped: true });
      await page.evaluate(() => document.activeElement.blur());
      await animationsSettled(page);
      await page.screenshot({ path: path.join(out, 'stopped-' + theme + '.png'), clip: { x: 0, y: 0, width: 860, height: 1180 } });
    }
  } finally {
    await env.close();
  }
}

main().catch((err) => { console.error(err); process.exit(1); });
