// Markdown renderer of the chat page, run in Chromium: block and inline rules
// (half-written replies included), escaping of every markup character, links,
// and a structural check that hostile replies never produce live markup.
'use strict';
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { setUp, openPage } = require('./harness.js');

let env;
let page;
before(async () => {
  env = await setUp(process.argv);
  ({ page } = await openPage(env, { hljs: false }));
});
after(async () => { await env.close(); });

async function render(text) {
  return page.evaluate((t) => renderMarkdown(t), text);
}

const closedBlock = (label, code) =>
  '<div class="code-block"><div class="code-header"><span class="code-lang">' + label +
  '</span><button class="copy-btn" onclick="copyCode(this)">Copy</button></div><pre><code class="hljs">' +
  code + '</code></pre></div>';
const openBlock = (label, code) =>
  '<div class="code-block"><div class="code-header"><span class="code-lang">' + label +
  '</span><span class="code-streaming">writing…</span></div><pre><code class="hljs">' + code + '</code></pre></div>';

// The first of the replies whose display lacks one of its words, with the
// words it lacks; null when every word shows.
async function firstLostWord(replies) {
  return page.evaluate((list) => {
    const box = document.createElement('div');
    for (const { text, words } of list) {
      box.innerHTML = renderMarkdown(text);
      const lost = words.filter((word) => !box.textContent.includes(word));
      if (lost.length) return { text, lost };
    }
    return null;
  }, replies);
}

// The same pseudo-random numbers at every run.
function randomNumbers(seed) {
  return () => { seed = (seed * 1103515245 + 12345) & 0x7fffffff; return seed; };
}

function checkTable(cases) {
  for (const [name, input, expected] of cases) {
    it(name, async () => { assert.equal(await render(input), expected, JSON.stringify(input)); });
  }
}

describe('blocks', () => {
  checkTable([
    ['paragraph lines joined by br', 'a\nb', '<p>a<br>b</p>'],
    ['blank line splits paragraphs', 'a\n\nb', '<p>a</p><p>b</p>'],
    ['three heading levels', '# A\n## B\n### C', '<h1>A</h1><h2>B</h2><h3>C</h3>'],
    ['four hashes are text', '#### D', '<p>#### D</p>'],
    ['hash then letter or tab is text', '#x\n#\ty', '<p>#x<br>#\ty</p>'],
    ['indented hash is text', ' # x', '<p> # x</p>'],
    ['h1 text may begin with hash', '# # x', '<h1># x</h1>'],
    ['quote with a bare line inside', '> a\n>\n> b', '<blockquote>a<br><br>b</blockquote>'],
    ['>> and >letter are text', '>> a\n>b', '<p>&gt;&gt; a<br>&gt;b</p>'],
    ['bare > continues a paragraph', 'p\n>', '<p>p<br>&gt;</p>'],
    ['quote shows markers as text', '> - x\n> # y\n> > z', '<blockquote>- x<br># y<br>&gt; z</blockquote>'],
    ['blank lines do not split a list; types mix', '- a\n\n- b\n1. c', '<ul><li>a</li><li>b</li><li>c</li></ul>'],
    ['ordered list renumbers from one', '3. a\n4. b', '<ol><li>a</li><li>b</li></ol>'],
    ['a year line ends the paragraph', 'text\n2024. was', '<p>text</p><ol><li>was</li></ol>'],
    ['sub-list across a blank line', '- a\n  - b\n\n  - c\n- d', '<ul><li>a<ul><li>b</li><li>c</li></ul></li><li>d</li></ul>'],
    ['deeper item after a blank line is a sub-list', '- a\n\n  - b', '<ul><li>a<ul><li>b</li></ul></li></ul>'],
    ['continuation text joins the item; a later deeper item is a sub-list', '- a\n  text\n  - b\n- c',
      '<ul><li>a<br>text<ul><li>b</li></ul></li><li>c</li></ul>'],
    ['a shallower deeper item after a sub-list opens another', '- a\n    - b\n  - c',
      '<ul><li>a<ul><li>b</li></ul><ul><li>c</li></ul></li></ul>'],
    ['item keeps extra spaces', '-   a', '<ul><li>  a</li></ul>'],
    ['indented marker with no list open is text', ' - a', '<p> - a</p>'],
    ['"- - -" is a one-item list', '- - -\n* * *', '<ul><li>- -</li><li>* *</li></ul>'],
    ['rules', '---\n-*-\n ***', '<hr><hr><hr>'],
    ['underscores are no rule', '___', '<p>___</p>'],
    ['=== continues a paragraph', 'para\n===', '<p>para<br>===</p>'],
    ['--- after a paragraph is a rule', 'para\n---', '<p>para</p><hr>'],
  ]);
});

// A second row makes a table only when it is a separator row; rows that make
// no table show as typed, so no text a reply holds goes missing.
describe('tables', () => {
  const table = (head, body) => '<table><thead><tr>' + head.map((c) => '<th>' + c + '</th>').join('') +
    '</tr></thead><tbody>' + body.map((row) => '<tr>' + row.map((c) => '<td>' + c + '</td>').join('') + '</tr>').join('') +
    '</tbody></table>';
  const paras = (...rows) => rows.map((row) => '<p>' + row + '</p>').join('');

  describe('tables that stay tables', () => {
    checkTable([
      ['closing "|" on every line', '| Name | Age |\n|------|-----|\n| Ann | 31 |\n| Bo | 4 |',
        table(['Name', 'Age'], [['Ann', '31'], ['Bo', '4']])],
      ['no closing "|" on any line', '| Name | Age\n|------|-----\n| Ann | 31', table(['Name', 'Age'], [['Ann', '31']])],
      ['alignment colons and spaces in the separator', '| a | b | c |\n| :-- | :-: | --: |\n| 1 | 2 | 3 |',
        table(['a', 'b', 'c'], [['1', '2', '3']])],
      ['one column', '| a |\n|---|\n| 1 |', table(['a'], [['1']])],
      ['indented rows and blank space after the last "|"', '  | a | b |  \n  |---|---|  \n  | 1 | 2 |\t',
        table(['a', 'b'], [['1', '2']])],
      ['ragged rows keep their cells', '| a | b |\n|:--|--:|\n| 1 | 2 | 3 |\n| x |', table(['a', 'b'], [['1', '2', '3'], ['x']])],
      ['outer empty cells', '||x||\n|---|---|---|', table(['', 'x', ''], [])],
      ['paragraph ends before a table', 'intro\n| a | b |\n|---|---|\n| 1 | 2 |', '<p>intro</p>' + table(['a', 'b'], [['1', '2']])],
    ]);
  });

  // The states a table passes through while it streams in.
  describe('half-written tables', () => {
    checkTable([
      ['header row alone', '| Name | Age |', paras('| Name | Age |')],
      ['a lone "|" is no separator yet', '| Name | Age |\n|', paras('| Name | Age |', '|')],
      ['the first dash makes the table', '| Name | Age |\n|-', table(['Name', 'Age'], [])],
      ['half the separator', '| Name | Age |\n|------|--', table(['Name', 'Age'], [])],
      ['a body row begun', '| Name | Age |\n|------|-----|\n| An', table(['Name', 'Age'], [['An']])],
    ]);
  });

  describe('rows that make no table', () => {
    checkTable([
      ['rows before their separator', '| a | b |\n| c | d |', paras('| a | b |', '| c | d |')],
      ['a second row with a single "|"', '| Step |\n| Boil the water', paras('| Step |', '| Boil the water')],
      ['a second row with a single "|" and no space', '| a | b |\n|abc', paras('| a | b |', '|abc')],
      ['text after the separator\'s last "|"', '| Name | Age |\n|---|---| note: ages are approximate',
        paras('| Name | Age |', '|---|---| note: ages are approximate')],
      ['text after the separator, then body rows', '| a |\n|---| x\n| 1 |', paras('| a |', '|---| x', '| 1 |')],
      ['an empty piece inside the separator', '| a | b |\n|---||---|', paras('| a | b |', '|---||---|')],
      ['a second row of "||"', '| a |\n||', paras('| a |', '||')],
      ['single row', '|a|', paras('|a|')],
    ]);
  });

  describe('hostile rows', () => {
    checkTable([
      ['markup in a second row that is no separator', '| <b> |\n|<script>x()</script>', paras('| &lt;b&gt; |', '|&lt;script&gt;x()&lt;/script&gt;')],
      ['markup after the separator\'s last "|"', '| a |\n|---|<img src=x onerror=y>', paras('| a |', '|---|&lt;img src=x onerror=y&gt;')],
      ['a code span and a link after the separator', '| a |\n|---| `x|y` [l](https://x/"q)',
        paras('| a |', '|---| <code>x|y</code> <a href="https://x/%22q">l</a>')],
      ['dashes in a code span are no separator', '| a |\n| `---` |', paras('| a |', '| <code>---</code> |')],
    ]);
  });

  // Random table-shaped replies: every word written shows in the display.
  it('no word of a table-shaped reply goes missing', async () => {
    const pieces = ['---', ':--', '--:', ':-:', '', ' ', 'WORD', ' WORD ', '`WORD`', '**WORD**'];
    const next = randomNumbers(2020);
    const replies = [];
    for (let n = 0; n < 400; n++) {
      const words = [];
      const lines = [];
      const count = 1 + next() % 5;
      for (let k = 0; k < count; k++) {
        const cells = [];
        const width = next() % 4;
        for (let c = 0; c < width; c++) {
          const piece = pieces[next() % pieces.length];
          const word = 'w' + n + 'x' + k + 'c' + c;
          if (piece.includes('WORD')) words.push(word);
          cells.push(piece.replace('WORD', word));
        }
        let line = (next() % 3 ? '' : ' ') + '|' + cells.join('|');
        if (next() % 2) line += '|';
        if (next() % 3 === 0) {
          const word = 'w' + n + 'x' + k + 'tail';
          words.push(word);
          line += ' ' + word;
        }
        lines.push(line);
      }
      replies.push({ text: lines.join('\n'), words });
    }
    assert.equal(await firstLostWord(replies), null);
  });
});

describe('code fences', () => {
  checkTable([
    ['closed block, then text', '```js\nx < y && z\n```\nafter', closedBlock('js', 'x &lt; y &amp;&amp; z') + '<p>after</p>'],
    ['open block while streaming', '```\ncode', openBlock('code', 'code')],
    ['fence with only the marks', '```', openBlock('code', '')],
    ['label keeps capitals', '```PY\nx\n```', closedBlock('PY', 'x')],
    ['label is escaped', '```<b>&\nx\n```', closedBlock('&lt;b&gt;&amp;', 'x')],
    ['text after a closing fence is a paragraph; later fence stays open', '```a\nx\n```b\ny\n```c\nz',
      closedBlock('a', 'x') + '<p>b</p><p>y</p>' + openBlock('c', 'z')],
    ['the rest of a closing line goes through the inline rules', '```js\nx\n``` and **the** `rest`\nnext',
      closedBlock('js', 'x') + '<p> and <strong>the</strong> <code>rest</code></p><p>next</p>'],
    ['the rest of a closing line opens no block', '```\nx\n```# h\n```\n``` ```\n```- l',
      closedBlock('code', 'x') + '<p># h</p>' + closedBlock('code', '') + '<p> ```</p>' + openBlock('- l', '')],
    ['a longer closing run of backticks is all fence', '```\nx\n`````\n```\ny\n````  \r',
      closedBlock('code', 'x') + closedBlock('code', 'y')],
    ['backticks after text open nothing', 'text ```', '<p>text ```</p>'],
    ['body keeps its leading empty line', '```\n\nx\n```', closedBlock('code', '\nx')],
    ['empty closed block', '```\n```', closedBlock('code', '')],
    ['body lines verbatim', '```\n# h\n- l\n| t |\n  x\n```', closedBlock('code', '# h\n- l\n| t |\n  x')],
    ['indented fence is text', ' ```\nx', '<p> ```<br>x</p>'],
  ]);
});

// Lines indented under a list item stay inside that item, in order.
describe('indented content in list items', () => {
  checkTable([
    ['fenced block under a numbered item', '1. Install:\n   ```bash\n   pip install x\n   ```\n2. Run it',
      '<ol><li>Install:' + closedBlock('bash', 'pip install x') + '</li><li>Run it</li></ol>'],
    ['unclosed fence in an item is open and runs to the end', '1. Run:\n   ```py\n   x = 1\n   - y',
      '<ol><li>Run:' + openBlock('py', 'x = 1\n- y') + '</li></ol>'],
    ['body loses only the fence indentation; blanks and short lines kept', '- a\n  ```\n  def f():\n      return 1\n\n x\n  ```',
      '<ul><li>a' + closedBlock('code', 'def f():\n    return 1\n\nx') + '</li></ul>'],
    ['closing fence at column 0 closes; text after it leaves the list', '- a\n  ```\n  x\n```\nafter',
      '<ul><li>a' + closedBlock('code', 'x') + '</li></ul><p>after</p>'],
    ['the rest of an item\'s closing line is a paragraph in the item', '- a\n  ```\n  x\n  ``` one\n- b\n  ```\n  y\n``` two\nafter',
      '<ul><li>a' + closedBlock('code', 'x') + '<p> one</p></li><li>b' + closedBlock('code', 'y') + '<p> two</p></li></ul><p>after</p>'],
    ['fence label escaped, empty label is code', '- a\n  ```<b>&\n  x\n  ```\n- b\n  ```\n  ```',
      '<ul><li>a' + closedBlock('&lt;b&gt;&amp;', 'x') + '</li><li>b' + closedBlock('code', '') + '</li></ul>'],
    ['markers inside an item block stay code', '- a\n  ```\n  - b\n  # c\n  | d |\n  ```',
      '<ul><li>a' + closedBlock('code', '- b\n# c\n| d |') + '</li></ul>'],
    ['text after a blank line is a paragraph in the item', '1. a\n\n   more\n   lines\n2. b',
      '<ol><li>a<p>more<br>lines</p></li><li>b</li></ol>'],
    ['text after a block or a sub-list is a paragraph', '- a\n  ```\n  x\n  ```\n  then\n  - b\n  back',
      '<ul><li>a' + closedBlock('code', 'x') + '<p>then</p><ul><li>b</li></ul><p>back</p></li></ul>'],
    ['continuation goes through the inline rules', '- a\n      **b** `c`', '<ul><li>a<br><strong>b</strong> <code>c</code></li></ul>'],
    ['block in a sub-item', '- a\n  - b\n    ```\n    x\n    ```\n- c',
      '<ul><li>a<ul><li>b' + closedBlock('code', 'x') + '</li></ul></li><li>c</li></ul>'],
    ['deeper item after continuation text', '1. a\n   note\n\n   - b\n2. c',
      '<ol><li>a<br>note<ul><li>b</li></ul></li><li>c</li></ol>'],
    ['column-0 text still ends the list', '- a\n  b\nc', '<ul><li>a<br>b</li></ul><p>c</p>'],
    ['hostile continuation text and code', '- a\n  <script>x()</script> & [l](https://x/"y)\n  ```<i>\n  </code></pre><img src=x onerror=y>\n  ```',
      '<ul><li>a<br>&lt;script&gt;x()&lt;/script&gt; &amp; <a href="https://x/%22y">l</a>' +
      closedBlock('&lt;i&gt;', '&lt;/code&gt;&lt;/pre&gt;&lt;img src=x onerror=y&gt;') + '</li></ul>'],
    ['placeholder characters in continuation text pull no fragment', '- `a`\n  \u00020\u0003', '<ul><li><code>a</code><br>0</li></ul>'],
  ]);

  // Random list-shaped replies: every word written shows in the display.
  it('no word of a list-shaped reply goes missing', async () => {
    const indents = ['', '', ' ', '  ', '   ', '    ', '\t'];
    const heads = ['- ', '* ', '1. ', '22. ', '', '', '```', '```sh', '> ', '# '];
    const next = randomNumbers(4242);
    const replies = [];
    for (let n = 0; n < 300; n++) {
      const words = [];
      const lines = ['- start'];
      const count = 2 + next() % 12;
      for (let k = 0; k < count; k++) {
        if (next() % 5 === 0) { lines.push(''); continue; }
        const word = 'w' + n + 'x' + k;
        const head = heads[next() % heads.length];
        lines.push(indents[next() % indents.length] + head + (head.startsWith('```') ? '' : word));
        if (!head.startsWith('```')) words.push(word);
      }
      replies.push({ text: lines.join('\n'), words });
    }
    assert.equal(await firstLostWord(replies), null);
  });
});

describe('half-written and empty replies', () => {
  checkTable([
    ['empty text', '', '<p></p>'],
    ['blank lines only', '\n \n', '<p>\n \n</p>'],
    ['bare heading marks show as typed', '##', '<p>##</p>'],
    ['heading marks and a space', '## ', '<p>## </p>'],
    ['bare marks after a heading show nothing', '# A\n##', '<h1>A</h1>'],
    ['open emphasis shows as typed', 'some **bol', '<p>some **bol</p>'],
    ['open link shows as typed', 'see [docs](https://ex', '<p>see [docs](https://ex</p>'],
  ]);
});

describe('carriage returns', () => {
  checkTable([
    ['heading trims its CR; paragraph keeps it', '# T\r\nline\r\n', '<h1>T</h1><p>line\r</p>'],
    ['fence label trimmed, CR closing line closes', '```js\r\nx\r\n```\r\nafter', closedBlock('js', 'x\r') + '<p>after</p>'],
    ['bare > with CR is no quote', '>\r\nq', '<p>&gt;\r<br>q</p>'],
    ['table cells trim CR', '|a|b|\r\n|-|-|\r\n|1|2|\r', '<table><thead><tr><th>a</th><th>b</th></tr></thead><tbody><tr><td>1</td><td>2</td></tr></tbody></table>'],
  ]);
});

describe('inline', () => {
  checkTable([
    ['spaced asterisks stay literal', '2 * 3 * 4', '<p>2 * 3 * 4</p>'],
    ['digits between asterisks', '2*3*4', '<p>2<em>3</em>4</p>'],
    ['snake_case stays literal', 'snake_case_name', '<p>snake_case_name</p>'],
    ['double underscores after space or dot', 'a __b__ c.__d__', '<p>a <strong>b</strong> c.<strong>d</strong></p>'],
    ['double underscores after a letter', 'a__b__', '<p>a__b__</p>'],
    ['single underscores', 'an _it_ word', '<p>an <em>it</em> word</p>'],
    ['bold-italic', '***x***', '<p><strong><em>x</em></strong></p>'],
    ['bold around a code span', '**`x`**', '<p><strong><code>x</code></strong></p>'],
    ['italic inside bold is not recognised', '**a *b* c**', '<p>**a <em>b</em> c**</p>'],
    ['bold inside italic is', '*a **b** c*', '<p><em>a <strong>b</strong> c</em></p>'],
    ['bold with inner spaces at the ends stays literal', '** a** **b **', '<p>** a** **b **</p>'],
    ['doubled backticks', '``word``', '<p>`<code>word</code>`</p>'],
    ['no construct spans two lines', '**a\nb**', '<p>**a<br>b**</p>'],
  ]);
});

describe('links', () => {
  checkTable([
    ['https with query', '[a](https://x.org/p?q=1&r=2)', '<p><a href="https://x.org/p?q=1&amp;r=2">a</a></p>'],
    ['http', '[a](http://x.org)', '<p><a href="http://x.org">a</a></p>'],
    ['address ends at the first )', '[a](https://x.org/a)b)', '<p><a href="https://x.org/a">a</a>b)</p>'],
    ['code span as link text', '[`c`](https://x)', '<p><a href="https://x"><code>c</code></a></p>'],
    ['emphasis in link text', '[**b**](https://x)', '<p><a href="https://x"><strong>b</strong></a></p>'],
    ['image shows its !', '![i](https://x/i.png)', '<p>!<a href="https://x/i.png">i</a></p>'],
    ['other schemes stay literal', '[a](javascript:alert(1)) [b](ftp://x) [c](/rel) [d](HTTP://x)',
      '<p>[a](javascript:alert(1)) [b](ftp://x) [c](/rel) [d](HTTP://x)</p>'],
    ['bare address stays literal', 'https://bare.org', '<p>https://bare.org</p>'],
  ]);
});

describe('hostile replies', () => {
  checkTable([
    ['markup in text', '<script>alert(1)</script> & <b>', '<p>&lt;script&gt;alert(1)&lt;/script&gt; &amp; &lt;b&gt;</p>'],
    ['markup in a code span', '`<img src=x onerror=alert(1)>`', '<p><code>&lt;img src=x onerror=alert(1)&gt;</code></p>'],
    ['markup after a closing fence', '```\nx\n```<img src=x onerror=y> [a](javascript:b) [c](https://d/"e)',
      closedBlock('code', 'x') + '<p>&lt;img src=x onerror=y&gt; [a](javascript:b) <a href="https://d/%22e">c</a></p>'],
    ['markup in a code block', '```\n</code></pre><script>x()</script>\n```', closedBlock('code', '&lt;/code&gt;&lt;/pre&gt;&lt;script&gt;x()&lt;/script&gt;')],
    ['markup in headings, quotes and items', '# <h>\n> <q>\n- <l>', '<h1>&lt;h&gt;</h1><blockquote>&lt;q&gt;</blockquote><ul><li>&lt;l&gt;</li></ul>'],
    ['markup in table cells', '| <b> | & |\n|---|---|\n| <i> | "x" |',
      '<table><thead><tr><th>&lt;b&gt;</th><th>&amp;</th></tr></thead><tbody><tr><td>&lt;i&gt;</td><td>"x"</td></tr></tbody></table>'],
    ['quote in an address cannot leave the attribute', '[a](https://x/"onmouseover="y)', '<p><a href="https://x/%22onmouseover=%22y">a</a></p>'],
    ['markup in link text and address', '[<b>](https://x/<i>&)', '<p><a href="https://x/&lt;i&gt;&amp;">&lt;b&gt;</a></p>'],
    ['placeholder characters in a reply pull no fragment', 'a \u00020\u0003 `b`', '<p>a 0 <code>b</code></p>'],
    ['placeholder after a code span', '`x` \u00020\u0003 \u00021\u0003', '<p><code>x</code> 0 1</p>'],
    ['code span inside an address stays text', '[x](https://a`"onclick="q`)', '<p>[x](https://a<code>"onclick="q</code>)</p>'],
  ]);

  // Whatever a reply holds, the rendered DOM only has the renderer's own
  // elements and attributes, and links only point at http(s) addresses.
  it('random markup-heavy replies never make foreign elements or attributes', async () => {
    const bad = await page.evaluate(() => {
      const pieces = ['<', '>', '&', '"', "'", '`', '[', ']', '(', ')', '*', '_', '#', '|', '-', ' ', '\n',
        '\u0002', '\u0003', '0', '1', 'a', '](', 'http://', 'https://x', 'javascript:', '```', '<img src=x onerror=y>',
        '<script>', 'onclick=', '> ', '- ', '1. ', '|---|'];
      const allowed = new Set(['P', 'BR', 'H1', 'H2', 'H3', 'BLOCKQUOTE', 'UL', 'OL', 'LI', 'TABLE', 'THEAD', 'TBODY',
        'TR', 'TH', 'TD', 'HR', 'DIV', 'SPAN', 'BUTTON', 'PRE', 'CODE', 'A', 'STRONG', 'EM']);
      let seed = 12345;
      const next = () => { seed = (seed * 1103515245 + 12345) & 0x7fffffff; return seed; };
      const box = document.createElement('div');
      for (let n = 0; n < 400; n++) {
        let text = '';
        const count = 5 + next() % 60;
        for (let k = 0; k < count; k++) text += pieces[next() % pieces.length];
        box.innerHTML = renderMarkdown(text);
        for (const el of box.querySelectorAll('*')) {
          const attrs = Array.from(el.attributes).map((a) => a.name + '=' + a.value);
          const ok = allowed.has(el.tagName) && attrs.every((a) =>
            (el.tagName === 'A' && /^href=https?:\/\/[^\s"]+$/.test(a)) ||
            /^class=(code-block|code-header|code-lang|copy-btn|code-streaming|hljs)$/.test(a) ||
            (el.tagName === 'BUTTON' && a === 'onclick=copyCode(this)'));
          if (!ok) return { text, tag: el.tagName, attrs };
        }
        if (box.textContent.includes('\u0002') || box.textContent.includes('\u0003')) {
          if (!box.querySelector('pre')) return { text, leaked: 'placeholder characters' };
        }
      }
      return null;
    });
    assert.equal(bad, null);
  });
});

describe('failure containment', () => {
  it('renderSafely falls back to the escaped text when the renderer throws', async () => {
    const html = await page.evaluate(() => {
      const real = renderMarkdown;
      renderMarkdown = () => { throw new Error('boom'); };
      try { return renderSafely('a <b>\n# c', 'liveRender'); } finally { renderMarkdown = real; }
    });
    assert.equal(html, '<p>a &lt;b&gt;\n# c</p>');
  });

  it('a very long reply renders without tripping a loop guard', async () => {
    const html = await render(Array.from({ length: 3000 }, (_, i) => (i % 7 ? '- item ' + i : '')).join('\n'));
    assert.match(html, /^<ul>/);
    assert.equal((html.match(/<li>/g) || []).length, 3000 - Math.ceil(3000 / 7));
  });
});
