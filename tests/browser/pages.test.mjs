// The phone's pages in Debian's chromium, emulating a phone, against the real
// engine on a loopback port serving a web root made by GeneratePages.
//
// Environment (set by CMakeLists.txt): TESSARY_ENGINE (the engine program),
// TESSARY_TEMPLATES (the templates folder), PAGES_WEBROOT (the helper that
// lays out the web root), SCREENSHOT_DIR.

import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';

import {
  API_STATUSES, Engine, MiB, NEW_KEY, OLD_KEY, Publisher, RECORD_API_STATUSES, SHOTS as shots, launchPhone,
  makeFile, receivedFile, refusedStaleKey, sameBytes, sameZip, startSite, stopSite, tempFolder,
} from './harness.mjs';

const KEY = 'qwbrtz';

let work;
let engine;
let phone;
let publisher;

function received(name) {
  return receivedFile(work, name);
}
// What the engine holds of unfinished uploads, with their sizes.
function staged() {
  const dir = path.join(work, 'staging');
  if (!fs.existsSync(dir)) return [];
  return fs.readdirSync(dir).map((n) => fs.statSync(path.join(dir, n)).size);
}
async function waitUntil(check, what, timeout = 10000) {
  for (const deadline = Date.now() + timeout; !check();) {
    if (Date.now() > deadline) assert.fail(`timed out waiting until ${what}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}
// The resumable requests a page makes: every chunk sent (id, name, offset)
// and every answer to "where does this upload stand" (id, status, offset).
function recordUploads(page) {
  const log = { posts: [], probes: [] };
  page.on('request', (r) => {
    const url = new URL(r.url());
    if (r.method() === 'POST' && url.pathname.endsWith('/api/upload')) {
      log.posts.push({ id: url.searchParams.get('id'), name: url.searchParams.get('name'),
        offset: Number(url.searchParams.get('offset')), at: log.probes.length });
    }
  });
  page.on('response', async (r) => {
    const url = new URL(r.url());
    if (r.request().method() !== 'GET' || !url.pathname.endsWith('/api/upload')) return;
    const id = url.searchParams.get('id');
    if (id === 'pagecheck') return;
    // Noted as it arrives, before the page can act on it; the body follows.
    const probe = { id, status: r.status() };
    log.probes.push(probe);
    probe.offset = (await r.json().catch(() => ({}))).offset;
  });
  return log;
}
async function shot(page, name) {
  fs.mkdirSync(shots, { recursive: true });
  await page.screenshot({ path: path.join(shots, `${name}.png`) });
}
async function summary(page) {
  return page.locator('#sumTitle').textContent();
}
async function waitForSummary(page, text, timeout = 30000) {
  await page.waitForFunction((t) => document.getElementById('sumTitle').textContent === t, text,
    { timeout });
}

// Taps the button and waits until what it opened carried exactly the bytes
// of expected: the page the popup shows, the file it downloaded, or the
// stream the browser's PDF viewer reads. Returns the URL opened.
async function openAndCheck(page, button, expected) {
  const context = page.context();
  const want = fs.readFileSync(expected);
  const downloadsBefore = context.downloads.length;
  const responses = [];
  const onResponse = (r) => {
    const url = r.url();
    if ((url.includes('/dfiles/') && r.request().isNavigationRequest()) ||
        url.startsWith('chrome-extension://')) responses.push(r);
  };
  context.on('response', onResponse);
  try {
    const [popup] = await Promise.all([page.waitForEvent('popup'), button.click()]);
    let url = '';
    for (const deadline = Date.now() + 15000; !url && Date.now() < deadline;) {
      for (const d of context.downloads.slice(downloadsBefore)) {
        if (fs.readFileSync(await d.path()).equals(want)) url = d.url();
      }
      for (const r of responses) {
        const body = await r.body().catch(() => null);
        if (body && body.equals(want)) url = popup.url();
      }
      if (!url) await new Promise((r) => setTimeout(r, 50));
    }
    await popup.close();
    assert.ok(url, `Open gave the bytes of ${path.basename(expected)}`);
    return url;
  } finally {
    context.off('response', onResponse);
  }
}

before(async () => {
  ({ work, engine, publisher } = await startSite('tessary-browser-', KEY, { oldKey: OLD_KEY, keepOpen: ['u'] }));
  phone = await launchPhone(path.join(work, 'browser'));
});

after(() => stopSite(work, phone, publisher, engine));

describe('upload page', () => {
  test('sends three files that arrive byte for byte', async () => {
    const page = await phone.newPage();
    await page.goto(`${engine.base}/u/${KEY}.html`);
    await page.waitForLoadState('networkidle');
    await shot(page, 'upload-1-start');
    assert.equal(await page.locator('#alert').isHidden(), true);

    const files = [
      makeFile(work, 'IMG_2041.JPG', 3 * MiB + 17),
      makeFile(work, 'clip.mp4', 2 * 8 * MiB + 4321), // three chunks
      makeFile(work, 'empty.txt', 0),
    ];
    await page.setInputFiles('#files', files);
    await waitForSummary(page, '3 files sent');
    await shot(page, 'upload-3-done');
    for (const file of files) sameBytes(received(path.basename(file)), file);
    assert.equal(await page.locator('.file.done').count(), 3);
  });

  test('resumes each file where the engine stopped after the connection drops', async () => {
    const page = await phone.newPage();
    await page.goto(`${engine.base}/u/${KEY}.html`);
    const cdp = await page.context().newCDPSession(page);
    await cdp.send('Network.enable');
    const slow = { offline: false, latency: 5, downloadThroughput: -1, uploadThroughput: 6 * MiB };
    await cdp.send('Network.emulateNetworkConditions', slow);

    const log = recordUploads(page);

    // Three files large enough to go in resumable chunks, one small one that
    // goes whole in a multipart request.
    const files = [
      makeFile(work, 'holiday video.mov', 20 * MiB + 5),
      makeFile(work, 'IMG_3001.MOV', 12 * MiB),
      makeFile(work, 'IMG_3002.MOV', 9 * MiB + 999),
      makeFile(work, 'notes.pdf', 700 * 1024),
    ];
    await page.setInputFiles('#files', files);
    await page.waitForFunction(() => parseInt(document.getElementById('sumPct').textContent, 10) >= 30,
      null, { timeout: 30000 });
    await shot(page, 'upload-2-progress');

    await cdp.send('Network.emulateNetworkConditions',
      { offline: true, latency: 0, downloadThroughput: 0, uploadThroughput: 0 });
    const probesBeforeCut = log.probes.length;
    await page.locator('#alert:not([hidden])').waitFor({ timeout: 10000 });
    assert.match(await page.locator('#alertTitle').textContent(), /Connection to the PC lost/);
    const cut = await page.$$eval('.file:not(.done) .fname', (names) => names.map((n) => n.textContent));
    await page.waitForTimeout(1500);
    await shot(page, 'upload-4-connection-lost');

    await cdp.send('Network.emulateNetworkConditions',
      { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: -1 });
    await waitForSummary(page, '4 files sent', 60000);
    assert.equal(await page.locator('#alert').isHidden(), true);
    for (const file of files) sameBytes(received(path.basename(file)), file);
    // Each large file cut off asked where it stood and went on from there,
    // from the middle of the file.
    const resumable = files.slice(0, 3).map((f) => path.basename(f));
    const cutResumable = resumable.filter((name) => cut.includes(name));
    assert.ok(cutResumable.length >= 2, `large files cut off: ${cut}`);
    for (const name of cutResumable) {
      const id = log.posts.find((p) => p.name === name).id;
      const at = log.probes.findIndex((p, i) => i >= probesBeforeCut && p.id === id && p.status === 200);
      assert.ok(at >= 0, `${name} asked where it stood: ${JSON.stringify(log.probes)}`);
      const next = log.posts.find((p) => p.id === id && p.at > at);
      assert.ok(next, `${name} was sent on`);
      assert.equal(next.offset, log.probes[at].offset, `${name} went on where the engine stopped`);
      assert.ok(next.offset > 0, `${name} went on from ${next.offset}, not from the start`);
    }
  });

  test('cancels a file and sends the rest', async () => {
    const page = await phone.newPage();
    await page.goto(`${engine.base}/u/${KEY}.html`);
    const cdp = await page.context().newCDPSession(page);
    await cdp.send('Network.enable');
    await cdp.send('Network.emulateNetworkConditions',
      { offline: false, latency: 5, downloadThroughput: -1, uploadThroughput: 4 * MiB });
    const files = [makeFile(work, 'keep.bin', 2 * MiB), makeFile(work, 'drop.bin', 24 * MiB)];
    await page.setInputFiles('#files', files);
    // Part of it is on the PC already when it is cancelled.
    await waitUntil(() => staged().some((size) => size > 0), 'bytes of drop.bin are staged');
    await page.locator('.file', { hasText: 'drop.bin' }).locator('.x').click();
    await waitForSummary(page, '1 file sent');
    assert.equal(await page.locator('.file.cancelled').count(), 1);
    sameBytes(received('keep.bin'), files[0]);
    assert.equal(fs.existsSync(received('drop.bin')), false);
    // The PC lets go of what it had of the cancelled file at once.
    await waitUntil(() => staged().length === 0, 'the staged bytes of drop.bin are gone', 5000);
  });

  test('sends small files several to a request and cancels one of them alone', async () => {
    const page = await phone.newPage();
    await page.goto(`${engine.base}/u/${KEY}.html`);
    const cdp = await page.context().newCDPSession(page);
    await cdp.send('Network.enable');
    await cdp.send('Network.emulateNetworkConditions',
      { offline: false, latency: 5, downloadThroughput: -1, uploadThroughput: 3 * MiB });
    const forms = [];
    page.on('request', (r) => { if (r.url().includes('/api/form')) forms.push(r.url()); });
    const photos = [];
    for (let i = 0; i < 6; i++) photos.push(makeFile(work, `IMG_500${i}.JPG`, MiB + 1000 * i));
    // Chromium would write its quotes as %22 in a multipart name: it goes alone.
    const quoted = makeFile(work, 'say "cheese".jpg', 4321);
    await page.setInputFiles('#files', [...photos, quoted]);
    const drop = page.locator('.file', { hasText: 'IMG_5003.JPG' });
    await page.locator('.file.sending', { hasText: 'IMG_5003.JPG' }).waitFor({ timeout: 10000 });
    await drop.locator('.x').click();
    await waitForSummary(page, '6 files sent');
    assert.match(await drop.locator('.st').textContent(), /Cancelled/);
    assert.equal(fs.existsSync(received('IMG_5003.JPG')), false);
    for (const file of [...photos.filter((f) => !f.endsWith('IMG_5003.JPG')), quoted]) {
      sameBytes(received(path.basename(file)), file);
    }
    assert.ok(forms.length > 0 && forms.length < photos.length, `${forms.length} multipart requests`);
  });

  test('a refused request of several files tells which file was refused', async () => {
    const page = await phone.newPage();
    await page.goto(`${engine.base}/u/${KEY}.html`);
    const drop = await page.evaluateHandle(() => {
      const data = new DataTransfer();
      data.items.add(new File(['first of two\n'], 'first of two.txt'));
      // A name the engine refuses: the whole multipart request is refused.
      data.items.add(new File(['no name\n'], '..'));
      data.items.add(new File(['last of three\n'], 'last of three.txt'));
      return data;
    });
    await page.dispatchEvent('#pick', 'drop', { dataTransfer: drop });
    await waitForSummary(page, '2 files sent \u00b7 1 not sent');
    assert.equal(fs.readFileSync(received('first of two.txt'), 'utf8'), 'first of two\n');
    assert.equal(fs.readFileSync(received('last of three.txt'), 'utf8'), 'last of three\n');
    assert.equal(await page.locator('.file.failed .fname').textContent(), '..');
    assert.match(await page.locator('.file.failed .st').textContent(), /not understood/);
  });

  test('says so when the PC\'s disk cannot hold a file, and sends the others', async () => {
    // A sparse file far larger than the free space: the engine refuses it
    // before a byte is stored.
    const huge = path.join(work, 'src', 'huge backup.img');
    fs.closeSync(fs.openSync(huge, 'w'));
    fs.truncateSync(huge, 15 * 1024 ** 4);
    const small = makeFile(work, 'after the full one.txt', 5000);
    const page = await phone.newPage();
    await page.goto(`${engine.base}/u/${KEY}.html`);
    await page.setInputFiles('#files', [huge, small]);
    await waitForSummary(page, '1 file sent \u00b7 1 not sent');
    assert.match(await page.locator('#alertText').textContent(), /disk is full/);
    assert.match(await page.locator('.file.failed .st').textContent(), /disk is full/);
    await shot(page, 'upload-7-disk-full');
    sameBytes(received(path.basename(small)), small);
    assert.equal(fs.existsSync(received('huge backup.img')), false);
    fs.rmSync(huge);
  });

  test('takes files dropped on it', async () => {
    const page = await phone.newPage();
    await page.goto(`${engine.base}/u/${KEY}.html`);
    const drop = await page.evaluateHandle(() => {
      const data = new DataTransfer();
      data.items.add(new File(['dropped from the desktop\n'], 'dropped note.txt', { type: 'text/plain' }));
      return data;
    });
    await page.dispatchEvent('#pick', 'drop', { dataTransfer: drop });
    await waitForSummary(page, '1 file sent');
    assert.equal(fs.readFileSync(received('dropped note.txt'), 'utf8'), 'dropped from the desktop\n');
  });

  test('sends a piece of text as a UTF-8 text file named from the phone\'s clock', async () => {
    const page = await phone.newPage();
    // The phone's clock says 9 December 2026, 14:03:22, its local time.
    await page.clock.setFixedTime(new Date(2026, 11, 9, 14, 3, 22));
    await page.goto(`${engine.base}/u/${KEY}.html`);
    assert.equal(await page.locator('#note').isHidden(), true);
    await page.click('#textOpen');
    assert.equal(await page.locator('#noteSend').isDisabled(), true);
    const text = 'Door code 4711 \u2014 Stra\u00dfe 12, 3. OG \u{1F511}\nhttps://example.org/share?a=1&b=%C3%A9#x\n';
    await page.locator('#noteText').pressSequentially(text);
    await page.setViewportSize({ width: 320, height: 700 });
    await shot(page, 'upload-9-text');
    const wide = await page.evaluate(() => [document.documentElement.scrollWidth, document.documentElement.clientWidth]);
    assert.ok(wide[0] <= wide[1], `no sideways scrolling at 320 px: ${wide}`);
    await page.click('#noteSend');
    await waitForSummary(page, '1 file sent');
    const name = 'Text 2026-12-09 14.03.22.txt';
    assert.equal(fs.readFileSync(received(name)).toString('hex'), Buffer.from(text, 'utf8').toString('hex'));
    assert.equal(await page.locator('.file .fname').textContent(), name);
    assert.equal(await page.locator('#noteText').inputValue(), '');
    assert.equal(await page.locator('#note').isHidden(), true);

    // Another in the same second: the usual "(1)".
    await page.click('#textOpen');
    await page.locator('#noteText').fill('second note');
    await page.click('#noteSend');
    await waitForSummary(page, '2 files sent');
    assert.equal(fs.readFileSync(received('Text 2026-12-09 14.03.22(1).txt'), 'utf8'), 'second note');

    // Blanks alone send nothing.
    await page.click('#textOpen');
    await page.locator('#noteText').fill(' \n\t ');
    assert.equal(await page.locator('#noteSend').isDisabled(), true);
    await page.close();
  });

  test('a page of an earlier run says it has expired and sends nothing', async () => {
    const page = await phone.newPage();
    const requests = [];
    page.on('request', (r) => requests.push(`${r.method()} ${new URL(r.url()).pathname}${new URL(r.url()).search}`));
    await page.goto(`${engine.base}/u/${OLD_KEY}.html`);
    await page.locator('#gone:not([hidden])').waitFor({ timeout: 10000 });
    assert.match(await page.locator('#goneText').textContent(), /earlier session\. Scan the new QR code/);
    assert.equal(await page.locator('#pick').isHidden(), true);
    await shot(page, 'upload-5-expired');

    // Files chosen or dropped on it anyway go nowhere.
    const file = makeFile(work, 'chosen on an expired page.txt', 1000);
    await page.setInputFiles('#files', [file]);
    const drop = await page.evaluateHandle(() => {
      const data = new DataTransfer();
      data.items.add(new File(['dropped on an expired page\n'], 'dropped on an expired page.txt'));
      return data;
    });
    await page.dispatchEvent('#pick', 'drop', { dataTransfer: drop });
    await page.waitForTimeout(1000);
    assert.deepEqual(requests.filter((r) => r.includes('/api/')), [`GET /api/upload?key=${OLD_KEY}&id=pagecheck`]);
    assert.equal(await page.locator('.file').count(), 0);
    assert.equal(fs.existsSync(received(path.basename(file))), false);
    assert.equal(fs.existsSync(received('dropped on an expired page.txt')), false);
  });

  test('the plain form sends files with JavaScript off', async () => {
    const plain = await launchPhone(path.join(work, 'browser-nojs'), { javaScriptEnabled: false });
    try {
      const page = await plain.newPage();
      await page.goto(`${engine.base}/u/${KEY}.html`);
      await shot(page, 'upload-6-no-javascript');
      const files = [makeFile(work, 'plain one.txt', 1234), makeFile(work, 'plain-two.jpg', 300000)];
      await page.setInputFiles('.nojs input[type=file]', files);
      await Promise.all([page.waitForNavigation(), page.click('.nojs button[type=submit]')]);
      for (const file of files) sameBytes(received(path.basename(file)), file);
    } finally {
      await plain.close();
    }
  });
});

describe('a batch from the phone', () => {
  test('files keep the date the phone gives them; an implausible one leaves the arrival time', async () => {
    const page = await phone.newPage();
    await page.goto(`${engine.base}/u/${KEY}.html`);
    const dates = {
      'dated one.jpg': Date.UTC(2019, 7, 3, 14, 5, 8, 250),
      'dated two.jpg': Date.UTC(2021, 0, 1, 0, 0, 1),
      // A quote sends it alone, through the resumable interface.
      'dated "three".jpg': Date.UTC(2023, 5, 30, 23, 59, 59, 999),
    };
    const drop = await page.evaluateHandle(([dates, future]) => {
      const data = new DataTransfer();
      for (const [name, t] of Object.entries(dates)) data.items.add(new File([name], name, { lastModified: t }));
      data.items.add(new File(['ahead'], 'clock ahead.jpg', { lastModified: future }));
      return data;
    }, [dates, Date.now() + 3 * 86400000]);
    const before = Date.now();
    await page.dispatchEvent('#pick', 'drop', { dataTransfer: drop });
    await waitForSummary(page, '4 files sent');
    for (const [name, t] of Object.entries(dates)) {
      assert.equal(Math.floor(fs.statSync(received(name)).mtimeMs / 1000), Math.floor(t / 1000), name);
    }
    const ahead = fs.statSync(received('clock ahead.jpg')).mtimeMs;
    assert.ok(ahead >= before - 2000 && ahead <= Date.now() + 2000, `arrival time kept: ${ahead}`);
    await page.close();
  });

  test('after the tab is killed, the same files picked again send only what the PC lacks', async () => {
    const names = Array.from({ length: 20 }, (_, i) => `batch-${String(i + 1).padStart(2, '0')}.jpg`);
    const files = names.map((n, i) => makeFile(work, n, i === 8 ? 24 * MiB + 3 : 150 * 1024 + i));
    const page = await phone.newPage();
    await page.goto(`${engine.base}/u/${KEY}.html`);
    const first = recordUploads(page);
    await page.setInputFiles('#files', files.slice(0, 8));
    await waitForSummary(page, '8 files sent');
    assert.equal(await page.locator('#keepOpen').isHidden(), true);

    // The ninth, slowly, until the PC holds part of it; then the tab goes.
    const cdp = await page.context().newCDPSession(page);
    await cdp.send('Network.enable');
    await cdp.send('Network.emulateNetworkConditions',
      { offline: false, latency: 5, downloadThroughput: -1, uploadThroughput: 6 * MiB });
    await page.setInputFiles('#files', [files[8]]);
    await waitUntil(() => staged().some((n) => n > 9 * MiB), 'part of the ninth is on the PC', 20000);
    assert.equal(await page.locator('#keepOpen').isVisible(), true);
    await shot(page, 'upload-10-keep-open');
    await page.close();
    const ninth = first.posts.find((p) => p.name === names[8]).id;
    await new Promise((r) => setTimeout(r, 300));
    const held = await (await fetch(`${engine.base}/api/upload?key=${KEY}&id=${ninth}`)).json();
    assert.ok(held.offset > 8 * MiB && held.offset < 24 * MiB + 3, `part held: ${held.offset}`);

    const again = await phone.newPage();
    // The files the page puts into multipart requests.
    await again.addInitScript(() => {
      window.__formFiles = [];
      const append = FormData.prototype.append;
      FormData.prototype.append = function (field, value, name) {
        if (value instanceof Blob) window.__formFiles.push(name);
        return append.apply(this, arguments);
      };
    });
    await again.goto(`${engine.base}/u/${KEY}.html`);
    const log = recordUploads(again);
    await again.setInputFiles('#files', files);
    await waitForSummary(again, '12 files sent \u00b7 8 already sent', 60000);
    await shot(again, 'upload-11-already-sent');
    assert.equal(await again.locator('.file.done .st', { hasText: 'Already sent' }).count(), 8);
    const resumed = log.posts.filter((p) => p.id === ninth);
    assert.equal(resumed[0].offset, held.offset, 'the ninth went on from the PC\'s offset');
    const sentNames = [...log.posts.map((p) => p.name), ...await again.evaluate(() => window.__formFiles)];
    for (const name of names.slice(0, 8)) assert.ok(!sentNames.includes(name), `${name} not sent again`);
    for (const name of names.slice(9)) assert.ok(sentNames.includes(name), `${name} sent`);
    names.forEach((n, i) => sameBytes(received(n), files[i]));
    const twice = fs.readdirSync(path.join(work, 'wdoc', 'u', 'ufiles')).filter((n) => /^batch-\d+\(\d+\)/.test(n));
    assert.deepEqual(twice, [], 'no file arrived twice');
    await again.close();
  });
});

describe('two phones at once', () => {
  test('each sends 50 files of the same names; nothing is mixed up, and both take the published files', async () => {
    const second = await launchPhone(path.join(work, 'browser-2'));
    try {
      const phones = [phone, second];
      const sets = phones.map((_, p) => Array.from({ length: 50 }, (_, i) => {
        const name = `both-${String(i).padStart(2, '0')}.jpg`;
        return makeFile(path.join(work, `phone${p}`), name, 20000 + 997 * i + p);
      }));
      const pages = await Promise.all(phones.map((c) => c.newPage()));
      await Promise.all(pages.map((p) => p.goto(`${engine.base}/u/${KEY}.html`)));
      await Promise.all(pages.map((p, i) => p.setInputFiles('#files', sets[i])));
      await Promise.all(pages.map((p) => waitForSummary(p, '50 files sent', 60000)));
      // Every file once, under its name or "(1)": found by its bytes.
      const folder = path.join(work, 'wdoc', 'u', 'ufiles');
      const arrived = fs.readdirSync(folder).filter((n) => n.startsWith('both-'));
      assert.equal(arrived.length, 100);
      const byContent = new Map(arrived.map((n) => [fs.readFileSync(path.join(folder, n)).toString('base64'), n]));
      for (const file of sets.flat()) {
        assert.ok(byContent.has(fs.readFileSync(file).toString('base64')), `${file} arrived whole`);
      }
      // Each page lists only what it sent.
      for (const p of pages) {
        const listed = await p.locator('.file .fname').allTextContents();
        assert.equal(listed.length, 50);
        assert.equal(new Set(listed).size, 50);
      }
      const published = [makeFile(work, 'for both 1.jpg', 4000), makeFile(work, 'for both 2.jpg', 5000)];
      const copies = await publisher.publish(...published);
      for (const p of pages) {
        await p.goto(`${engine.base}/d/${KEY}.html`);
        await p.locator('#all:not([hidden])').waitFor({ timeout: 10000 });
        const bodies = await p.evaluate((names) => Promise.all(names.map((n) =>
          fetch('dfiles/' + encodeURIComponent(n)).then((r) => r.arrayBuffer())
            .then((b) => Array.from(new Uint8Array(b), (c) => String.fromCharCode(c)).join('')))), copies);
        assert.deepEqual(bodies.map((b) => Buffer.from(b, 'latin1')), published.map((f) => fs.readFileSync(f)));
      }
    } finally {
      await second.close();
      await publisher.publish(); // withdrawn: the download page's tests start from nothing
    }
  });
});

describe('download page', () => {
  test('shows no files yet, then the entries, and every Open opens its file', async () => {
    const page = await phone.newPage();
    await page.goto(`${engine.base}/d/${KEY}.html`);
    await page.locator('#empty:not([hidden])').waitFor();
    assert.match(await page.locator('#empty').textContent(), /No files yet/);
    await shot(page, 'download-1-empty');

    const files = [
      makeFile(work, 'holiday_at_the_seaside_2019.jpg', 2 * MiB + 3),
      makeFile(work, 'Tom & Jerry\'s #1.txt', 4000),
      makeFile(work, 'Quarterly report.pdf', 350 * 1024),
      // The same name from another folder: its copy is linked with a "(1)".
      makeFile(path.join(work, 'other'), 'Tom & Jerry\'s #1.txt', 5000),
    ];
    const copies = await publisher.publish(...files);
    assert.deepEqual(copies, ['holiday_at_the_seaside_2019.jpg', 'Tom & Jerry\'s #1.txt',
      'Quarterly report.pdf', 'Tom & Jerry\'s #1(1).txt']);
    const looks = [];
    page.on('request', (r) => { if (r.url().includes('/filelist-')) looks.push(Date.now()); });
    // The page looks again on its own every few seconds.
    await page.waitForFunction(() => document.getElementById('count').textContent === '4 files ready',
      null, { timeout: 10000 });
    await page.waitForTimeout(300);
    await shot(page, 'download-2-list');

    const names = await page.locator('#list tr:nth-child(2) td').allTextContents();
    assert.deepEqual(names.map((n) => n.replace(/\u00a0/g, ' ').trim()),
      ['holiday_at_the_s....jpg', 'Tom & Jerry\'s #1.txt', 'Quarterly report.pdf', 'Tom & Jerry\'s #1.txt']);

    const buttons = page.locator('#list .cbutton');
    assert.equal(await buttons.count(), 4);
    for (let i = 0; i < files.length; i++) {
      const url = await openAndCheck(page, buttons.nth(i), files[i]);
      assert.equal(decodeURIComponent(new URL(url).pathname), `/d/dfiles/${copies[i]}`);
    }

    // The visible button looks at once: right after one of the page's own
    // looks, so the next is a whole period (4 s) away, the list must come
    // within far less.
    await page.waitForRequest((r) => r.url().includes('/filelist-'), { timeout: 6000 });
    const looksBefore = looks.length;
    const more = makeFile(work, 'one more.zip', 10000);
    await publisher.publish(...files, more);
    await page.click('#refresh');
    await page.waitForFunction(() => document.getElementById('count').textContent === '5 files ready',
      null, { timeout: 2000 });
    assert.equal(looks.length, looksBefore + 1, 'one look, the button\'s');

    // Out of reach: the list stays and the page says why it is not updating.
    const cdp = await page.context().newCDPSession(page);
    await cdp.send('Network.enable');
    await cdp.send('Network.emulateNetworkConditions',
      { offline: true, latency: 0, downloadThroughput: 0, uploadThroughput: 0 });
    await page.click('#refresh');
    await page.locator('#alert:not([hidden])').waitFor({ timeout: 5000 });
    assert.match(await page.locator('#alertTitle').textContent(), /reach the PC/);
    assert.equal(await page.locator('#list .cbutton').count(), 5);
    await shot(page, 'download-4-unreachable');
    await cdp.send('Network.emulateNetworkConditions',
      { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: -1 });
    await page.click('#refresh');
    await page.locator('#alert').waitFor({ state: 'hidden', timeout: 5000 });
  });

  test('Download all gives every published file in one ZIP, and needs the page', async () => {
    const files = [
      makeFile(work, 'IMG_0101.JPG', 1 * MiB + 5),
      makeFile(work, 'Überweisung März.pdf', 30000),
      makeFile(work, 'a & b #2.txt', 100),
    ];
    const copies = await publisher.publish(...files);
    const page = await phone.newPage();
    await page.goto(`${engine.base}/d/${KEY}.html`);
    await page.locator('#all:not([hidden])').waitFor({ timeout: 10000 });
    assert.match(await page.locator('#all').textContent(), /^Download all3 files \u00b7 1\.\d\d MB$/);
    await shot(page, 'download-5-all');
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#all')]);
    assert.match(download.suggestedFilename(), /^Files from the PC \d{4}-\d\d-\d\d\.zip$/);
    sameZip(await download.path(), Object.fromEntries(copies.map((c, i) => [c, files[i]])));
    // Without the page's proof there is no archive.
    assert.equal((await fetch(`${engine.base}/d/all.zip`)).status, 404);
    await page.close();
  });

  test('a page of an earlier run says it has expired', async () => {
    fs.copyFileSync(path.join(work, 'wdoc', 'd', `${KEY}.html`),
      path.join(work, 'wdoc', 'd', `${OLD_KEY}.html`));
    const page = await phone.newPage();
    await page.goto(`${engine.base}/d/${OLD_KEY}.html`);
    await page.locator('#gone:not([hidden])').waitFor({ timeout: 10000 });
    assert.match(await page.locator('#goneText').textContent(), /earlier session\. Scan the new QR code/);
    assert.equal(await page.locator('#refresh').isVisible(), false);
    await shot(page, 'download-3-expired');
  });
});

describe('names with & \' # and blanks', () => {
  test('go up and come back down unchanged', async () => {
    const name = 'Tom & Jerry\'s #2 (final) 100%.txt';
    const original = makeFile(work, name, 54321);

    const up = await phone.newPage();
    await up.goto(`${engine.base}/u/${KEY}.html`);
    await up.setInputFiles('#files', [original]);
    await waitForSummary(up, '1 file sent');
    assert.equal(await up.locator('.file .fname').textContent(), name);
    sameBytes(received(name), original);

    await publisher.publish(received(name));
    const down = await phone.newPage();
    await down.goto(`${engine.base}/d/${KEY}.html`);
    await down.waitForFunction(() => document.getElementById('count').textContent === '1 file ready');
    const url = await openAndCheck(down, down.locator('#list .cbutton'), original);
    assert.equal(decodeURIComponent(new URL(url).pathname), `/d/dfiles/${name}`);
  });
});

describe('a name that looks like markup', () => {
  test('shows as text on the download page, runs nothing and opens its file', async () => {
    const name = '<img src=x onerror="window.pwned=1">.png';
    const file = makeFile(work, name, 2048);
    await publisher.publish(file);
    const page = await phone.newPage();
    await page.goto(`${engine.base}/d/${KEY}.html`);
    await page.waitForFunction(() => document.getElementById('count').textContent === '1 file ready');
    assert.equal(await page.locator('#list img').count(), 0);
    assert.equal(await page.evaluate(() => window.pwned), undefined);
    const shown = await page.locator('#list tr:nth-child(2) td').textContent();
    assert.equal(shown.replace(/\u00a0/g, ' ').trim(), '<img src=x onerr....png');
    const url = await openAndCheck(page, page.locator('#list .cbutton'), file);
    assert.equal(decodeURIComponent(new URL(url).pathname), `/d/dfiles/${name}`);
  });
});

describe('neutral pages', () => {
  test('every folder answers with the neutral page', async () => {
    const page = await phone.newPage();
    for (const folder of ['', 'u/', 'd/', 'u/ufiles/']) {
      const response = await page.goto(`${engine.base}/${folder}index.html`);
      assert.equal(response.status(), 200, folder);
      assert.equal(await page.locator('body').innerText(), 'There is nothing to see here.');
    }
  });
});

// Last: the engine goes and comes back under the page's feet.
describe('the program started again while an upload page stays open', () => {
  test('an upload the engine forgot starts again from 0; a new key shows the expired screen', async () => {
    const page = await phone.newPage();
    await page.goto(`${engine.base}/u/${KEY}.html`);
    const cdp = await page.context().newCDPSession(page);
    await cdp.send('Network.enable');
    await cdp.send('Network.emulateNetworkConditions',
      { offline: false, latency: 5, downloadThroughput: -1, uploadThroughput: 4 * MiB });
    const log = recordUploads(page);
    const big = makeFile(work, 'across the restart.mov', 20 * MiB + 7);
    await page.setInputFiles('#files', [big]);
    // Its first chunk is through: the page counts 8 MiB as sent.
    await waitUntil(() => staged().some((size) => size > 9 * MiB), 'part of the file is staged', 30000);

    // The engine ends and starts again with the same key: what it had
    // staged is gone, so it knows nothing of the upload.
    await engine.stop();
    const postsBefore = log.posts.length;
    engine = await Engine.start(process.env.TESSARY_ENGINE, KEY, work, engine.port);
    await cdp.send('Network.emulateNetworkConditions',
      { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: -1 });
    await waitForSummary(page, '1 file sent', 60000);
    sameBytes(received(path.basename(big)), big);
    const id = log.posts[0].id;
    const next = log.posts.slice(postsBefore).find((p) => p.id === id);
    assert.ok(next, 'sent again after the restart');
    const probe = log.probes.slice(0, next.at).reverse().find((p) => p.id === id);
    assert.equal(probe?.status, 404, `the engine did not know the upload: ${JSON.stringify(log.probes)}`);
    assert.equal(next.offset, 0, 'started again from 0');

    // The program starts again: a new key, and this page is not its own.
    await engine.stop();
    engine = await Engine.start(process.env.TESSARY_ENGINE, NEW_KEY, work, engine.port);
    await page.evaluate(RECORD_API_STATUSES);
    const late = makeFile(work, 'chosen after the new start.jpg', 3 * MiB);
    await page.setInputFiles('#files', [late]);
    await page.locator('#gone:not([hidden])').waitFor({ timeout: 15000 });
    const statuses = await page.evaluate(`(function () { ${API_STATUSES}; })()`);
    assert.ok(refusedStaleKey(statuses, KEY), `the engine refused the old key: ${JSON.stringify(statuses)}`);
    assert.match(await page.locator('#goneText').textContent(), /earlier session\. Scan the new QR code/);
    assert.equal(await page.locator('#pick').isHidden(), true);
    assert.match(await page.locator('.file', { hasText: 'chosen after' }).locator('.st').textContent(), /Not sent/);
    assert.equal(fs.existsSync(received(path.basename(late))), false);
    await shot(page, 'upload-8-program-restarted');
  });
});
