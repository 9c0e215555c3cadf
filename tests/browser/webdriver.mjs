// A small W3C WebDriver client over node's fetch, and WebKitGTK's
// MiniBrowser started under its own Xvfb through WebKitWebDriver: the engine
// of the iPhone's Safari, as far as this machine can run it.

import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

import { freePort } from './freeport.mjs';

export const MINIBROWSER = process.env.MINIBROWSER ||
  '/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser';
export const WEBKIT_DRIVER = process.env.WEBKIT_DRIVER || '/usr/bin/WebKitWebDriver';
export const XVFB = process.env.XVFB || '/usr/bin/Xvfb';

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export class WebDriverError extends Error {
  constructor(command, status, value) {
    super(`${command}: ${status} ${value?.error ?? ''} ${value?.message ?? ''}`.trim());
    this.error = value?.error;
  }
}

// What the driver calls a web element in JSON.
const ELEMENT = 'element-6066-11e4-a52e-4f735466cecf';

export class Session {
  constructor(base, id) {
    this.base = base;
    this.id = id;
  }

  async command(method, route, body) {
    const url = `${this.base}/session/${this.id}${route}`;
    const response = await fetch(url, {
      method,
      headers: body === undefined ? {} : { 'Content-Type': 'application/json' },
      body: body === undefined ? undefined : JSON.stringify(body),
      // A browser that stopped answering fails the command, not the suite's clock.
      signal: AbortSignal.timeout(120000),
    });
    const text = await response.text();
    let json = {};
    try {
      json = JSON.parse(text);
    } catch {
      throw new WebDriverError(`${method} ${route}`, response.status, { message: text.slice(0, 200) });
    }
    if (!response.ok) throw new WebDriverError(`${method} ${route}`, response.status, json.value);
    return json.value;
  }

  navigate(url) { return this.command('POST', '/url', { url }); }
  url() { return this.command('GET', '/url'); }
  refresh() { return this.command('POST', '/refresh', {}); }
  windowHandle() { return this.command('GET', '/window'); }
  windowHandles() { return this.command('GET', '/window/handles'); }
  switchToWindow(handle) { return this.command('POST', '/window', { handle }); }
  closeWindow() { return this.command('DELETE', '/window'); }
  async newWindow() { return (await this.command('POST', '/window/new', { type: 'window' })).handle; }
  setWindowRect(rect) { return this.command('POST', '/window/rect', rect); }
  switchToFrame(element) {
    return this.command('POST', '/frame', { id: element === null ? null : { [ELEMENT]: element } });
  }

  // Runs a function body in the page; arguments arrive as `arguments`.
  execute(script, ...args) { return this.command('POST', '/execute/sync', { script, args }); }
  // The body calls arguments[arguments.length - 1] with its result.
  executeAsync(script, ...args) { return this.command('POST', '/execute/async', { script, args }); }

  async find(css) {
    const value = await this.command('POST', '/element', { using: 'css selector', value: css });
    return value[ELEMENT];
  }
  async findAll(css) {
    const value = await this.command('POST', '/elements', { using: 'css selector', value: css });
    return value.map((e) => e[ELEMENT]);
  }
  click(element) { return this.command('POST', `/element/${element}/click`, {}); }
  // Into a file input: one path per line, the files chosen all at once.
  sendKeys(element, text) {
    return this.command('POST', `/element/${element}/value`, { text });
  }

  async screenshot(file, element) {
    const route = element ? `/element/${element}/screenshot` : '/screenshot';
    const png = Buffer.from(await this.command('GET', route), 'base64');
    fs.mkdirSync(path.dirname(file), { recursive: true });
    fs.writeFileSync(file, png);
  }

  // Runs script (a function body) until it returns something truthy.
  async waitFor(script, what, timeout = 20000, ...args) {
    const deadline = Date.now() + timeout;
    let last;
    for (;;) {
      try {
        last = await this.execute(script, ...args);
        if (last) return last;
      } catch (e) {
        // A page being replaced answers with an error for a moment.
        if (!/no such|stale|javascript error|unknown error/.test(String(e.message))) throw e;
        last = e.message;
      }
      if (Date.now() > deadline) throw new Error(`timed out waiting for ${what} (last: ${JSON.stringify(last)})`);
      await sleep(50);
    }
  }

  // Shows url in a same-origin iframe #phone, width px wide, inside host (a
  // page of the same origin), once ready (a script run in the frame's
  // window, `w`) holds; returns the frame element.
  async openInFrame(host, url, width, ready) {
    await this.navigate(host);
    await this.execute(`
      document.body.innerHTML = '';
      document.body.style.margin = '0';
      var f = document.createElement('iframe');
      f.id = 'phone';
      f.style.cssText = 'width:' + arguments[1] + 'px;height:760px;border:0;display:block';
      f.src = arguments[0];
      document.body.appendChild(f);`, url, width);
    await this.waitFor(`var w = document.getElementById('phone').contentWindow, d = w && w.document;
      return !!d && d.readyState === 'complete' && !!d.body && (${ready})`, `${url} in a frame`);
    return this.find('#phone');
  }

  delete() { return fetch(`${this.base}/session/${this.id}`, { method: 'DELETE' }).catch(() => {}); }
}

function waitForExit(child, ms) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
  return new Promise((resolve) => {
    const timer = setTimeout(() => { child.kill('SIGKILL'); resolve(); }, ms);
    child.once('exit', () => { clearTimeout(timer); resolve(); });
  });
}

// Xvfb on a display it picks itself, WebKitWebDriver on a free loopback port,
// one MiniBrowser session. Nothing is written to the real home folder.
export class WebKit {
  static async start(profileDir) {
    fs.mkdirSync(path.join(profileDir, 'home'), { recursive: true });
    const home = path.join(profileDir, 'home');
    const webkit = new WebKit();
    try {
      webkit.xvfb = spawn(XVFB, ['-displayfd', '3', '-screen', '0', '1280x1024x24', '-nolisten', 'tcp', '-noreset'],
        { stdio: ['ignore', 'ignore', 'pipe', 'pipe'] });
      let xvfbErr = '';
      webkit.xvfb.stderr.on('data', (d) => { xvfbErr += d; });
      const display = await new Promise((resolve, reject) => {
        let text = '';
        const timer = setTimeout(() => reject(new Error(`Xvfb gave no display within 10 s: ${xvfbErr}`)), 10000);
        webkit.xvfb.stdio[3].on('data', (d) => {
          text += d;
          if (text.includes('\n')) { clearTimeout(timer); resolve(text.trim()); }
        });
        webkit.xvfb.once('exit', (code) => { clearTimeout(timer); reject(new Error(`Xvfb ended with ${code}: ${xvfbErr}`)); });
      });
      const port = await freePort();
      const env = { ...process.env, DISPLAY: `:${display}`, HOME: home, TMPDIR: home,
        XDG_CONFIG_HOME: path.join(home, '.config'), XDG_CACHE_HOME: path.join(home, '.cache'),
        XDG_DATA_HOME: path.join(home, '.local'), XDG_RUNTIME_DIR: home,
        // No accessibility bus or desktop settings service here to wait for.
        NO_AT_BRIDGE: '1', GTK_A11Y: 'none', GSETTINGS_BACKEND: 'memory' };
      webkit.driver = spawn(WEBKIT_DRIVER, [`--port=${port}`, '--host=127.0.0.1'],
        { env, stdio: ['ignore', 'ignore', 'pipe'] });
      webkit.driverLog = '';
      webkit.driver.stderr.on('data', (d) => { webkit.driverLog = (webkit.driverLog + d).slice(-4000); });
      const base = `http://127.0.0.1:${port}`;
      for (const deadline = Date.now() + 10000; ;) {
        if (webkit.driver.exitCode !== null) throw new Error(`WebKitWebDriver ended: ${webkit.driverLog}`);
        try {
          if ((await fetch(`${base}/status`)).ok) break;
        } catch {
          // not listening yet
        }
        if (Date.now() > deadline) throw new Error('WebKitWebDriver did not answer within 10 s');
        await sleep(50);
      }
      const response = await fetch(`${base}/session`, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify({ capabilities: { alwaysMatch: {
          browserName: 'MiniBrowser',
          'webkitgtk:browserOptions': { binary: MINIBROWSER, args: ['--automation'] },
        } } }),
        signal: AbortSignal.timeout(60000),
      }).catch((e) => {
        throw new Error(`MiniBrowser did not start within 60 s (${e.message}) ${webkit.driverLog}`);
      });
      const json = await response.json().catch(() => ({}));
      if (!response.ok || !json.value?.sessionId) {
        throw new Error(`no MiniBrowser session: ${JSON.stringify(json.value ?? response.status)} ${webkit.driverLog}`);
      }
      webkit.session = new Session(base, json.value.sessionId);
      webkit.version = json.value.capabilities?.browserVersion;
      await webkit.session.command('POST', '/timeouts', { script: 60000, pageLoad: 30000 });
      return webkit;
    } catch (e) {
      await webkit.stop();
      throw e;
    }
  }

  async stop() {
    await this.session?.delete();
    if (this.driver) {
      this.driver.kill('SIGTERM');
      await waitForExit(this.driver, 3000);
    }
    if (this.xvfb) {
      this.xvfb.kill('SIGTERM');
      await waitForExit(this.xvfb, 3000);
    }
  }
}
