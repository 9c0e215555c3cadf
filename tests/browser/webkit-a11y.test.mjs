// The phone's pages for everyone, in WebKit (the engine of the iPhone's
// Safari): axe-core, injected into the page, finds nothing serious in the
// empty, listed, sent, failed and expired states; with the root font doubled
// at 320 px nothing is cut off or scrolls sideways. The window is no narrower
// than about 447 px, so 320 px is seen through a same-origin iframe.

import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import path from 'node:path';

import { LAYOUT_PROBLEMS, axeSource, blocking, makeWebRoot } from './a11y.mjs';
import { Engine, Publisher, makeFile, stopSite, tempFolder } from './harness.mjs';
import { WebKit } from './webdriver.mjs';

const KEY = 'wkaxeq';
const OLD_KEY = 'oldwka';
const shots = process.env.SCREENSHOT_DIR || path.resolve('screenshots');

let work;
let engine;
let publisher;
let webkit;
let wd;

before(async () => {
  work = tempFolder('tessary-webkit-a11y-');
  makeWebRoot(work, KEY, OLD_KEY);
  engine = await Engine.start(process.env.TESSARY_ENGINE, KEY, work);
  publisher = new Publisher(process.env.PAGES_WEBROOT, work, KEY);
  try {
    webkit = await WebKit.start(path.join(work, 'webkit'));
  } catch (e) {
    throw new Error(`WebKit did not start although its programs are installed: ${e.message}`);
  }
  wd = webkit.session;
});

after(() => stopSite(work, webkit, publisher, engine));

// run.mjs skips every test, saying why, where a program they need is missing;
// with every program there, a WebKit that does not start fails them.
function wkTest(name, fn) {
  test(name, fn);
}

// The page in a same-origin iframe 320 px wide, the driver inside it.
async function phoneFrame(url) {
  await wd.switchToFrame(null);
  const frame = await wd.openInFrame(`${engine.base}/index.html`, url, 320,
    'w.document.body.children.length > 0');
  await wd.switchToFrame(frame);
  return frame;
}

async function passesAxe(state) {
  if (!(await wd.execute('return !!window.axe'))) await wd.execute(`${axeSource}\nreturn true;`);
  const violations = await wd.executeAsync(`var done = arguments[arguments.length - 1];
    axe.run(document).then(function (r) { done(r.violations.map(function (v) {
      return { id: v.id, impact: v.impact, nodes: v.nodes.map(function (n) { return { target: n.target }; }) };
    })); }, function (e) { done([{ id: 'axe failed: ' + e, impact: 'critical', nodes: [] }]); });`);
  assert.deepEqual(blocking(violations), [], state);
}

// The root font doubled: nothing cut off, nothing sideways; then as it was.
async function largeTextHolds(frame, name) {
  await wd.execute('document.documentElement.style.fontSize = "200%"');
  assert.deepEqual(await wd.execute(LAYOUT_PROBLEMS), [], `${name}, root font 200 %`);
  await wd.switchToFrame(null);
  await wd.screenshot(path.join(shots, `webkit-a11y-${name}-200.png`), frame);
  await wd.switchToFrame(frame);
  await wd.execute('document.documentElement.style.fontSize = ""');
}

function summaryIs(text) {
  return wd.waitFor('return document.getElementById("sumTitle").textContent === arguments[0]',
    `"${text}"`, 30000, text);
}

describe('upload page in WebKit', () => {
  wkTest('empty, sent and failed: nothing serious; 200 % text fits 320 px', async () => {
    const frame = await phoneFrame(`/u/${KEY}.html`);
    await passesAxe('empty');
    await largeTextHolds(frame, 'upload-empty');

    await wd.sendKeys(await wd.find('#files'), [makeFile(work, 'IMG_8001.JPG', 40000),
      makeFile(work, 'a_long_file_name_from_the_phone_without_a_single_break.pdf', 3000)].join('\n'));
    await summaryIs('2 files sent');
    assert.equal(await wd.execute('return document.getElementById("say").textContent'), '2 files sent');
    await passesAxe('sent');
    await largeTextHolds(frame, 'upload-sent');

    // A name the engine refuses: listed as not sent.
    await wd.execute(`var data = new DataTransfer();
      data.items.add(new File(['refused\\n'], '..'));
      data.items.add(new File(['kept\\n'], 'kept.txt'));
      var e = new Event('drop', { bubbles: true, cancelable: true });
      Object.defineProperty(e, 'dataTransfer', { value: data });
      document.getElementById('pick').dispatchEvent(e);`);
    await summaryIs('3 files sent \u00b7 1 not sent');
    await passesAxe('failed');
    await largeTextHolds(frame, 'upload-failed');
  });

  wkTest('expired: announced, and nothing serious', async () => {
    const frame = await phoneFrame(`/u/${OLD_KEY}.html`);
    await wd.waitFor('return !document.getElementById("gone").hidden', 'the expired screen');
    assert.match(await wd.execute('return document.getElementById("say").textContent'), /^This page has expired\./);
    await passesAxe('expired');
    await largeTextHolds(frame, 'upload-expired');
  });
});

describe('download page in WebKit', () => {
  wkTest('empty, listed and expired: nothing serious; 200 % text fits 320 px', async () => {
    let frame = await phoneFrame(`/d/${KEY}.html`);
    await wd.waitFor('return !document.getElementById("empty").hidden', 'no files yet');
    await passesAxe('empty');

    await publisher.publish(makeFile(work, 'holiday_at_the_seaside_2019.jpg', 3000),
      makeFile(work, 'Quarterly report.pdf', 2000));
    await wd.click(await wd.find('#refresh'));
    await wd.waitFor('return document.getElementById("count").textContent === "2 files ready"', 'the list');
    assert.equal(await wd.execute('return document.getElementById("say").textContent'), '2 files ready');
    await passesAxe('listed');
    await largeTextHolds(frame, 'download-listed');

    frame = await phoneFrame(`/d/${OLD_KEY}.html`);
    await wd.waitFor('return !document.getElementById("gone").hidden', 'the expired screen');
    await passesAxe('expired');
    await largeTextHolds(frame, 'download-expired');
  });
});
