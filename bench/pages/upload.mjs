// Upload of many photos through the upload page in chromium on loopback,
// against curl sending the same files to the same engine in the same run.
// Prints both rates and their ratio; exits 1 when the page falls below the
// target share of curl's rate.
//
// node bench/pages/upload.mjs   (after a build; see run.sh for the defaults)

import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { Engine, launchPhone, makeFile, tempFolder } from '../../tests/browser/harness.mjs';
import { checkArrived, clearUploads } from './uploads.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const build = process.env.BUILD_DIR || path.resolve(here, '../../build');
const count = Number(process.env.FILES || 200);
const size = Number(process.env.FILE_SIZE || 3 * 1000 * 1000);
const rounds = Number(process.env.ROUNDS || 2);
const target = Number(process.env.TARGET || 0.7);
const KEY = 'benchk';

const work = tempFolder('tessary-bench-');
const uploads = path.join(work, 'wdoc', 'u', 'ufiles');
let engine;
let phone;

const mb = (bytes, ms) => (bytes / (1024 * 1024)) / (ms / 1000);

async function curlRound(files) {
  clearUploads(uploads);
  const args = ['-sS', '--fail', '-o', '/dev/null', '-H', 'Accept: application/json'];
  for (const f of files) args.push('-F', `file=@${f}`);
  args.push(`${engine.base}/api/form?key=${KEY}`);
  const start = performance.now();
  const r = spawnSync('curl', args, { stdio: ['ignore', 'inherit', 'inherit'] });
  const ms = performance.now() - start;
  if (r.status !== 0) throw new Error(`curl failed with ${r.status}`);
  checkArrived(uploads, files);
  return ms;
}

// The page's own interface driven by curl: one request per file, four at a
// time over kept-alive connections. Tells the browser's share of the gap
// from the interface's.
async function curlChunkedRound(files, round) {
  clearUploads(uploads);
  const config = files.map((f, i) => [
    `url = "${engine.base}/api/upload?key=${KEY}&id=c${round}n${i}&name=${encodeURIComponent(path.basename(f))}` +
      `&size=${size}&offset=0"`,
    `data-binary = "@${f}"`, 'header = "Content-Type: application/octet-stream"',
    'output = "/dev/null"'].join('\n')).join('\nnext\n');
  const configFile = path.join(work, 'curl.conf');
  fs.writeFileSync(configFile, config + '\n');
  const start = performance.now();
  const r = spawnSync('curl', ['-sS', '--no-progress-meter', '--fail', '--parallel', '--parallel-max', '4', '-K', configFile],
    { stdio: ['ignore', 'inherit', 'inherit'] });
  const ms = performance.now() - start;
  if (r.status !== 0) throw new Error(`curl failed with ${r.status}`);
  checkArrived(uploads, files);
  return ms;
}

async function pageRound(files) {
  clearUploads(uploads);
  const page = await phone.newPage();
  await page.goto(`${engine.base}/u/${KEY}.html`);
  await page.waitForLoadState('networkidle');
  const start = performance.now();
  await page.setInputFiles('#files', files);
  await page.waitForFunction((n) => document.getElementById('sumTitle').textContent === (n === 1 ? "1 file sent" : `${n} files sent`),
    files.length, { timeout: 600000, polling: 50 });
  const ms = performance.now() - start;
  await page.close();
  checkArrived(uploads, files);
  return ms;
}

try {
  execFileSync(path.join(build, 'tests', 'bin', 'pages_webroot'),
    ['generate', path.join(build, 'bin', 'pdata'), work, KEY]);
  const files = [];
  for (let i = 0; i < count; i++) {
    files.push(makeFile(work, `IMG_${String(1000 + i)}.JPG`, size));
  }
  engine = await Engine.start(process.env.TESSARY_ENGINE || path.join(build, 'bin', 'TessaryEngine'),
    KEY, work);
  phone = await launchPhone(path.join(work, 'browser'));
  const total = count * size;
  let curlBest = Infinity;
  let chunkedBest = Infinity;
  let pageBest = Infinity;
  for (let round = 1; round <= rounds; round++) {
    // Interleaved, so a busy moment of the machine falls on all three alike.
    const c = await curlRound(files);
    const k = await curlChunkedRound(files, round);
    const p = await pageRound(files);
    curlBest = Math.min(curlBest, c);
    chunkedBest = Math.min(chunkedBest, k);
    pageBest = Math.min(pageBest, p);
    console.log(`round ${round}: curl -F ${mb(total, c).toFixed(1)} MB/s, ` +
      `curl per file ${mb(total, k).toFixed(1)} MB/s, page ${mb(total, p).toFixed(1)} MB/s`);
  }
  const ratio = curlBest / pageBest;
  console.log(`${count} files of ${size} bytes, best of ${rounds}: curl -F ${mb(total, curlBest).toFixed(1)} MB/s, ` +
    `curl per file (4 at a time) ${mb(total, chunkedBest).toFixed(1)} MB/s, page ${mb(total, pageBest).toFixed(1)} MB/s`);
  console.log(`page/curl -F ${ratio.toFixed(2)} (target >= ${target}), ` +
    `page/curl per file ${(chunkedBest / pageBest).toFixed(2)}`);
  process.exitCode = ratio >= target ? 0 : 1;
} finally {
  await phone?.close();
  await engine?.stop();
  fs.rmSync(work, { recursive: true, force: true });
}
