// Recovering from a card image in the page, against the command line on the same image: the built
// page opened in Debian's Chromium, headless, given the image as a file, timed from the file given
// until the card's row says how many takes it lost; and `--recover` into a temp folder, timed the
// same way. Each the median of `runs` (3 unless given), in wall seconds and in the CPU seconds of
// the tool, or of the browser and all its processes (the machine may be busy with other work);
// the image stays in the page cache for both.
// Usage: node bench/page_card.mjs PAGE TOOL IMAGE [RUNS]
//   PAGE: build/ostrel_32bit.html; TOOL: build/ostrel_32bit; IMAGE: a card image, e.g. the group
//   card bench/card.sh makes. Needs playwright-core (npm ci in web/).
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, readdirSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';

const [page, tool, image] = process.argv.slice(2, 5).map((arg) => arg && resolve(arg));
const runs = Number(process.argv[5] || 3);
if (!page || !tool || !image) {
  console.error('usage: node bench/page_card.mjs PAGE TOOL IMAGE [RUNS]');
  process.exit(2);
}
// playwright-core as web/ installs it, wherever this is run from.
const require = createRequire(new URL('../web/package.json', import.meta.url));
const playwright = require('playwright-core');

// User and system CPU seconds, as Linux counts them, of the children that have ended, or of
// every process below this one that is running now.
const stat = (pid) => readFileSync(`/proc/${pid}/stat`, 'utf8').replace(/^.*\) /, '').split(' ');
const childCpu = () => {
  const fields = stat('self');
  return (Number(fields[13]) + Number(fields[14])) / 100;
};
function treeCpu() {
  const parent = new Map(), cpu = new Map();
  for (const pid of readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      const fields = stat(pid);
      parent.set(pid, fields[1]), cpu.set(pid, (Number(fields[11]) + Number(fields[12])) / 100);
    } catch {}  // gone meanwhile
  }
  const below = (pid) => {
    for (let up = parent.get(pid); up; up = parent.get(up)) if (up === String(process.pid)) return true;
    return false;
  };
  return [...cpu].filter(([pid]) => below(pid)).reduce((sum, [, s]) => sum + s, 0);
}
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const seconds = (ms) => (ms / 1000).toFixed(2);

execFileSync('cat', [image], { stdio: ['ignore', 'ignore', 'inherit'] });  // into the page cache for both alike
function cliOnce() {
  const out = mkdtempSync(join(tmpdir(), 'page-card-'));
  const started = process.hrtime.bigint(), cpu = childCpu();
  let said = '';
  try {
    said = execFileSync(tool, ['--recover', join(out, 'takes'), image], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'],
                                                                           maxBuffer: 64 << 20 });
  } catch (error) {
    said = error.stdout || '';  // 1: takes were found
  }
  const ms = Number(process.hrtime.bigint() - started) / 1e6;
  rmSync(out, { recursive: true, force: true });
  return { ms, cpu: childCpu() - cpu, takes: said.split('\n').filter((l) => l.startsWith('Recovered ')).length };
}

// A browser of its own for each run, its CPU counted from its start.
async function pageOnce() {
  const browser = await playwright.chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking', '--disable-sync'],
  });
  const tab = await browser.newPage();
  await tab.goto(pathToFileURL(page).href);
  const started = Date.now();
  await tab.setInputFiles('#files', image);
  await tab.waitForFunction(() => document.body.dataset.state === 'done', null, { timeout: 3600000, polling: 100 });
  const ms = Date.now() - started;
  const status = await tab.$eval('tr[data-status="Card image"]', (tr) => tr.dataset.report).catch(() => '');
  const takes = await tab.$$eval('[data-status^="Recovered from the card"]', (all) => all.length);
  const cpu = treeCpu();
  await browser.close();
  return { ms, cpu, takes, status };
}

const cli = [], shown = [], cliCpu = [], pageCpu = [];
let cliTakes = 0, pageTakes = 0, status = '';
for (let k = 0; k < runs; ++k) {
  const c = cliOnce();
  cli.push(c.ms), cliCpu.push(c.cpu), cliTakes = c.takes;
  const p = await pageOnce();
  shown.push(p.ms), pageCpu.push(p.cpu), pageTakes = p.takes, status = p.status;
  console.log(`run ${k + 1}: command line ${seconds(c.ms)} s (${c.cpu.toFixed(2)} s CPU), ` +
              `page ${seconds(p.ms)} s (${p.cpu.toFixed(2)} s CPU, the browser's load included)`);
}
console.log(`image: ${image}`);
console.log(`command line: ${seconds(median(cli))} s, ${median(cliCpu).toFixed(2)} s CPU (medians of ${runs}), ` +
            `${cliTakes} takes recovered`);
console.log(`page:         ${seconds(median(shown))} s, ${median(pageCpu).toFixed(2)} s CPU (medians of ${runs}), ` +
            `${pageTakes} takes shown; "${status}"`);
console.log(`page / command line: ${(median(shown) / median(cli)).toFixed(2)}`);
