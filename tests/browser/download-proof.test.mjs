// Published files are only for the browser that loaded this run's download
// page: chromium as the phone opens every file from the page (odd names
// too), in a second tab, after a reload and resumed with a Range request,
// while a browser that never loaded the page gets 404.
//
// Environment as for pages.test.mjs.

import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';

import { Engine, Publisher, launchPhone, makeFile, stopSite, tempFolder, webRoot } from './harness.mjs';

const KEY = 'prfkey';

let work;
let engine;
let phone;
let stranger;
let files;
let publisher;


// Taps the button; resolves once the popup it opened showed or downloaded
// exactly the file's bytes.
async function opensFile(page, button, file) {
  const context = page.context();
  const want = fs.readFileSync(file);
  const downloadsBefore = context.downloads.length;
  const bodies = [];
  const onResponse = (r) => {
    if (r.url().includes('/dfiles/') && r.request().isNavigationRequest()) bodies.push(r);
  };
  context.on('response', onResponse);
  try {
    const [popup] = await Promise.all([page.waitForEvent('popup'), button.click()]);
    let seen = false;
    for (const deadline = Date.now() + 15000; !seen && Date.now() < deadline;) {
      for (const d of context.downloads.slice(downloadsBefore)) {
        if (fs.readFileSync(await d.path()).equals(want)) seen = true;
      }
      for (const r of bodies) {
        const body = r.status() === 200 ? await r.body().catch(() => null) : null;
        if (body && body.equals(want)) seen = true;
      }
      if (!seen) await new Promise((r) => setTimeout(r, 50));
    }
    await popup.close();
    assert.ok(seen, `Open gave the bytes of ${JSON.stringify(path.basename(file))}`);
  } finally {
    context.off('response', onResponse);
  }
}

function linkOf(file) {
  return `${engine.base}/d/dfiles/${encodeURIComponent(path.basename(file))}`;
}

before(async () => {
  work = tempFolder('tessary-proof-');
  webRoot('generate', process.env.TESSARY_TEMPLATES, work, KEY);
  files = [
    makeFile(work, 'photo.jpg', 300 * 1024),
    makeFile(work, '.bashrc', 2000),
    makeFile(work, 'a\\b.txt', 3000),
    makeFile(work, 'tab\there.txt', 4000),
  ];
  publisher = new Publisher(process.env.PAGES_WEBROOT, work, KEY);
  assert.deepEqual(await publisher.publish(...files), files.map((f) => path.basename(f)));
  engine = await Engine.start(process.env.TESSARY_ENGINE, KEY, work);
  phone = await launchPhone(path.join(work, 'phone'));
  stranger = await launchPhone(path.join(work, 'stranger'));
});

after(() => stopSite(work, publisher, phone, stranger, engine));

test('a browser that never loaded the download page gets 404', async () => {
  const page = await stranger.newPage();
  for (const target of [linkOf(files[0]), `${engine.base}/d/filelist-${KEY}.html`]) {
    const response = await page.goto(target);
    assert.equal(response.status(), 404, target);
  }
  await page.close();
});

test('the phone opens every file from the page, in a second tab, after a reload and resumed',
  async () => {
    const page = await phone.newPage();
    await page.goto(`${engine.base}/d/${KEY}.html`);
    await page.waitForFunction(() => document.getElementById('count').textContent === '4 files ready',
      null, { timeout: 10000 });
    const buttons = page.locator('#list .cbutton');
    assert.equal(await buttons.count(), files.length);
    for (let i = 0; i < files.length; i++) await opensFile(page, buttons.nth(i), files[i]);

    // A second tab, opened by hand with the file's address.
    const tab = await phone.newPage();
    const direct = await tab.goto(linkOf(files[2]));
    assert.equal(direct.status(), 200);
    assert.ok((await direct.body()).equals(fs.readFileSync(files[2])));
    await tab.close();

    // A reload keeps the list and the files.
    await page.reload();
    await page.waitForFunction(() => document.getElementById('count').textContent === '4 files ready',
      null, { timeout: 10000 });
    await opensFile(page, page.locator('#list .cbutton').nth(0), files[0]);

    // A download resumed where it stopped: the browser asks for the rest.
    const resumed = await page.evaluate(async (url) => {
      const r = await fetch(url, { headers: { Range: 'bytes=100000-' } });
      return { status: r.status, bytes: Array.from(new Uint8Array(await r.arrayBuffer())) };
    }, linkOf(files[0]));
    assert.equal(resumed.status, 206);
    assert.ok(Buffer.from(resumed.bytes).equals(fs.readFileSync(files[0]).subarray(100000)));
    await page.close();
  });
