// Text pasted on the PC and pictures, on the download page, in the browser
// named by TESSARY_BROWSER (chromium or webkit): a small text shows inline,
// byte for byte, its web addresses as links and no markup of its own, and
// Copy puts it on the clipboard; a larger text shows none; a picture shows its
// preview, loaded lazily; a picture that does not decode shows none.
//
// Environment as for pages.test.mjs.

import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';

import { blocking } from './a11y.mjs';
import { SHOTS, launchPhone, makeFile, startSite, stopSite, webRoot } from './harness.mjs';
import { WebKit } from './webdriver.mjs';

const KEY = 'txtpvw';
const browser = process.env.TESSARY_BROWSER || 'chromium';
const TEXT = 'Meet at 10:30 \u2014 caf\u00e9 \u2615\r\n' +
  'Tickets: https://example.org/t?a=1&b=2, or www.example.com.\n' +
  '<b>not bold</b> <img src=x onerror="window.__ran=1"> &amp;\n\tend';

let work;
let engine;
let publisher;
let phone; // chromium: the browser context; webkit: the WebKit
let page; // chromium's page

before(async () => {
  ({ work, engine, publisher } = await startSite('tessary-textpreview-', KEY));
});
after(() => stopSite(work, phone, publisher, engine));

// The download page in this browser, with what the tests ask of it.
async function openDownloadPage() {
  const url = `${engine.base}/d/${KEY}.html`;
  if (browser === 'webkit') {
    phone = await WebKit.start(path.join(work, 'webkit'));
    const wd = phone.session;
    await wd.navigate(url);
    return {
      js: (expr) => wd.execute(`return ${expr}`),
      jsAsync: (expr) => wd.executeAsync(`var done = arguments[0]; Promise.resolve(${expr}).then(done, function (e) { done('failed: ' + e); });`),
      waitFor: (expr, what) => wd.waitFor(`return ${expr}`, what),
      click: async (css) => wd.click(await wd.find(css)),
      keys: async (css, keys) => wd.sendKeys(await wd.find(css), keys),
      shot: (name) => wd.screenshot(path.join(SHOTS, `webkit-${name}.png`)),
    };
  }
  phone = await launchPhone(path.join(work, 'phone'));
  await phone.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: engine.base });
  page = await phone.newPage();
  await page.goto(url);
  return {
    js: (expr) => page.evaluate(expr),
    jsAsync: (expr) => page.evaluate(expr),
    waitFor: (expr, what) => page.waitForFunction(expr, null, { timeout: 20000 })
      .catch((e) => { throw new Error(`${what}: ${e.message}`); }),
    click: (css) => page.locator(css).first().click(),
    keys: (css, keys) => page.locator(css).first().press(keys),
    shot: (name) => page.screenshot({ path: path.join(SHOTS, `${name}.png`), fullPage: true }),
  };
}

let phonePage;

// axe-core's serious and critical findings on the page as it stands (chromium;
// the accessibility tests of both engines cover the page's other states).
async function noBlockingFindings(state) {
  if (browser !== 'chromium') return;
  const { default: AxeBuilder } = await import('@axe-core/playwright');
  const { violations } = await new AxeBuilder({ page }).analyze();
  assert.deepEqual(blocking(violations), [], state);
}

test(`a pasted text shows inline byte for byte with its links, and Copy copies it (${browser})`, async () => {
  const [name] = await publisher.publishText(TEXT);
  assert.match(name, /^Text \d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d\.txt$/);
  assert.ok(fs.readFileSync(path.join(work, 'wdoc', 'd', 'dfiles', name)).equals(Buffer.from(TEXT, 'utf8')),
    'the published file holds the text\'s UTF-8 bytes');
  phonePage = await openDownloadPage();
  const p = phonePage;
  await p.waitFor('document.querySelector("#list .note") !== null', 'the text shown');
  assert.equal(await p.js('document.querySelector("#list .note").textContent'), TEXT);
  // What the phone fetches is the same bytes.
  const hex = await p.jsAsync(`fetch(${JSON.stringify(`dfiles/${encodeURIComponent(name)}`)})
    .then(function (r) { return r.arrayBuffer(); })
    .then(function (b) { return Array.from(new Uint8Array(b), function (x) { return (x < 16 ? '0' : '') + x.toString(16); }).join(''); })`);
  assert.equal(hex, Buffer.from(TEXT, 'utf8').toString('hex'));
  // Web addresses are links; the text's markup is text.
  assert.deepEqual(await p.js('Array.from(document.querySelectorAll("#list .note a"), function (a) { return [a.textContent, a.href, a.rel]; })'), [
    ['https://example.org/t?a=1&b=2', 'https://example.org/t?a=1&b=2', 'noopener noreferrer'],
    ['www.example.com', 'http://www.example.com/', 'noopener noreferrer'],
  ]);
  assert.equal(await p.js('document.querySelectorAll("#list .note *:not(a)").length'), 0);
  assert.equal(await p.js('window.__ran === undefined'), true);
  assert.equal(await p.js('document.querySelectorAll("#list .cbutton").length'), 1, 'one entry, one Open');
  await p.shot('download-text');
  await noBlockingFindings('a text shown');

  await p.click('#list .copy');
  await p.waitFor('document.querySelector("#list .copy").textContent === "Copied"', 'Copy says it copied');
  if (browser === 'chromium') {
    // Loopback is a secure context: the Clipboard API wrote it.
    assert.equal(await p.jsAsync('navigator.clipboard.readText()'), TEXT);
    // Without the Clipboard API (an http:// page on the Wi-Fi): selected and
    // copied, the line breaks as the selection gives them.
    await p.js('window.__clip = navigator.clipboard, Object.defineProperty(navigator, "clipboard", { value: undefined }), 1');
    await p.js('window.__clip.writeText("before"), 1');
    await p.waitFor('document.querySelector("#list .copy").textContent === "Copy"', 'Copy again');
    await p.click('#list .copy');
    await p.waitFor('document.querySelector("#list .copy").textContent === "Copied"', 'the fallback copied');
    assert.equal((await p.jsAsync('window.__clip.readText()')).replace(/\r\n/g, '\n'), TEXT.replace(/\r\n/g, '\n'));
  } else {
    // WebKit lets no script read the clipboard; the browser's own paste into
    // a text box of the page reads it back.
    await p.js('(function () { var t = document.createElement("textarea"); t.id = "pasteHere"; document.body.appendChild(t); t.focus(); return 1; })()');
    await p.keys('#pasteHere', '\uE009v\uE009');
    await p.waitFor('document.getElementById("pasteHere").value.length > 0', 'the paste');
    assert.equal((await p.js('document.getElementById("pasteHere").value')).replace(/\r\n/g, '\n'),
      TEXT.replace(/\r\n/g, '\n'));
  }
});

test(`a published picture shows its preview, loaded lazily; one that does not decode shows none (${browser})`, async () => {
  const photo = path.join(work, 'src', 'holiday photo.jpg');
  fs.mkdirSync(path.dirname(photo), { recursive: true });
  webRoot('picture', photo, '2000', '1500');
  const broken = makeFile(work, 'broken.jpg', 5000);
  const long = path.join(work, 'src', 'long.txt'); // over 64 KB: Open only
  fs.writeFileSync(long, 'a long line\n'.repeat(6000));
  assert.deepEqual(await publisher.publish(photo, broken, long), ['holiday photo.jpg', 'broken.jpg', 'long.txt']);
  const p = phonePage ?? await openDownloadPage();
  await p.js('document.getElementById("refresh").click(), 1');
  await p.waitFor('document.querySelectorAll("#list .cbutton").length === 3', 'the three entries');
  const previews = await p.js('Array.from(document.querySelectorAll("#list table"), function (t) { var i = t.querySelector("img.preview"); return i && [i.getAttribute("src"), i.loading, i.width, i.height]; })');
  assert.equal(previews[1], null, 'the picture that does not decode has no preview');
  const [src, loading, width, height] = previews[0];
  assert.match(src, /^dfiles\/previews\/[0-9a-f]{16}\.jpg$/);
  assert.equal(loading, 'lazy');
  assert.deepEqual([width, height], [320, 240]);
  await p.js('document.querySelector("#list img.preview").scrollIntoView(), 1');
  await p.waitFor('document.querySelector("#list img.preview").complete && document.querySelector("#list img.preview").naturalWidth === 320', 'the preview loaded');
  // Only for the holder of the page's proof, like the files.
  assert.equal((await fetch(`${engine.base}/d/${src}`)).status, 404);
  assert.equal(await p.js('document.querySelectorAll("#list .note").length'), 0, 'no text over 64 KB shown');
  await p.js('window.scrollTo(0, 0), 1');
  await p.shot('download-preview');
  await noBlockingFindings('a preview shown');
});
