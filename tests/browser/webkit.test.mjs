// The phone's pages in WebKit (WebKitGTK's MiniBrowser through WebKitWebDriver
// under Xvfb), the engine of the iPhone's Safari, against the real engine on
// a loopback port serving a web root made by GeneratePages.
//
// The driver streams no console messages, so a script put first in each page
// collects script errors and unhandled rejections; every test checks that
// none were recorded. The window is no narrower than about 447 px, so the
// narrow widths of phones are seen through a same-origin iframe.

import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';

import {
  API_STATUSES, Engine, MiB, NEW_KEY, OLD_KEY, Publisher, RECORD_API_STATUSES, SHOTS as shots, makeFile,
  receivedFile, refusedStaleKey, sameBytes, sameZip, startSite, stopSite, tempFolder,
} from './harness.mjs';
import { WebKit } from './webdriver.mjs';

const KEY = 'wkqzrt';

let work;
let engine;
let publisher;
let webkit;
let wd;
let published = {}; // what the download page's first test publishes: copy name -> source

// Collects what the page's scripts throw, from the page's first line.
const TRAP = '<script>window.__errors=[];' +
  'addEventListener("error",function(e){__errors.push(String(e.message)+" "+e.filename+":"+e.lineno)});' +
  'addEventListener("unhandledrejection",function(e){__errors.push("unhandled rejection: "+String(e.reason))});' +
  '</script>';

function trapErrors(file) {
  const page = fs.readFileSync(file, 'utf8');
  assert.ok(page.includes('<head>'), `${file} has a head`);
  fs.writeFileSync(file, page.replace('<head>', `<head>\n${TRAP}`));
}
function received(name) {
  return receivedFile(work, name);
}
function shot(name, element) {
  return wd.screenshot(path.join(shots, `webkit-${name}.png`), element);
}

// A test in WebKit. run.mjs skips them all, saying why, where a program they
// need is missing; with every program there, a WebKit that does not start
// fails them, with what went wrong.
function wkTest(name, fn) {
  test(name, fn);
}

async function open(url) {
  await wd.navigate(url);
  await wd.waitFor('return document.readyState === "complete" && Array.isArray(window.__errors)',
    `${url} loaded`);
}
async function noScriptErrors(where) {
  const errors = await wd.execute('return window.__errors');
  assert.deepEqual(errors, [], `script errors on ${where}`);
}
function summaryIs(text, timeout = 30000) {
  return wd.waitFor('return document.getElementById("sumTitle").textContent === arguments[0]',
    `"${text}"`, timeout, text);
}
// Records every text the summary shows and every POST the page opens.
function watchThePage() {
  return wd.execute(`
    window.__seen = [];
    var sum = document.getElementById('sum');
    new MutationObserver(function () {
      __seen.push([document.getElementById('sumTitle').textContent, document.getElementById('sumPct').textContent]);
    }).observe(sum, { subtree: true, childList: true, characterData: true });
    window.__posts = [];
    var open = XMLHttpRequest.prototype.open;
    XMLHttpRequest.prototype.open = function (method, url) {
      if (method === 'POST') __posts.push(String(url));
      return open.apply(this, arguments);
    };`);
}
async function chooseFiles(files) {
  await wd.sendKeys(await wd.find('#files'), files.join('\n'));
}
function arrivedTexts() {
  return fs.readdirSync(path.join(work, 'wdoc', 'u', 'ufiles')).filter((n) => n.startsWith('Text '));
}

before(async () => {
  ({ work, engine, publisher } = await startSite('tessary-webkit-', KEY,
    { oldKey: OLD_KEY, keepOpen: ['u', 'd'], prepare: trapErrors }));
  try {
    webkit = await WebKit.start(path.join(work, 'webkit'));
  } catch (e) {
    throw new Error(`WebKit did not start although its programs are installed: ${e.message}`);
  }
  wd = webkit.session;
  console.log(`WebKitGTK ${webkit.version}`);
});

after(() => stopSite(work, webkit, publisher, engine));

describe('upload page in WebKit', () => {
  wkTest('loads without a script error and shows the chooser', async () => {
    await open(`${engine.base}/u/${KEY}.html`);
    assert.equal(await wd.execute('return document.documentElement.className'), 'js');
    assert.equal(await wd.execute('return document.getElementById("alert").hidden'), true);
    assert.equal(await wd.execute('return document.getElementById("pick").hidden'), false);
    await shot('upload-1-start');
    await noScriptErrors('the upload page');
  });

  wkTest('sends three files through the file input, byte for byte', async () => {
    await open(`${engine.base}/u/${KEY}.html`);
    const files = [
      makeFile(work, 'IMG_0001.JPG', 3 * MiB + 17),
      makeFile(work, 'voice memo.m4a', 100 * 1024),
      makeFile(work, 'Tom & Jerry\'s #1.txt', 4000),
    ];
    await chooseFiles(files);
    await summaryIs('3 files sent');
    await shot('upload-3-done');
    for (const file of files) sameBytes(received(path.basename(file)), file);
    assert.equal(await wd.execute('return document.querySelectorAll(".file.done").length'), 3);
    assert.deepEqual(await wd.execute('return [].map.call(document.querySelectorAll(".file .fname"), function (e) { return e.textContent; })'),
      files.map((f) => path.basename(f)));
    await noScriptErrors('the upload page');
  });

  wkTest('sends 40 MB in chunks, showing its progress', async () => {
    await open(`${engine.base}/u/${KEY}.html`);
    await watchThePage();
    const big = makeFile(work, 'long video.mov', 40 * MiB + 123);
    await chooseFiles([big]);
    await wd.waitFor('return /^Sending/.test(document.getElementById("sumTitle").textContent)', 'sending');
    await shot('upload-2-progress');
    await summaryIs('1 file sent', 120000);
    sameBytes(received('long video.mov'), big);
    const offsets = (await wd.execute('return __posts')).map((u) => Number(new URL(u).searchParams.get('offset')));
    assert.deepEqual(offsets, [0, 8, 16, 24, 32, 40].map((m) => m * MiB), 'one request per 8 MiB chunk');
    const seen = await wd.execute('return __seen');
    const between = seen.filter(([title, pct]) => title === 'Sending 1 file' && /^\d+%$/.test(pct) &&
      parseInt(pct, 10) > 0 && parseInt(pct, 10) < 100);
    assert.ok(between.length > 0, `progress shown between 0 and 100 %: ${JSON.stringify(seen)}`);
    await noScriptErrors('the upload page');
  });

  wkTest('sends a piece of text as a UTF-8 text file named from the phone\'s clock', async () => {
    await open(`${engine.base}/u/${KEY}.html`);
    const before = arrivedTexts();
    await wd.click(await wd.find('#textOpen'));
    assert.equal(await wd.execute('return document.getElementById("note").hidden'), false);
    assert.equal(await wd.execute('return document.getElementById("noteSend").disabled'), true);
    const text = 'Meet at Café Zürich, 3rd floor — ring twice\nhttps://example.org/a?b=1&c=%20d#top';
    // Typed as a person types it: the line break is the Return key.
    await wd.sendKeys(await wd.find('#noteText'), text.replace(/\n/g, '\uE007'));
    await shot('upload-9-text');
    const sentAt = new Date();
    await wd.click(await wd.find('#noteSend'));
    await summaryIs('1 file sent');
    const added = arrivedTexts().filter((n) => !before.includes(n));
    assert.equal(added.length, 1, `one text file arrived: ${added}`);
    const match = /^Text (\d{4})-(\d\d)-(\d\d) (\d\d)\.(\d\d)\.(\d\d)\.txt$/.exec(added[0]);
    assert.ok(match, `the name ${added[0]}`);
    const named = new Date(match[1], match[2] - 1, match[3], match[4], match[5], match[6]);
    assert.ok(Math.abs(named - sentAt) < 5000, `${added[0]} names the time it was sent (${sentAt})`);
    assert.equal(fs.readFileSync(received(added[0])).toString('hex'), Buffer.from(text, 'utf8').toString('hex'),
      'the text, byte for byte');
    assert.equal(await wd.execute('return document.querySelector(".file .fname").textContent'), added[0]);
    assert.equal(await wd.execute('return document.getElementById("noteText").value'), '');
    await noScriptErrors('the upload page');
  });

  wkTest('files keep their dates; picked again after the page went, only what the PC lacks is sent', async () => {
    await open(`${engine.base}/u/${KEY}.html`);
    await watchThePage();
    const dated = [
      makeFile(work, 'wk dated one.jpg', 200 * 1024),
      makeFile(work, 'wk dated two.jpg', 300 * 1024),
      makeFile(work, 'wk dated three.mov', 9 * MiB), // resumable
    ];
    const times = [Date.UTC(2019, 7, 3, 14, 5, 8), Date.UTC(2021, 0, 1, 0, 0, 1), Date.UTC(2023, 5, 30, 23, 59, 59)];
    dated.forEach((f, i) => fs.utimesSync(f, times[i] / 1000, times[i] / 1000));
    const ahead = makeFile(work, 'wk clock ahead.jpg', 1000);
    fs.utimesSync(ahead, Date.now() / 1000, Date.now() / 1000 + 3 * 86400);
    const before = Date.now();
    await chooseFiles([...dated, ahead]);
    await summaryIs('4 files sent');
    dated.forEach((f, i) => assert.equal(Math.floor(fs.statSync(received(path.basename(f))).mtimeMs / 1000),
      times[i] / 1000, path.basename(f)));
    const arrived = fs.statSync(received('wk clock ahead.jpg')).mtimeMs;
    assert.ok(arrived >= before - 2000 && arrived <= Date.now() + 2000, `arrival time kept: ${arrived}`);

    // A big one, left half-way when the page goes.
    const big = path.join(work, 'src', 'wk big.img');
    fs.closeSync(fs.openSync(big, 'w'));
    fs.truncateSync(big, 1536 * MiB); // big enough to be still on its way on a fast loopback
    await chooseFiles([big]);
    // The line shows with the page's next look at its progress.
    await wd.waitFor('return !document.getElementById("keepOpen").hidden', 'the keep-open line', 10000);
    await wd.waitFor('return __posts.filter(function (u) { return u.indexOf("wk%20big") > 0; }).length >= 2',
      'the second chunk of the big file', 60000);
    const id = new URL((await wd.execute('return __posts')).find((u) => u.includes('wk%20big'))).searchParams.get('id');
    await wd.navigate('about:blank');
    await new Promise((r) => setTimeout(r, 300));
    const held = await (await fetch(`${engine.base}/api/upload?key=${KEY}&id=${id}`)).json();
    assert.ok(held.offset >= 8 * MiB && held.offset < 1536 * MiB, `part held: ${held.offset}`);

    await open(`${engine.base}/u/${KEY}.html`);
    await watchThePage();
    const fresh = [makeFile(work, 'wk new one.txt', 5000), makeFile(work, 'wk new two.txt', 6000)];
    await chooseFiles([...dated, big, ...fresh]);
    await summaryIs('3 files sent \u00b7 3 already sent', 300000);
    await shot('upload-11-already-sent');
    const posts = (await wd.execute('return __posts')).map((u) => new URL(u));
    const first = posts.find((u) => u.searchParams.get('id') === id);
    assert.equal(Number(first.searchParams.get('offset')), held.offset, 'went on from the PC\'s offset');
    assert.ok(!posts.some((u) => /wk%20dated/.test(u.search)), 'the dated files were not sent again');
    for (const f of [...dated, big, ...fresh]) sameBytes(received(path.basename(f)), f);
    assert.deepEqual(fs.readdirSync(path.join(work, 'wdoc', 'u', 'ufiles')).filter((n) => /^wk .*\(\d+\)/.test(n)), []);
    await noScriptErrors('the upload page');
  });

  wkTest('a page of an earlier run says it has expired', async () => {
    await open(`${engine.base}/u/${OLD_KEY}.html`);
    await wd.waitFor('return !document.getElementById("gone").hidden', 'the expired screen');
    assert.match(await wd.execute('return document.getElementById("goneText").textContent'),
      /earlier session\. Scan the new QR code/);
    assert.equal(await wd.execute('return document.getElementById("pick").hidden'), true);
    await shot('upload-5-expired');
    await noScriptErrors('the expired upload page');
  });
});

// Taps the nth Open button and reads, from inside the window it opened, the
// bytes that window shows: the request carries what the page's own requests
// carry. Returns the address the window opened.
async function openAndCheck(n, expected) {
  const main = await wd.windowHandle();
  const before = await wd.windowHandles();
  const buttons = await wd.findAll('#list .cbutton');
  await wd.click(buttons[n]);
  let popup;
  for (const deadline = Date.now() + 15000; !popup; await new Promise((r) => setTimeout(r, 50))) {
    popup = (await wd.windowHandles()).find((h) => !before.includes(h));
    if (!popup && Date.now() > deadline) throw new Error(`Open of button ${n} opened no window`);
  }
  await wd.switchToWindow(popup);
  try {
    await wd.waitFor('return location.pathname.indexOf("/dfiles/") > 0 && document.readyState === "complete"',
      'the opened file');
    const url = await wd.url();
    const base64 = await wd.executeAsync(`
      var done = arguments[arguments.length - 1];
      fetch(location.href).then(function (r) {
        if (!r.ok) throw new Error('status ' + r.status);
        return r.arrayBuffer();
      }).then(function (b) {
        var bytes = new Uint8Array(b), s = '';
        for (var i = 0; i < bytes.length; i += 8192) s += String.fromCharCode.apply(null, bytes.subarray(i, i + 8192));
        done(btoa(s));
      }, function (e) { done('failed: ' + e.message); });`);
    assert.ok(!base64.startsWith('failed'), `the opened window read its file: ${base64}`);
    assert.ok(Buffer.from(base64, 'base64').equals(fs.readFileSync(expected)),
      `Open gave the bytes of ${path.basename(expected)}`);
    return url;
  } finally {
    await wd.closeWindow();
    await wd.switchToWindow(main);
  }
}
function countIs(text, timeout = 10000) {
  return wd.waitFor('return document.getElementById("count").textContent === arguments[0]', `"${text}"`,
    timeout, text);
}

describe('download page in WebKit', () => {
  wkTest('lists what the PC publishes by itself, and every Open gives its file', async () => {
    await open(`${engine.base}/d/${KEY}.html`);
    await wd.waitFor('return !document.getElementById("empty").hidden', 'no files yet');
    assert.match(await wd.execute('return document.getElementById("empty").textContent'), /No files yet/);
    await shot('download-1-empty');

    const files = [
      makeFile(work, 'holiday_at_the_seaside_2019.jpg', 2 * MiB + 3),
      makeFile(work, 'Tom & Jerry\'s #1.txt', 4000),
      makeFile(work, 'notes.txt', 1500),
      // The same name from another folder: its copy gets a "(1)".
      makeFile(path.join(work, 'other'), 'notes.txt', 2500),
    ];
    const copies = await publisher.publish(...files);
    assert.deepEqual(copies, ['holiday_at_the_seaside_2019.jpg', 'Tom & Jerry\'s #1.txt', 'notes.txt', 'notes(1).txt']);
    published = Object.fromEntries(copies.map((c, i) => [c, files[i]]));
    // The page looks again on its own every few seconds.
    await countIs('4 files ready', 15000);
    await shot('download-2-list');
    for (let i = 0; i < files.length; i++) {
      const url = await openAndCheck(i, files[i]);
      assert.equal(decodeURIComponent(new URL(url).pathname), `/d/dfiles/${copies[i]}`);
    }
    await noScriptErrors('the download page');
  });

  wkTest('Download all offers every published file as one ZIP', async () => {
    await open(`${engine.base}/d/${KEY}.html`);
    await wd.waitFor('return !document.getElementById("all").hidden', 'Download all', 15000);
    assert.match(await wd.execute('return document.getElementById("all").textContent'), /^Download all4 files \u00b7 2\.\d\d MB$/);
    await shot('download-5-all');
    // What its link gives, read with the page's own cookie.
    const base64 = await wd.executeAsync(`
      var done = arguments[arguments.length - 1];
      fetch(document.getElementById('all').href).then(function (r) { return r.arrayBuffer(); }).then(function (b) {
        var bytes = new Uint8Array(b), s = '';
        for (var i = 0; i < bytes.length; i += 8192) s += String.fromCharCode.apply(null, bytes.subarray(i, i + 8192));
        done(btoa(s));
      }, function (e) { done('failed: ' + e.message); });`);
    assert.ok(!base64.startsWith('failed'), base64);
    const archive = path.join(work, 'webkit-all.zip');
    fs.writeFileSync(archive, Buffer.from(base64, 'base64'));
    sameZip(archive, published);
    await noScriptErrors('the download page');
  });

  wkTest('opens files from a second window, after a reload, and only from a loaded page', async () => {
    const first = await wd.windowHandle();
    const second = await wd.newWindow();
    await wd.switchToWindow(second);
    try {
      await open(`${engine.base}/d/${KEY}.html`);
      await countIs('4 files ready');
      await openAndCheck(1, path.join(work, 'src', 'Tom & Jerry\'s #1.txt'));
      await wd.refresh();
      await wd.waitFor('return document.readyState === "complete" && Array.isArray(window.__errors)', 'reloaded');
      await countIs('4 files ready');
      await openAndCheck(3, path.join(work, 'other', 'src', 'notes.txt'));
      // What the browser got with the page is what opens the files: without
      // it a file's address is refused, and loading the page again mends it.
      await wd.command('DELETE', '/cookie');
      // WebKit's network process drops the cookie a moment after the
      // command returns, so the first request may still carry it.
      let status;
      for (let attempt = 0; attempt < 20 && status !== 404; ++attempt) {
        if (attempt > 0) await new Promise((resolve) => setTimeout(resolve, 150));
        status = await wd.executeAsync(`var done = arguments[arguments.length - 1];
          fetch(arguments[0], { cache: 'no-store' }).then(function (r) { done(r.status); },
            function (e) { done(String(e)); });`, `${engine.base}/d/dfiles/notes(1).txt`);
      }
      assert.equal(status, 404, 'a file without the page');
      await wd.refresh();
      await wd.waitFor('return document.readyState === "complete" && Array.isArray(window.__errors)', 'reloaded');
      await countIs('4 files ready');
      await openAndCheck(3, path.join(work, 'other', 'src', 'notes.txt'));
      await noScriptErrors('the download page in a second window');
    } finally {
      await wd.closeWindow();
      await wd.switchToWindow(first);
    }
  });

  wkTest('a page of an earlier run says it has expired', async () => {
    await open(`${engine.base}/d/${OLD_KEY}.html`);
    await wd.waitFor('return !document.getElementById("gone").hidden', 'the expired screen');
    assert.match(await wd.execute('return document.getElementById("goneText").textContent'),
      /earlier session\. Scan the new QR code/);
    assert.equal(await wd.execute('return document.getElementById("refresh").offsetParent'), null);
    await shot('download-3-expired');
    await noScriptErrors('the expired download page');
  });
});

describe('narrow phones in WebKit', () => {
  // The page in a same-origin iframe as wide as the phone.
  async function phoneFrame(url, width) {
    return wd.openInFrame(`${engine.base}/index.html`, url, width, 'Array.isArray(w.__errors)');
  }
  async function sideways() {
    return wd.execute(`var w = document.getElementById('phone').contentWindow, d = w.document.documentElement;
      return { scroll: d.scrollWidth, client: d.clientWidth, inner: w.innerWidth, errors: w.__errors };`);
  }

  wkTest('both pages fit the window at its narrowest', async () => {
    await wd.setWindowRect({ width: 320, height: 800 });
    try {
      for (const url of [`/u/${KEY}.html`, `/d/${KEY}.html`]) {
        await open(`${engine.base}${url}`);
        const m = await wd.execute(`var d = document.documentElement;
          return { scroll: d.scrollWidth, client: d.clientWidth, inner: innerWidth };`);
        assert.ok(m.inner < 500, `a narrow window: ${JSON.stringify(m)}`);
        assert.ok(m.scroll <= m.client, `no sideways scrolling in ${url}: ${JSON.stringify(m)}`);
        await noScriptErrors(url);
      }
      await shot('download-7-narrowest-window');
    } finally {
      await wd.setWindowRect({ width: 1024, height: 800 });
    }
  });

  for (const width of [320, 390]) {
    wkTest(`the upload page with files and the text box fits ${width} px`, async () => {
      const frame = await phoneFrame(`/u/${KEY}.html`, width);
      await wd.switchToFrame(frame);
      await chooseFiles([makeFile(work, `a_very_long_file_name_without_any_break_from_the_phone_${width}.jpeg`, 5000)]);
      await summaryIs('1 file sent');
      await wd.click(await wd.find('#textOpen'));
      await wd.switchToFrame(null);
      const m = await sideways();
      assert.equal(m.inner, width);
      assert.ok(m.scroll <= m.client, `no sideways scrolling at ${width} px: ${JSON.stringify(m)}`);
      assert.deepEqual(m.errors, []);
      await shot(`upload-8-${width}px`, frame);
    });

    wkTest(`the download page with its list fits ${width} px`, async () => {
      const frame = await phoneFrame(`/d/${KEY}.html`, width);
      await wd.switchToFrame(frame);
      await countIs('4 files ready');
      await wd.switchToFrame(null);
      const m = await sideways();
      assert.equal(m.inner, width);
      assert.ok(m.scroll <= m.client, `no sideways scrolling at ${width} px: ${JSON.stringify(m)}`);
      assert.deepEqual(m.errors, []);
      await shot(`download-6-${width}px`, frame);
    });
  }
});

describe('the program started again while the pages stay open, in WebKit', () => {
  wkTest('both pages show that they expired', async () => {
    await open(`${engine.base}/u/${KEY}.html`);
    await wd.execute(RECORD_API_STATUSES);
    const up = await wd.windowHandle();
    const down = await wd.newWindow();
    await wd.switchToWindow(down);
    await open(`${engine.base}/d/${KEY}.html`);
    await wd.execute(RECORD_API_STATUSES);
    await countIs('4 files ready');

    // The program ends (its publication goes) and starts again: same port,
    // a new key, and these pages are not its own any more.
    await publisher.publish();
    await engine.stop();
    engine = await Engine.start(process.env.TESSARY_ENGINE, NEW_KEY, work, engine.port);

    await wd.waitFor('return !document.getElementById("gone").hidden', 'the download page expired', 15000);
    assert.match(await wd.execute('return document.getElementById("goneText").textContent'), /earlier session/);
    assert.equal(await wd.execute('return document.querySelectorAll("#list .cbutton").length'), 0);
    const downStatuses = await wd.execute(API_STATUSES);
    assert.ok(refusedStaleKey(downStatuses, KEY), `the engine refused the old key: ${JSON.stringify(downStatuses)}`);
    await shot('download-5-program-restarted');
    await noScriptErrors('the download page');
    await wd.closeWindow();

    await wd.switchToWindow(up);
    const late = makeFile(work, 'sent after the restart.txt', 3000);
    await chooseFiles([late]);
    await wd.waitFor('return !document.getElementById("gone").hidden', 'the upload page expired');
    assert.match(await wd.execute('return document.getElementById("goneText").textContent'), /earlier session/);
    assert.match(await wd.execute('return document.querySelector(".file .st").textContent'), /Not sent/);
    const upStatuses = await wd.execute(API_STATUSES);
    assert.ok(refusedStaleKey(upStatuses, KEY), `the engine refused the old key: ${JSON.stringify(upStatuses)}`);
    assert.equal(fs.existsSync(received(path.basename(late))), false);
    await shot('upload-10-program-restarted');
    await noScriptErrors('the upload page');
  });
});
