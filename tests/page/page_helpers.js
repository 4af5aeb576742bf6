// Readers of the page's visible state shared by the browser tests.
'use strict';
const { host } = require('./harness.js');

const START = { input: false, send: 'disabled', stop: false, newChat: false };
const GENERATING = { input: false, send: 'hidden', stop: true, newChat: false };
const IDLE = { input: true, send: 'enabled', stop: false, newChat: true };

async function controls(page) {
  return page.evaluate(() => {
    const shown = (id) => getComputedStyle(document.getElementById(id)).display !== 'none';
    const send = document.getElementById('send-btn');
    return {
      input: !document.getElementById('input').disabled,
      send: !shown('send-btn') ? 'hidden' : (send.disabled ? 'disabled' : 'enabled'),
      stop: shown('stop-btn'),
      newChat: !document.getElementById('new-chat-btn').disabled,
    };
  });
}

async function pill(page) {
  return page.evaluate(() => ({
    dot: document.getElementById('status-dot').className,
    text: document.getElementById('status-text').textContent,
  }));
}

async function rows(page) {
  return page.evaluate(() => Array.from(document.querySelectorAll('#messages-inner .msg-row')).map((row) => ({
    role: row.classList.contains('user') ? 'user' : 'assistant',
    groupStart: row.classList.contains('group-start'),
    avatarHidden: row.querySelector('.avatar').classList.contains('hidden'),
    text: row.querySelector('.bubble').textContent,
    html: row.querySelector('.bubble').innerHTML,
  })));
}

// The usual start: load, then a greeting made of the given pieces.
async function greet(page, pieces = ['Hello! ', 'How can I help?']) {
  await host(page, { type: 'status', state: '', text: 'Loading model…' }, { type: 'load_done' },
    { type: 'assistant_start' }, ...pieces.map((text) => ({ type: 'token', text })),
    { type: 'gen_done', stopped: false });
}

module.exports = { START, GENERATING, IDLE, controls, pill, rows, greet };
