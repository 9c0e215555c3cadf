// The pages as a phone meets them, over the emulated Wi-Fi link that wifi.sh
// sets up (run inside its phone namespace, against the delay proxy at BASE):
// the upload page in chromium against curl sending the same files through the
// same link, for many photos and for one big file, and the download of the
// big file in chromium against curl's. Prints the rates and ratios; exits 1
// when one ratio falls below TARGET.
//
// Environment: BASE, WORK (the web root's folder, laid out for KEY), KEY,
// LINK (the link's name, for the output), FILES, FILE_SIZE, BIG_MIB, TARGET.

import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

import { launchPhone, makeFile } from '../../tests/browser/harness.mjs';
import { checkArrived, clearUploads } from './uploads.mjs';

const base = process.env.BASE;
const work = process.env.WORK;
const key = process.env.KEY;
const link = process.env.LINK || 'link';
const count = Number(process.env.FILES || 200);
const size = Number(process.env.FILE_SIZE || 3 * 1000 * 1000);
const bigSize = Number(process.env.BIG_MIB || 1024) * 1024 * 1024;
const target = Number(process.env.TARGET || 0.9);
const uploads = path.join(work, 'wdoc', 'u', 'ufiles');
const mbit = (bytes, ms) => (bytes * 8 / 1e6) / (ms / 1000);

function curl(args) {
  const r = spawnSync('curl', ['-sS', '--fail', ...args], { stdio: ['ignore', 'pipe', 'inherit'] });
  if (r.status !== 0) throw new Error(`curl failed with ${r.status}`);
  return r.stdout.toString();
}
function timed(fn) {
  const start = performance.now();
  fn();
  return performance.now() - start;
}

function curlUpload(files) {
  clearUploads(uploads);
  const args = ['-o', '/dev/null', '-H', 'Accept: application/json'];
  for (const f of files) args.push('-F', `file=@${f}`);
  const ms = timed(() => curl([...args, `${base}/api/form?key=${key}`]));
  checkArrived(uploads, files);
  return ms;
}

async function pageUpload(phone, files) {
  clearUploads(uploads);
  const page = await phone.newPage();
  await page.goto(`${base}/u/${key}.html`);
  await page.waitForLoadState('networkidle');
  const start = performance.now();
  await page.setInputFiles('#files', files);
  await page.waitForFunction((n) => document.getElementById('sumTitle').textContent ===
    (n === 1 ? '1 file sent' : `${n} files sent`), files.length, { timeout: 3600000, polling: 100 });
  const ms = performance.now() - start;
  await page.close();
  checkArrived(uploads, files);
  return ms;
}

function curlDownload(name) {
  const cookie = curl(['-D', '-', '-o', '/dev/null', `${base}/d/${key}.html`])
    .split(/\r?\n/).find((l) => /^set-cookie:/i.test(l))?.replace(/^set-cookie:\s*([^;]*).*$/i, '$1');
  if (!cookie) throw new Error('the download page gave no cookie');
  return timed(() => curl(['-o', '/dev/null', '-H', `Cookie: ${cookie}`, `${base}/d/dfiles/${name}`]));
}

async function pageDownload(phone, name) {
  const page = await phone.newPage();
  await page.goto(`${base}/d/${key}.html`);
  const start = performance.now();
  const [download] = await Promise.all([
    page.waitForEvent('download', { timeout: 3600000 }),
    page.evaluate((href) => {
      const a = document.createElement('a');
      a.href = href;
      a.download = '';
      document.body.appendChild(a);
      a.click();
    }, `dfiles/${name}`),
  ]);
  const file = await download.path();
  const ms = performance.now() - start;
  if ((await download.failure()) || fs.statSync(file).size !== bigSize) throw new Error('the download did not arrive whole');
  await download.delete();
  await page.close();
  return ms;
}

const photos = [];
for (let i = 0; i < count; i++) photos.push(makeFile(work, `IMG_${1000 + i}.JPG`, size));
const big = makeFile(work, 'big.mov', bigSize);
fs.linkSync(big, path.join(work, 'wdoc', 'd', 'dfiles', 'big.mov'));
const phone = await launchPhone(path.join(work, 'browser'));
const rows = [];
try {
  for (const [what, files, bytes] of [[`${count} photos`, photos, count * size], ['one big file', [big], bigSize]]) {
    const c = curlUpload(files);
    const p = await pageUpload(phone, files);
    rows.push([`upload ${what}`, mbit(bytes, c), mbit(bytes, p)]);
  }
  const c = curlDownload('big.mov');
  const p = await pageDownload(phone, 'big.mov');
  rows.push(['download the big file', mbit(bigSize, c), mbit(bigSize, p)]);
} finally {
  await phone.close();
}
let ok = true;
for (const [what, curlRate, pageRate] of rows) {
  const ratio = pageRate / curlRate;
  ok &&= ratio >= target;
  console.log(`${link}: ${what}: curl ${curlRate.toFixed(1)} Mbit/s, chromium ${pageRate.toFixed(1)} Mbit/s, ` +
    `ratio ${ratio.toFixed(2)} (target >= ${target})`);
}
process.exitCode = ok ? 0 : 1;
