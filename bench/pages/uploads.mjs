// The upload folder of the page benches: emptied before each round, and
// checked after it (every file arrived, each as long as its source).

import fs from 'node:fs';
import path from 'node:path';

export function clearUploads(uploads) {
  for (const name of fs.readdirSync(uploads)) {
    if (name !== 'index.html') fs.rmSync(path.join(uploads, name));
  }
}

export function checkArrived(uploads, files) {
  const names = fs.readdirSync(uploads).filter((n) => n !== 'index.html');
  if (names.length !== files.length) throw new Error(`${names.length} of ${files.length} arrived`);
  for (const f of files) {
    if (fs.statSync(path.join(uploads, path.basename(f))).size !== fs.statSync(f).size) {
      throw new Error(`${path.basename(f)} arrived with the wrong size`);
    }
  }
}
