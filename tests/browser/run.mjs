// Runs the browser tests with node's test runner, or says why it cannot and
// exits 77 (skipped) when a piece they need is not there.

import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const chromium = process.env.CHROMIUM || '/usr/bin/chromium';
const missing = [
  [process.env.TESSARY_ENGINE?.split(' ')[0], 'the engine program (build the TessaryEngine target)'],
  [process.env.PAGES_WEBROOT, 'the pages_webroot helper'],
  [path.join(process.env.TESSARY_TEMPLATES || '', 'uindex.dat'), 'the page templates'],
  [path.join(here, 'node_modules', 'playwright-core'), 'playwright-core (run scripts/deps.sh)'],
  [chromium, 'chromium'],
].filter(([file]) => !file || !fs.existsSync(file));
if (missing.length) {
  for (const [file, what] of missing) console.log(`skipped: ${what} is missing (${file})`);
  process.exit(77);
}

const tests = process.argv.slice(2);
const result = spawnSync(process.execPath,
  ['--test', '--test-concurrency=1', ...(tests.length ? tests : ['pages.test.mjs'])],
  { cwd: here, stdio: 'inherit', env: { ...process.env, PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD: '1' } });
process.exit(result.status ?? 1);
