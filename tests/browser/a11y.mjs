// What the accessibility tests of both browsers share: axe-core's verdict and
// a look for text that is cut off or pushes the page sideways.

import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';

const require = createRequire(import.meta.url);

// axe-core itself, for injecting where @axe-core/playwright cannot go (WebKit).
export const axeSource = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');

// The findings a person would be stopped by: axe's serious and critical ones.
export function blocking(violations) {
  return violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .map((v) => `${v.id} (${v.impact}): ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
}

// A function body run in the page: what is cut off by its box or reaches out
// of the page sideways, and whether the page scrolls sideways. Text hidden for
// screen readers only (.sr) is meant to be clipped.
export const LAYOUT_PROBLEMS = `
  var doc = document.documentElement, width = doc.clientWidth, problems = [];
  if (doc.scrollWidth > width) problems.push('the page scrolls sideways: ' + doc.scrollWidth + ' > ' + width);
  var all = document.querySelectorAll('body *');
  for (var i = 0; i < all.length; i++) {
    var el = all[i];
    if (!el.getClientRects().length || el.closest('.sr') || el.closest('svg')) continue;
    var cs = getComputedStyle(el);
    if (cs.visibility === 'hidden' || cs.opacity === '0') continue;
    var name = el.tagName.toLowerCase() + (el.id ? '#' + el.id : '') + (el.className && el.className.baseVal === undefined ? '.' + String(el.className).split(' ').join('.') : '');
    if (cs.overflowX !== 'visible' && cs.overflowX !== 'auto' && cs.overflowX !== 'scroll' && el.scrollWidth > el.clientWidth + 1) problems.push(name + ' cut off across');
    if (cs.overflowY !== 'visible' && cs.overflowY !== 'auto' && cs.overflowY !== 'scroll' && el.scrollHeight > el.clientHeight + 1) problems.push(name + ' cut off below');
    var r = el.getBoundingClientRect();
    if (r.right > width + 1 || r.left < -1) problems.push(name + ' reaches out of the page: ' + Math.round(r.left) + '..' + Math.round(r.right));
  }
  return problems;`;

// This run's web root in work, and both pages again under the key of an
// earlier run, which the engine tells the pages has expired.
export function makeWebRoot(work, key, oldKey) {
  execFileSync(process.env.PAGES_WEBROOT, ['generate', process.env.TESSARY_TEMPLATES, work, key],
    { stdio: ['ignore', 'inherit', 'inherit'] });
  for (const folder of ['u', 'd']) {
    fs.copyFileSync(path.join(work, 'wdoc', folder, `${key}.html`),
      path.join(work, 'wdoc', folder, `${oldKey}.html`));
  }
}
