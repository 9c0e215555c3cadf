// Runs the browser tests of one engine with node's test runner:
//   node run.mjs chromium [test files...]
//   node run.mjs webkit
// Exits 77 (skipped) and says why when a program or file they need is not
// there; anything else that goes wrong, such as a browser that is installed
// but does not start, is a failure.

import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { MINIBROWSER, WEBKIT_DRIVER, XVFB } from './webdriver.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const [browser = 'chromium', ...files] = process.argv.slice(2);
const common = [
  [process.env.TESSARY_ENGINE?.split(' ')[0], 'the engine program (build the TessaryEngine target)'],
  [process.env.PAGES_WEBROOT, 'the pages_webroot helper'],
  [path.join(process.env.TESSARY_TEMPLATES || '', 'uindex.dat'), 'the page templates'],
  [path.join(here, 'node_modules', 'playwright-core'), 'playwright-core (run scripts/deps.sh)'],
];
const own = {
  chromium: [[process.env.CHROMIUM || '/usr/bin/chromium', 'chromium']],
  webkit: [
    [WEBKIT_DRIVER, 'WebKitWebDriver (package webkit2gtk-driver)'],
    [MINIBROWSER, 'MiniBrowser (package libwebkit2gtk-4.1-0)'],
    [XVFB, 'Xvfb (package xvfb)'],
  ],
}[browser];
if (!own) {
  console.error(`usage: node run.mjs chromium|webkit [test files...]`);
  process.exit(2);
}
const missing = [...common, ...own].filter(([file]) => !file || !fs.existsSync(file));
if (missing.length) {
  for (const [file, what] of missing) console.log(`skipped: ${what} is missing (${file})`);
  process.exit(77);
}

const result = spawnSync(process.execPath,
  ['--test', '--test-concurrency=1',
    ...(files.length ? files : [browser === 'webkit' ? 'webkit.test.mjs' : 'pages.test.mjs'])],
  { cwd: here, stdio: 'inherit',
    env: { ...process.env, PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD: '1', TESSARY_BROWSER: browser } });
process.exit(result.status ?? 1);
