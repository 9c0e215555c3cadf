// What the browser tests and the benchmark share: the engine on a loopback
// port, Debian's chromium as a phone, files of random bytes.

import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { chromium } from 'playwright-core';

import { freePort } from './freeport.mjs';

export const MiB = 1024 * 1024;
// The keys of the program started again (NEW_KEY) and of a page left open
// from an earlier run (OLD_KEY).
export const OLD_KEY = 'olddky';
export const NEW_KEY = 'nwkeyq';
// Where the screenshots of every page state go.
export const SHOTS = process.env.SCREENSHOT_DIR || path.resolve('screenshots');

export function tempFolder(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// A file of random bytes below <work>/src/.
export function makeFile(work, name, size) {
  const dir = path.join(work, 'src');
  fs.mkdirSync(dir, { recursive: true });
  const file = path.join(dir, name);
  const fd = fs.openSync(file, 'w');
  try {
    const block = crypto.randomBytes(Math.min(size, 1 << 20));
    for (let written = 0; written < size; written += block.length) {
      fs.writeSync(fd, block, 0, Math.min(block.length, size - written));
      block[0] ^= 0x5a; // no two blocks alike, so a misplaced block shows
    }
  } finally {
    fs.closeSync(fd);
  }
  return file;
}

export function sameBytes(actual, expected) {
  assert.ok(fs.existsSync(actual), `${actual} arrived`);
  const a = fs.readFileSync(actual);
  const b = fs.readFileSync(expected);
  assert.equal(a.length, b.length, `size of ${path.basename(actual)}`);
  assert.ok(a.equals(b), `bytes of ${path.basename(actual)}`);
}

// Python's zipfile reads the archive: every CRC checks, and it holds exactly
// the given files (archive name -> source path), byte for byte.
export function sameZip(archive, files) {
  const check = `
import json, sys, zipfile
want = json.loads(sys.argv[2])
with zipfile.ZipFile(sys.argv[1]) as z:
    assert z.testzip() is None, 'a CRC failed'
    assert sorted(z.namelist()) == sorted(want), z.namelist()
    for name, path in want.items():
        assert z.read(name) == open(path, 'rb').read(), name
`;
  execFileSync('python3', ['-c', check, archive, JSON.stringify(files)], { stdio: ['ignore', 'inherit', 'inherit'] });
}

// A script for a page already loaded: from now on it notes what the engine
// answered each request the page's own scripts make (XMLHttpRequest and
// fetch), so a test asserts the status itself, not only what the page made
// of it. The notes are read back with API_STATUSES.
export const RECORD_API_STATUSES = `(function () {
  if (window.__apiStatuses) return;
  var seen = window.__apiStatuses = [];
  var open = XMLHttpRequest.prototype.open;
  XMLHttpRequest.prototype.open = function (method, url) {
    var xhr = this;
    xhr.addEventListener('loadend', function () {
      seen.push({ method: String(method), url: String(url), status: xhr.status });
    });
    return open.apply(this, arguments);
  };
  var fetched = window.fetch;
  window.fetch = function (input, init) {
    return fetched.apply(this, arguments).then(function (r) {
      seen.push({ method: (init && init.method) || 'GET', url: r.url, status: r.status });
      return r;
    });
  };
})()`;
export const API_STATUSES = 'return window.__apiStatuses || []';

// Whether the engine answered 403 to a request carrying this stale key.
export function refusedStaleKey(statuses, key) {
  return statuses.some((s) => s.status === 403 && s.url.includes(`key=${key}`));
}

// The engine program, started the way the program starts it (page key, then
// "./wdoc" relative to the working folder), on a loopback port: a free one,
// or the given one to stand for the program started again.
export class Engine {
  static async start(program, key, workDir, port = 0) {
    assert.ok(program && fs.existsSync(program.split(' ')[0]), `engine program ${program}`);
    if (!port) port = await freePort();
    const [file, ...pre] = program.split(' ');
    const child = spawn(file, [...pre, key, './wdoc', '--port', String(port), '--bind', '127.0.0.1'],
      { cwd: workDir, stdio: ['ignore', 'ignore', 'inherit'] });
    const engine = new Engine(child, `http://127.0.0.1:${port}`);
    engine.port = port;
    const deadline = Date.now() + 10000;
    for (;;) {
      if (child.exitCode !== null) throw new Error(`the engine ended with ${child.exitCode}`);
      try {
        const r = await fetch(`${engine.base}/index.html`);
        if (r.status === 200) break;
      } catch {
        // not listening yet
      }
      if (Date.now() > deadline) {
        await engine.stop();
        throw new Error('the engine did not answer within 10 s');
      }
      await new Promise((r) => setTimeout(r, 50));
    }
    return engine;
  }

  constructor(child, base) {
    this.child = child;
    this.base = base;
  }

  async stop() {
    if (this.child.exitCode !== null || this.child.signalCode !== null) return;
    const ended = new Promise((r) => this.child.once('exit', r));
    this.child.kill('SIGTERM');
    const timer = setTimeout(() => this.child.kill('SIGKILL'), 3000);
    await ended;
    clearTimeout(timer);
  }
}

const phoneUserAgent = 'Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 ' +
  '(KHTML, like Gecko) Chrome/124.0.0.0 Mobile Safari/537.36';

// Debian's chromium as a phone of 390 x 844 with touch. Nothing is written to
// the real home folder, and only loopback (and the given hosts) resolve.
export async function launchPhone(profileDir, options = {}, reachableHosts = []) {
  const rules = ['MAP * ~NOTFOUND', 'EXCLUDE 127.0.0.1', ...reachableHosts.map((h) => `EXCLUDE ${h}`)];
  fs.mkdirSync(profileDir, { recursive: true });
  const home = path.join(profileDir, 'home');
  fs.mkdirSync(home, { recursive: true });
  const context = await chromium.launchPersistentContext(path.join(profileDir, 'profile'), {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--host-resolver-rules=${rules.join(', ')}`],
    env: { ...process.env, HOME: home, TMPDIR: home, XDG_CONFIG_HOME: path.join(home, '.config'),
      XDG_CACHE_HOME: path.join(home, '.cache'), XDG_DATA_HOME: path.join(home, '.local') },
    viewport: { width: 390, height: 844 },
    deviceScaleFactor: 2,
    isMobile: true,
    hasTouch: true,
    userAgent: phoneUserAgent,
    acceptDownloads: true,
    ...options,
  });
  // Downloads a popup starts, caught from its very first moment.
  context.downloads = [];
  context.on('page', (p) => p.on('download', (d) => context.downloads.push(d)));
  return context;
}

// The program's publisher (pages_webroot publisher), alive for the whole test
// run like the window's: each publish() is a new selection in the open-file
// dialog and withdraws the one before. Returns the names the copies got.
export class Publisher {
  constructor(program, workDir, key) {
    this.child = spawn(program, ['publisher', workDir, key], { stdio: ['pipe', 'pipe', 'inherit'] });
    this.lines = [];
    this.waiters = [];
    let rest = '';
    this.child.stdout.setEncoding('utf8');
    this.child.stdout.on('data', (text) => {
      const parts = (rest + text).split('\n');
      rest = parts.pop();
      this.lines.push(...parts);
      this.wake();
    });
    this.child.on('exit', () => this.wake());
  }

  wake() {
    for (const w of this.waiters.splice(0)) w();
  }

  async line() {
    while (!this.lines.length) {
      if (this.child.exitCode !== null) throw new Error(`the publisher ended with ${this.child.exitCode}`);
      await new Promise((r) => this.waiters.push(r));
    }
    return this.lines.shift();
  }

  async publish(...files) {
    assert.ok(files.every((f) => !/[\0\n]/.test(f)), 'paths without NUL or line breaks');
    return this.answer(files.join('\0') + '\n');
  }

  // Text copied on the PC and pasted for the phone, as the window publishes it.
  publishText(text) {
    return this.answer(`text ${Buffer.from(text, 'utf8').toString('hex')}\n`);
  }

  async answer(request) {
    this.child.stdin.write(request);
    const first = await this.line();
    if (!first.startsWith('ok ')) throw new Error(`publishing failed: ${first}`);
    const names = [];
    for (let l = await this.line(); l !== 'end'; l = await this.line()) names.push(l);
    assert.equal(names.length, Number(first.slice(3)), 'every copy listed');
    return names;
  }

  async stop() {
    if (this.child.exitCode !== null) return;
    const ended = new Promise((r) => this.child.once('exit', r));
    this.child.stdin.end();
    await ended;
  }
}

// The web root through the pages_webroot helper (GeneratePages and friends).
export function webRoot(...args) {
  execFileSync(process.env.PAGES_WEBROOT, args, { stdio: ['ignore', 'inherit', 'inherit'] });
}
export function pageFile(work, folder, key) {
  return path.join(work, 'wdoc', folder, `${key}.html`);
}
export function receivedFile(work, name) {
  return path.join(work, 'wdoc', 'u', 'ufiles', name);
}

// What each browser test file starts from: a fresh work folder with the web
// root laid out under key, the pages of the folders in keepOpen also under
// oldKey (a page left open from an earlier run of the program; prepare(file)
// changes each of them first), the engine on a loopback port and the
// publisher.
export async function startSite(prefix, key, { oldKey, keepOpen = [], prepare } = {}) {
  const work = tempFolder(prefix);
  webRoot('generate', process.env.TESSARY_TEMPLATES, work, key);
  for (const folder of keepOpen) {
    prepare?.(pageFile(work, folder, key));
    fs.copyFileSync(pageFile(work, folder, key), pageFile(work, folder, oldKey));
  }
  const engine = await Engine.start(process.env.TESSARY_ENGINE, key, work);
  const publisher = new Publisher(process.env.PAGES_WEBROOT, work, key);
  return { work, engine, publisher };
}

// Stops or closes each of running (engines, publishers, browsers; missing
// ones passed over) and removes the work folder.
export async function stopSite(work, ...running) {
  for (const thing of running) {
    if (thing?.stop) await thing.stop();
    else if (thing?.close) await thing.close();
  }
  if (work) removeWork(work);
}

// WebKit's helper processes may still write their shader cache for a moment
// after the browser has gone; a folder left in /tmp then is no test failure.
export function removeWork(work) {
  try {
    fs.rmSync(work, { recursive: true, force: true, maxRetries: 10, retryDelay: 200 });
  } catch (error) {
    console.log(`# left ${work}: ${error.message}`);
  }
}
