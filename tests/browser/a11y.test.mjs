// The phone's pages for everyone, in Debian's chromium: axe-core finds nothing
// serious in any state in either colour scheme, outcomes are announced and
// progress is not, 200 % text at 320 px is neither cut off nor scrolls
// sideways, and motion stops for those who ask. Screenshots at 200 % go to
// SCREENSHOT_DIR.

import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';

import AxeBuilder from '@axe-core/playwright';

import { LAYOUT_PROBLEMS, blocking, makeWebRoot } from './a11y.mjs';
import { Engine, Publisher, launchPhone, makeFile, stopSite, tempFolder } from './harness.mjs';

const KEY = 'axkeyq';
const OLD_KEY = 'oldaxk';
const MiB = 1024 * 1024;
const shots = process.env.SCREENSHOT_DIR || path.resolve('screenshots');

let work;
let engine;
let phone;
let publisher;

before(async () => {
  work = tempFolder('tessary-a11y-');
  makeWebRoot(work, KEY, OLD_KEY);
  engine = await Engine.start(process.env.TESSARY_ENGINE, KEY, work);
  phone = await launchPhone(path.join(work, 'browser'));
  publisher = new Publisher(process.env.PAGES_WEBROOT, work, KEY);
});

after(() => stopSite(work, phone, publisher, engine));

// axe-core in the light and the dark scheme; the page is left light.
async function passesAxe(page, state) {
  for (const colorScheme of ['light', 'dark']) {
    await page.emulateMedia({ colorScheme });
    const { violations } = await new AxeBuilder({ page }).analyze();
    assert.deepEqual(blocking(violations), [], `${state}, ${colorScheme} scheme`);
  }
  await page.emulateMedia({ colorScheme: 'light' });
}

// What the live region says, every text it was given, from now on.
async function listenToLiveRegion(page) {
  await page.evaluate(() => {
    window.__said = [];
    new MutationObserver(() => __said.push(document.getElementById('say').textContent))
      .observe(document.getElementById('say'), { childList: true, characterData: true, subtree: true });
  });
}

async function slowNetwork(page, uploadThroughput) {
  const cdp = await page.context().newCDPSession(page);
  await cdp.send('Network.enable');
  await cdp.send('Network.emulateNetworkConditions',
    { offline: uploadThroughput === 0, latency: 0, downloadThroughput: -1, uploadThroughput });
  return cdp;
}

// The phone's text at 200 %, both ways a phone gets there, on a 320 px screen:
// the browser's own text size, then the page's root font doubled.
async function largeTextHolds(page, name) {
  await page.setViewportSize({ width: 320, height: 640 });
  const cdp = await page.context().newCDPSession(page);
  await cdp.send('Page.setFontSizes', { fontSizes: { standard: 32, fixed: 26 } });
  assert.equal(await page.evaluate(() => getComputedStyle(document.body).fontSize), '32px');
  assert.deepEqual(await page.evaluate(`(() => {${LAYOUT_PROBLEMS}})()`), [], `${name}, text size 200 %`);
  await cdp.send('Page.setFontSizes', { fontSizes: { standard: 16, fixed: 13 } });
  await page.evaluate(() => { document.documentElement.style.fontSize = '200%'; });
  assert.deepEqual(await page.evaluate(`(() => {${LAYOUT_PROBLEMS}})()`), [], `${name}, root font 200 %`);
  // Taken now: a full-page screenshot sets the browser's text size back.
  fs.mkdirSync(shots, { recursive: true });
  await page.screenshot({ path: path.join(shots, `a11y-${name}-200.png`), fullPage: true });
  await page.evaluate(() => { document.documentElement.style.fontSize = ''; });
  await page.setViewportSize({ width: 390, height: 844 });
}

describe('upload page', () => {
  test('empty, listed, sent: nothing serious, and only the outcome is announced', async () => {
    const page = await phone.newPage();
    await page.goto(`${engine.base}/u/${KEY}.html`);
    await passesAxe(page, 'empty');
    assert.equal(await page.getByLabel('Choose files').count(), 1, 'the file input is named');
    assert.equal(await page.locator('#sum').getAttribute('aria-live'), null, 'progress is not live');

    await listenToLiveRegion(page);
    const cdp = await slowNetwork(page, 2 * MiB);
    await page.setInputFiles('#files', [makeFile(work, 'IMG_7001.JPG', 3 * MiB), makeFile(work, 'notes.pdf', 5000)]);
    await page.locator('.file.sending').first().waitFor();
    await page.waitForFunction(() => /^[1-9]\d?%$/.test(document.getElementById('sumPct').textContent));
    await passesAxe(page, 'listed while sending');
    assert.deepEqual(await page.locator('.file .x').evaluateAll((xs) => xs.map((x) => x.getAttribute('aria-label'))),
      ['Cancel IMG_7001.JPG', 'Cancel notes.pdf']);
    await cdp.send('Network.emulateNetworkConditions',
      { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: -1 });
    await page.waitForFunction(() => document.getElementById('sumTitle').textContent === '2 files sent');
    await passesAxe(page, 'sent');
    assert.deepEqual(await page.evaluate(() => __said), ['2 files sent']);
    await largeTextHolds(page, 'upload-sent');
  });

  test('failed: the refusal is announced as an alert, the outcome as a status', async () => {
    // Far more than the disk holds: refused before a byte is stored.
    const huge = path.join(work, 'src', 'huge backup.img');
    fs.mkdirSync(path.dirname(huge), { recursive: true });
    fs.closeSync(fs.openSync(huge, 'w'));
    fs.truncateSync(huge, 15 * 1024 ** 4);
    const page = await phone.newPage();
    await page.goto(`${engine.base}/u/${KEY}.html`);
    await listenToLiveRegion(page);
    await page.setInputFiles('#files', [huge, makeFile(work, 'fits.txt', 100)]);
    await page.waitForFunction(() => document.getElementById('sumTitle').textContent === '1 file sent \u00b7 1 not sent');
    assert.equal(await page.locator('#alert').getAttribute('role'), 'alert');
    assert.equal(await page.locator('#alert').isVisible(), true);
    await passesAxe(page, 'failed');
    assert.deepEqual(await page.evaluate(() => __said), ['1 file sent \u00b7 1 not sent']);
    await largeTextHolds(page, 'upload-failed');
    fs.rmSync(huge);
  });

  test('expired: announced, and nothing serious', async () => {
    const page = await phone.newPage();
    await page.goto(`${engine.base}/u/${OLD_KEY}.html`);
    await page.locator('#gone:not([hidden])').waitFor();
    assert.match(await page.locator('#say').textContent(), /^This page has expired\. .*earlier session/);
    await passesAxe(page, 'expired');
    await largeTextHolds(page, 'upload-expired');
  });
});

describe('download page', () => {
  test('empty, listed, unreachable and expired: nothing serious; the count is announced', async () => {
    const page = await phone.newPage();
    await page.goto(`${engine.base}/d/${KEY}.html`);
    await page.locator('#empty:not([hidden])').waitFor();
    await passesAxe(page, 'empty');

    await publisher.publish(makeFile(work, 'holiday_at_the_seaside_2019.jpg', 3000),
      makeFile(work, 'Quarterly report.pdf', 2000));
    await page.click('#refresh');
    await page.waitForFunction(() => document.getElementById('count').textContent === '2 files ready');
    assert.equal(await page.locator('#say').textContent(), '2 files ready');
    assert.equal(await page.locator('#list').getAttribute('aria-live'), null, 'the list is not read again');
    assert.deepEqual(await page.locator('#list .cbutton').evaluateAll((bs) => bs.map((b) => b.getAttribute('aria-label'))),
      ['Open holiday_at_the_s....jpg', 'Open Quarterly report.pdf']);
    await passesAxe(page, 'listed');
    await largeTextHolds(page, 'download-listed');

    const cdp = await slowNetwork(page, 0);
    await page.click('#refresh');
    await page.locator('#alert:not([hidden])').waitFor();
    await passesAxe(page, 'unreachable');
    await cdp.send('Network.emulateNetworkConditions',
      { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: -1 });

    const old = await phone.newPage();
    await old.goto(`${engine.base}/d/${OLD_KEY}.html`);
    await old.locator('#gone:not([hidden])').waitFor();
    assert.match(await old.locator('#say').textContent(), /^This page has expired\./);
    await passesAxe(old, 'expired');
  });

  test('motion stops for those who ask for less', async () => {
    const page = await phone.newPage();
    await page.goto(`${engine.base}/d/${KEY}.html`);
    const spinning = () => page.evaluate(() => {
      document.getElementById('refresh').classList.add('busy');
      return getComputedStyle(document.querySelector('#refresh svg')).animationName;
    });
    assert.equal(await spinning(), 'spin');
    await page.emulateMedia({ reducedMotion: 'reduce' });
    assert.equal(await spinning(), 'none');
    const up = await phone.newPage();
    await up.emulateMedia({ reducedMotion: 'reduce' });
    await up.goto(`${engine.base}/u/${KEY}.html`);
    assert.equal(await up.evaluate(() => getComputedStyle(document.getElementById('pick')).transitionDuration), '0s');
  });
});
