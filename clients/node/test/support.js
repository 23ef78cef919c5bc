'use strict';
// Runs the real relay and the exchange simulator on loopback for the tests.
//
// The binaries come from a build folder: TELVANE_BUILD, or <repo>/build. The
// simulator listens on a free port and sends events only on command (`send
// PATH` on its stdin); the relay is copied into a folder of its own with a
// Lib/Config.ini pointing at it, and runs with -app (no terminal: nothing is
// drawn), so that a SIGTERM closes its client port with the stop notice.
// Everything waits for conditions with generous deadlines: the machines that
// run this are shared and slow at times.

const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const tls = require('node:tls');

const REPO = path.resolve(__dirname, '..', '..', '..');
const BUILD = process.env.TELVANE_BUILD || path.join(REPO, 'build');
const DEADLINE = 20000;

async function waitUntil(condition, what, deadline = DEADLINE) {
  const end = Date.now() + deadline;
  while (Date.now() < end) {
    if (await condition()) return;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  throw new Error(`timed out after ${deadline / 1000} s waiting for ${what}`);
}

/** Resolves with the first value of emitter's event, or rejects after the deadline. */
function nextEvent(emitter, event, deadline = DEADLINE) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no '${event}' within ${deadline} ms`)), deadline);
    emitter.once(event, (value) => { clearTimeout(timer); resolve(value); });
  });
}

// Ports outside the kernel's range for outgoing connections: a port read from listen(0) comes
// from that range, and any connect could take it before the relay binds it.
function portWindow() {
  let [low, high] = [32768, 60999];
  try {
    [low, high] = fs.readFileSync('/proc/sys/net/ipv4/ip_local_port_range', 'utf8').trim().split(/\s+/).map(Number);
  } catch { /* keep the kernel's default range */ }
  if (low - 10000 >= 2000) return { first: 10000, count: low - 10000 };
  if (65535 - high >= 2000) return { first: high + 1, count: 65535 - high };
  return { first: 0, count: 0 };
}

const WINDOW = portWindow();
let nextPort = process.pid * 7919;

function tryListen(port, host) {
  return new Promise((resolve) => {
    const server = net.createServer();
    server.once('error', () => resolve(null));
    server.listen({ port, host, exclusive: true }, () => {
      const taken = server.address().port;
      server.close(() => resolve(taken));
    });
  });
}

// A port no listener holds now (checked on every address, as the relay binds).
async function freePort() {
  if (WINDOW.count === 0) return tryListen(0, '127.0.0.1');
  for (let n = 0; n < WINDOW.count; n++) {
    const port = await tryListen(WINDOW.first + (nextPort++ % WINDOW.count), '0.0.0.0');
    if (port !== null) return port;
  }
  throw new Error('no free port');
}

class Simulator {
  constructor(folder) {
    this.folder = folder;
    this.sent = 0;
    this.proc = spawn(path.join(BUILD, 'telvane-exchange'), ['--port', '0', '--silent'],
      { stdio: ['pipe', 'pipe', 'ignore'] });
  }

  async start() {
    const lines = readline.createInterface({ input: this.proc.stdout });
    const line = await nextEvent(lines, 'line');
    lines.close();
    this.proc.stdout.resume(); // anything it prints later is not needed
    this.port = Number(line.split(' ')[1]);
  }

  /** Sends event blocks (Buffers, CR LF line ends, no closing empty line). */
  send(...blocks) {
    this.sent += 1;
    const file = path.join(this.folder, `events${this.sent}.txt`);
    fs.writeFileSync(file, Buffer.concat(blocks.flatMap((b) => [b, Buffer.from('\r\n')])));
    this.proc.stdin.write(`send ${file}\n`);
  }

  async stop() {
    if (this.proc.exitCode !== null) return;
    const exited = new Promise((resolve) => this.proc.once('exit', resolve));
    this.proc.stdin.end('quit\n');
    await exited;
  }
}

const LOGGED_IN = 'Cliente conectado e recebendo eventos do servidor AMI';

class Relay {
  constructor(folder, exchangePort, port, extraConfig = '') {
    this.folder = folder;
    this.port = port;
    fs.mkdirSync(path.join(folder, 'Lib'));
    fs.copyFileSync(path.join(BUILD, 'telvane'), path.join(folder, 'telvane'));
    fs.chmodSync(path.join(folder, 'telvane'), 0o755);
    fs.writeFileSync(path.join(folder, 'Lib', 'Config.ini'),
      `[LOG]\r\nVERBOSE=3\r\n[AMI]\r\nSERVERIP=127.0.0.1\r\nSERVERPORT=${exchangePort}\r\n` +
      `[PROXY]\r\nSERVERPORT=${port}\r\n${extraConfig}`);
  }

  /** Starts the relay and waits until it is logged in to the exchange. */
  async start() {
    const before = this.count(LOGGED_IN);
    this.proc = spawn(path.join(this.folder, 'telvane'), ['-app'], { cwd: this.folder, stdio: 'ignore' });
    await waitUntil(() => this.count(LOGGED_IN) > before, "the relay's login to the simulator");
  }

  log() {
    const dir = path.join(this.folder, 'Log');
    if (!fs.existsSync(dir)) return '';
    return fs.readdirSync(dir).filter((f) => f.startsWith('GENERAL_')).sort()
      .map((f) => fs.readFileSync(path.join(dir, f), 'utf8')).join('');
  }

  count(text) { return this.log().split(text).length - 1; }

  waitLog(text) { return waitUntil(() => this.count(text) > 0, JSON.stringify(text)); }

  async stop(signal = 'SIGTERM') {
    if (!this.proc || this.proc.exitCode !== null || this.proc.signalCode !== null) return;
    const exited = new Promise((resolve) => this.proc.once('exit', resolve));
    this.proc.kill(signal);
    await exited;
  }
}

/**
 * A simulator and a relay logged in to it, in a temporary folder; stop() ends both. extraConfig:
 * more sections for Lib/Config.ini (CR LF lines).
 */
async function startRelay(extraConfig = '') {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'telvane-node-'));
  const sim = new Simulator(folder);
  await sim.start();
  fs.mkdirSync(path.join(folder, 'relay'));
  const relay = new Relay(path.join(folder, 'relay'), sim.port, await freePort(), extraConfig);
  relay.sim = sim;
  relay.tmp = folder;
  relay.shutdown = async () => {
    await relay.stop('SIGKILL');
    await sim.stop();
    fs.rmSync(folder, { recursive: true, force: true });
  };
  await relay.start();
  return relay;
}

/** (ca, cert, key) PEM files for 127.0.0.1 signed by a fresh CA, made with openssl. */
function makeCertificates(folder) {
  const openssl = (...args) => execFileSync('openssl', args, { cwd: folder, stdio: 'ignore' });
  const ec = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes'];
  openssl('req', '-x509', ...ec, '-keyout', 'ca.key', '-out', 'ca.pem', '-days', '2', '-subj', '/CN=Telvane test CA');
  openssl('req', ...ec, '-keyout', 'server.key', '-out', 'server.csr', '-subj', '/CN=127.0.0.1');
  fs.writeFileSync(path.join(folder, 'san.ext'), 'subjectAltName=IP:127.0.0.1\n');
  openssl('x509', '-req', '-in', 'server.csr', '-CA', 'ca.pem', '-CAkey', 'ca.key', '-CAcreateserial',
    '-out', 'server.pem', '-days', '2', '-extfile', 'san.ext');
  return ['ca.pem', 'server.pem', 'server.key'].map((f) => path.join(folder, f));
}

/**
 * A TLS front for the relay's plain client port, standing in for the relay's
 * own TLS port: each TLS connection is paired with a plain one to the relay
 * and every chunk is passed on as one write, so the relay sees the client's
 * writes as they were.
 */
async function startTlsProxy(folder, targetPort) {
  const [ca, cert, key] = makeCertificates(folder);
  const server = tls.createServer({ cert: fs.readFileSync(cert), key: fs.readFileSync(key) }, (secure) => {
    const plain = net.connect({ host: '127.0.0.1', port: targetPort }, () => plain.setNoDelay(true));
    secure.pipe(plain);
    plain.pipe(secure);
    const end = () => { secure.destroy(); plain.destroy(); };
    secure.on('error', end).on('close', end);
    plain.on('error', end).on('close', end);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { ca, port: server.address().port, close: () => server.close() };
}

module.exports = { DEADLINE, freePort, nextEvent, startRelay, startTlsProxy, waitUntil };
