// The wallboard in a real browser: Debian's chromium, headless, driven by playwright-core (no
// browser download), against the real relay and the exchange simulator on free ports. The page
// logs in, shows the callers the test sent, turns a tile's colour when its extension rings and
// ticks the wait time; a screenshot under simulated traffic goes to docs/wallboard.png.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const require = createRequire(import.meta.url);
const { freePort, startRelay } = require('../../clients/node/test/support.js');

const REPO = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const BROWSER = process.env.TELVANE_CHROMIUM || '/usr/bin/chromium';
const CODE = 'qmRoK8]';

function block(name, file, fields, id) {
  return Buffer.from(`Event: ${name}\r\nPrivilege: call,all\r\nFile: ${file}\r\nLine: 100\r\nFunc: test\r\n` +
    fields.map(([k, v]) => `${k}: ${v}\r\n`).join('') + `Uniqueid: 1700000000.${id}\r\n`, 'latin1');
}
const join = (queue, id, number) => block('Join', 'app_queue.c', [['Queue', queue], ['CallerIDNum', number]], id);
const leave = (queue, id) => block('Leave', 'app_queue.c', [['Queue', queue]], id);
const channel = (exten, id, stateDesc) =>
  block('Newchannel', 'channel.c', [['Channel', `SIP/${exten}-0000000${id}`], ['ChannelStateDesc', stateDesc]], id);
const parked = (slot, id) => block('ParkedCall', 'features.c', [['Exten', slot]], id);

let relay, webPort, browser, page;

before(async () => {
  webPort = await freePort();
  relay = await startRelay(`[WEB]\r\nPORT=${webPort}\r\n`);
  await relay.waitLog('Web server listening on');
  browser = await chromium.launch({ executablePath: BROWSER, headless: true, args: ['--no-sandbox'] });
  // The page's own policy forbids evaluated script, which the test's probes are.
  page = await browser.newPage({ viewport: { width: 1920, height: 1080 }, bypassCSP: true });
});

after(async () => {
  await browser?.close();
  await relay?.shutdown();
});

const text = (selector) => page.locator(selector).first().textContent();

test('the wallboard logs in, shows the callers waiting, colours a ringing tile and ticks the wait', async () => {
  // Callers already waiting before the page opens come with the snapshot.
  relay.sim.send(join(10001, 1, '5551001'), join(10001, 2, '5551002'), join(10002, 3, '5551003'),
    channel(20002, 4, 'Up'));
  await page.goto(`http://127.0.0.1:${webPort}/?queues=10001-10006&extensions=20001-20024&parks=701-706`);
  await page.fill('#code', CODE);
  await page.click('button[type=submit]');
  await page.waitForSelector('#board:not([hidden])');
  await page.waitForSelector('#exchange.up');

  await page.waitForFunction(() => document.querySelector('.card[data-queue="10001"] .count')?.textContent === '2');
  assert.equal(await text('.card[data-queue="10002"] .count'), '1');
  // Live: one more joins, one leaves.
  relay.sim.send(join(10003, 5, '5551005'), leave(10001, 1));
  await page.waitForFunction(() => document.querySelector('.card[data-queue="10003"] .count')?.textContent === '1');
  await page.waitForFunction(() => document.querySelector('.card[data-queue="10001"] .count')?.textContent === '1');

  // The wait ticks: the text of the longest wait changes without any event.
  const wait = await text('.card[data-queue="10002"] .wait');
  await page.waitForFunction((before) => document.querySelector('.card[data-queue="10002"] .wait').textContent !== before,
    wait, { timeout: 20000 });

  // A tile changes colour when its extension rings.
  const tile = '.tile[data-extension="20005"]';
  await page.waitForSelector(tile);
  const colourBefore = await page.$eval(tile, (e) => getComputedStyle(e).backgroundColor);
  relay.sim.send(channel(20005, 6, 'Ringing'));
  await page.waitForSelector(`${tile}[data-state="ringing"]`);
  await page.waitForFunction(([sel, before]) => getComputedStyle(document.querySelector(sel)).backgroundColor !== before,
    [tile, colourBefore]);

  // The tail shows the events and filters them.
  await page.fill('#filter', '5551005');
  const shown = await page.$$eval('#event-list li:not([hidden])', (items) => items.map((i) => i.textContent));
  assert.ok(shown.length >= 1 && shown.every((t) => t.includes('5551005')), shown.join('\n'));
  await page.fill('#filter', '');

  // Some more traffic for the screenshot.
  const more = [];
  for (let n = 0; n < 8; n++) more.push(join(10004 + (n % 3), 20 + n, `555200${n}`));
  more.push(channel(20008, 30, 'Up'), channel(20011, 31, 'Ringing'), channel(20014, 32, 'Up'), parked(702, 33));
  relay.sim.send(...more);
  await page.waitForFunction(() => document.querySelectorAll('.slot.used').length === 1 &&
    document.querySelector('.tile[data-extension="20014"]').dataset.state === 'up' &&
    document.querySelector('.card[data-queue="10004"] .count').textContent === '3');
  await page.screenshot({ path: path.join(REPO, 'docs', 'wallboard.png') });
});

test('a wrong access code is refused on the page', async () => {
  const other = await browser.newPage({ bypassCSP: true });
  await other.goto(`http://127.0.0.1:${webPort}/`);
  await other.fill('#code', 'wrong');
  await other.click('button[type=submit]');
  await other.waitForFunction(() => document.querySelector('#login-error').textContent === 'wrong access code');
  assert.equal(await other.isVisible('#board'), false);
  await other.close();
});
