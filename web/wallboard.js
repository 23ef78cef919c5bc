// The wallboard: logs in with the access code, then keeps per queue the callers waiting and the
// longest wait (ticking every second), extension tiles coloured by the relay's state, parking
// slots in use, the exchange link and desk counts, and a filterable tail of the events.
// The relay's snapshot gives the starting point; frames keep it current. Plain ES module.
import { TelvaneDesk } from './telvane.js';

const TAIL_MAX = 200;
const LONG_WAIT_S = 120;  // a queue whose longest wait passes this turns red
const $ = (id) => document.getElementById(id);

const state = {
  queues: new Map(),      // number -> Map(uniqueid -> { callerid, joined })
  extensions: new Map(),  // number -> state name
  parks: new Map(),       // slot -> in use
  clockSkewMs: 0,         // relay clock minus ours, from the snapshot
};

// "10001-10003, sales, 10007" -> [10001, 10002, 10003, "sales", 10007]; ranges bounded.
function parseKeys(text) {
  const keys = [];
  for (const part of text.split(',').map((s) => s.trim()).filter(Boolean)) {
    const range = /^(\d+)\s*-\s*(\d+)$/.exec(part);
    if (range) {
      const [from, to] = [Number(range[1]), Number(range[2])];
      for (let n = from; n <= to && n - from < 1000; n++) keys.push(n);
    } else {
      keys.push(/^\d+$/.test(part) ? Number(part) : part);
    }
  }
  return keys;
}

function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function formatWait(ms) {
  const s = Math.max(0, Math.floor(ms / 1000));
  return `${Math.floor(s / 60)}:${String(s % 60).padStart(2, '0')}`;
}

function renderQueues() {
  const now = Date.now() + state.clockSkewMs;
  const list = $('queue-list');
  list.replaceChildren();
  for (const [queue, callers] of [...state.queues].sort((a, b) => a[0] - b[0])) {
    const oldest = Math.min(...[...callers.values()].map((c) => c.joined));
    const wait = callers.size ? now - oldest : 0;
    const card = el('div', 'card' + (callers.size ? ' waiting' : '') + (wait / 1000 > LONG_WAIT_S ? ' long' : ''));
    card.dataset.queue = queue;
    card.append(el('div', 'name', `Queue ${queue}`), el('div', 'count', String(callers.size)),
      el('div', 'wait', callers.size ? `longest ${formatWait(wait)}` : 'nobody waiting'));
    list.append(card);
  }
}

function renderExtensions() {
  const list = $('extension-list');
  list.replaceChildren();
  for (const [exten, name] of [...state.extensions].sort((a, b) => a[0] - b[0])) {
    const tile = el('div', `tile ${['unregistered', 'unknown'].includes(name) ? 'unavailable ' : ''}${name}`, String(exten));
    tile.dataset.extension = exten;
    tile.dataset.state = name;
    tile.append(el('small', '', name));
    list.append(tile);
  }
}

function renderParks() {
  const list = $('park-list');
  list.replaceChildren();
  let used = 0;
  for (const [slot, inUse] of [...state.parks].sort((a, b) => a[0] - b[0])) {
    used += inUse ? 1 : 0;
    list.append(el('span', 'slot' + (inUse ? ' used' : ''), String(slot)));
  }
  $('park-count').textContent = `${used} in use`;
}

function addTail(message) {
  const f = message.fields;
  const text = `${new Date().toLocaleTimeString()}  ${message.family} ${message.key}  ${f.Event ?? ''}  ` +
    Object.entries(f).filter(([k]) => !['Event', 'Privilege', 'File', 'Line', 'Func'].includes(k))
      .map(([k, v]) => `${k}=${v}`).join(' ');
  const item = el('li', '', text);
  const filter = $('filter').value.trim().toLowerCase();
  item.hidden = filter !== '' && !text.toLowerCase().includes(filter);
  const list = $('event-list');
  list.prepend(item);
  while (list.children.length > TAIL_MAX) list.lastChild.remove();
}

function onFrame(message) {
  const f = message.fields;
  const name = f.Event ?? '';
  if (message.family === 'queue') {
    const callers = state.queues.get(message.key) ?? new Map();
    state.queues.set(message.key, callers);
    if (name === 'Join' || name === 'QueueCallerJoin') {
      callers.set(f.Uniqueid, { callerid: f.CallerIDNum ?? '', joined: Date.now() + state.clockSkewMs });
    } else if (['Leave', 'QueueCallerLeave', 'QueueCallerAbandon'].includes(name)) {
      callers.delete(f.Uniqueid);
    }
    renderQueues();
  } else if (message.family === 'extension') {
    if (message.state) state.extensions.set(message.key, message.state);
    renderExtensions();
  } else if (message.family === 'parking') {
    if (name === 'ParkedCall') state.parks.set(message.key, true);
    else if (/^(UnParkedCall|ParkedCallGiveUp|ParkedCallTimeOut)$/.test(name)) state.parks.set(message.key, false);
    renderParks();
  }
  addTail(message);
}

function onSnapshot(snapshot) {
  state.clockSkewMs = snapshot.now - Date.now();
  for (const [queue, callers] of Object.entries(snapshot.queues)) {
    state.queues.set(Number(queue), new Map(callers.map((c) => [c.uniqueid, { callerid: c.callerid, joined: c.joined }])));
  }
  for (const [exten, name] of Object.entries(snapshot.extensions)) state.extensions.set(Number(exten), name);
  renderQueues();
  renderExtensions();
}

function start(login) {
  for (const q of login.queues) if (typeof q === 'number') state.queues.set(q, new Map());
  for (const p of login.parks) state.parks.set(p, false);
  const url = `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/events`;
  const desk = new TelvaneDesk(url, login);
  desk.addEventListener('ready', () => {
    $('login').hidden = true;
    $('board').hidden = false;
    $('link').textContent = 'live';
    sessionStorage.setItem('telvane-code', login.code);
  });
  desk.addEventListener('error', (e) => {
    $('login-error').textContent = e.detail;
    if (!desk.running) {
      $('login').hidden = false;
      $('board').hidden = true;
    }
  });
  desk.addEventListener('close', (e) => { $('link').textContent = e.detail.willRetry ? 'reconnecting' : 'closed'; });
  desk.addEventListener('frame', (e) => onFrame(e.detail));
  desk.addEventListener('snapshot', (e) => onSnapshot(e.detail));
  desk.addEventListener('exchange', (e) => {
    const up = e.detail === 'up';
    $('exchange').textContent = `exchange ${e.detail}`;
    $('exchange').className = `pill ${up ? 'up' : 'down'}`;
    if (!up) for (const callers of state.queues.values()) callers.clear();
    renderQueues();
  });
  desk.addEventListener('desks', (e) => { $('desks').textContent = `desks: ${e.detail.tcp} tcp, ${e.detail.web} web`; });
  desk.addEventListener('dropped', (e) => addTail({ family: e.detail.family, key: e.detail.key, fields: { Event: `dropped ${e.detail.count} event(s)` } }));
  desk.connect();
  renderParks();
}

$('filter').addEventListener('input', () => {
  const filter = $('filter').value.trim().toLowerCase();
  for (const item of $('event-list').children) item.hidden = filter !== '' && !item.textContent.toLowerCase().includes(filter);
});

setInterval(() => {
  $('clock').textContent = new Date().toLocaleTimeString();
  if (!$('board').hidden) renderQueues();
}, 1000);

const params = new URLSearchParams(location.search);
for (const f of ['queues', 'extensions', 'parks']) if (params.has(f)) $(f).value = params.get(f);
$('code').value = sessionStorage.getItem('telvane-code') ?? '';
$('login').addEventListener('submit', (event) => {
  event.preventDefault();
  $('login-error').textContent = '';
  // The desk checks the lists before it connects: a bad one is shown like the relay's refusals.
  try {
    start({
      app: 'wallboard', code: $('code').value, queues: parseKeys($('queues').value),
      extensions: parseKeys($('extensions').value), parks: parseKeys($('parks').value),
    });
  } catch (err) {
    $('login-error').textContent = err.message;
  }
});
