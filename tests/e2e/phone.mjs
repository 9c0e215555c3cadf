// A phone for the end-to-end tests: Debian's chromium as a 390 x 844 touch
// phone, driven through the real pages the program serves.
//
//   node phone.mjs upload <upload page URL> <file>...
//       chooses the files on the upload page and waits until all are sent
//   node phone.mjs download <download page URL> <folder> <count>
//       waits until the page lists count files, taps every "Open" and saves
//       what each one downloads into folder under the name the PC gave it
//
// Exits 0 on success, 1 with a message on standard error otherwise.

import fs from 'node:fs';
import path from 'node:path';
import { launchPhone, tempFolder } from '../browser/harness.mjs';

const [command, url, ...rest] = process.argv.slice(2);

async function upload(page, files) {
  await page.goto(url);
  await page.setInputFiles('#files', files);
  const sent = files.length === 1 ? '1 file sent' : `${files.length} files sent`;
  await page.waitForFunction((t) => document.getElementById('sumTitle').textContent === t, sent,
    { timeout: 60000 });
}

async function download(page, folder, count) {
  await page.goto(url);
  const buttons = page.locator('.cbutton');
  await page.waitForFunction((n) => document.querySelectorAll('.cbutton').length === n, count,
    { timeout: 30000 });
  const context = page.context();
  for (let i = 0; i < count; ++i) {
    const before = context.downloads.length;
    const [popup] = await Promise.all([page.waitForEvent('popup'), buttons.nth(i).click()]);
    for (const deadline = Date.now() + 15000; context.downloads.length === before;) {
      if (Date.now() > deadline) throw new Error(`Open #${i + 1} downloaded nothing`);
      await new Promise((r) => setTimeout(r, 50));
    }
    const d = context.downloads[before];
    await d.saveAs(path.join(folder, d.suggestedFilename()));
    await popup.close().catch(() => {});
  }
}

const profile = tempFolder('tessary-e2e-phone-');
// The PC's address in the test's own network namespace.
const context = await launchPhone(profile, {}, [new URL(url).hostname]);
try {
  const page = await context.newPage();
  if (command === 'upload') {
    await upload(page, rest);
  } else if (command === 'download') {
    await download(page, rest[0], Number(rest[1]));
  } else {
    throw new Error(`unknown command ${command}`);
  }
} catch (error) {
  console.error(error.message);
  process.exitCode = 1;
} finally {
  await context.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
