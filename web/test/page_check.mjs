// Opens the built page in Debian's Chromium, headless, and checks it against the command line:
// the same report line and -v detail for every file, repaired copies byte for byte what the tool
// leaves in place, no download for a healthy take, no request beyond the page's own file, a
// walked folder, a sparse 5 GiB take, a card image's lost take and its reading, and the repair in
// place on a file of the origin-private file system; the summary, a 0-byte take's status and advice,
// each player loaded and played, the players' width and the names' wrapping on a computer and a
// phone, a cancelled picker, and the zips of every copy, named for what they hold, unpacked by
// Python's zipfile. Usage: node page_check.mjs PAGE TOOL SCREENSHOT; exit 77 (skipped) without Chromium or playwright-core.
import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, writeFileSync, mkdirSync, rmSync, truncateSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const [page, tool, screenshot] = process.argv.slice(2).map((arg) => resolve(arg));
const chromium = '/usr/bin/chromium';
let playwright;
try {
  playwright = await import('playwright-core');
} catch {
  console.log('skipped: playwright-core is not installed (npm ci in web/)');
  process.exit(77);
}
if (!existsSync(chromium) || !existsSync(page)) {
  console.log(`skipped: ${existsSync(chromium) ? page : chromium} is missing`);
  process.exit(77);
}

let passed = 0, failed = 0;
const check = (ok, what) => (ok ? ++passed : (++failed, console.log(`FAIL: ${what}`)));

// WAVE files built from bytes, as the command-line tests build them.
const le32 = (v) => { const b = Buffer.alloc(4); b.writeUInt32LE(v); return b; };
const le64 = (v) => { const b = Buffer.alloc(8); b.writeBigUInt64LE(BigInt(v)); return b; };
const chunk = (id, body) => Buffer.concat([Buffer.from(id), le32(body.length), body, Buffer.alloc(body.length % 2)]);
const fmt = chunk('fmt ', Buffer.concat([Buffer.from([1, 0, 2, 0]), le32(44100), le32(176400), Buffer.from([4, 0, 16, 0])]));
const audio = (n) => Buffer.from(Array.from({ length: n }, (_, i) => (i * 37) & 255));
const riff = (form, rest) => Buffer.concat([Buffer.from('RIFF'), le32(form), Buffer.from('WAVE'), rest]);
const list = chunk('LIST', Buffer.from('INFOINAM\x06\x00\x00\x00title!', 'latin1'));
const cut = 'Old_Town_Hall_2026-12-10_second_set_take_12_the_recorder_fell_over.wav';  // header 1:00, file 0:17.361
const be32 = (v) => { const b = Buffer.alloc(4); b.writeUInt32BE(v); return b; };
const files = {
  // AIFF killed mid-take: COMM of 1 frame of 16-bit stereo at 44100 Hz, SSND of its header only.
  'crashed take.aif': Buffer.concat([Buffer.from('FORM'), be32(46), Buffer.from('AIFFCOMM'), be32(18),
    Buffer.from([0, 2, 0, 0, 0, 0, 0, 16, 0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0]), Buffer.from('SSND'), be32(8),
    Buffer.alloc(8), audio(17641)]),
  'crashed take.wav': riff(8, Buffer.concat([fmt, Buffer.from('data'), le32(0), audio(176403)])),
  'healthy with LIST.wav': riff(36 + 17640 + list.length, Buffer.concat([fmt, Buffer.from('data'), le32(17640),
    audio(17640), list])),
  'notes.txt': Buffer.from('take 5 was the good one\n'),
  'rf64 ds64 0.wav': Buffer.concat([Buffer.from('RF64'), le32(0xFFFFFFFF), Buffer.from('WAVE'),
    chunk('ds64', Buffer.concat([le64(0), le64(0), le64(0), le32(0)])), fmt, Buffer.from('data'), le32(0xFFFFFFFF),
    audio(8820)]),
  [cut]: riff(36 + 10584000, Buffer.concat([fmt, Buffer.from('data'), le32(10584000), audio(3062484)])),
  'ZOOM0001.WAV': Buffer.alloc(0),  // what a dead battery leaves in the card's folder
};

const work = mkdtempSync(join(tmpdir(), 'ostrel-page-'));
const run = (args, cwd) => {  // --check exits 1 when a file needs fixing
  try { return execFileSync(tool, args, { cwd, encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] }); }
  catch (error) { return error.stdout; }
};
// What the command line says with --check -v, per file: the report line and its detail lines.
function cliReports(args, cwd) {
  const out = run(['--check', '-v', ...args], cwd).split('\n').filter(Boolean);
  const reports = [];
  for (const line of out) {
    if (line.startsWith('  ')) reports[reports.length - 1].detail.push(line.slice(2));
    else reports.push({ report: line, detail: [] });
  }
  return reports;
}

const browser = await playwright.chromium.launch({
  executablePath: chromium,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],
});
const context = await browser.newContext({ acceptDownloads: true });
const requests = [];
context.on('request', (request) => requests.push(request.url()));
const tab = await context.newPage();
// The page's source, opened by itself, says what it is and where the page is; the page names the
// version and sources it was built from, as the tool does.
const errors = [];
tab.on('pageerror', (error) => errors.push(error.message));
await tab.goto(pathToFileURL(join(dirname(fileURLToPath(import.meta.url)), '..', 'page.html')).href);
check((await tab.textContent('body')).includes("This is the page's source, not the page.") && !errors.length,
  `page.html by itself: ${errors}`);
await tab.goto(pathToFileURL(page).href);
const [version, built] = run(['--version']).trim().split('\n');
check(await tab.textContent('#version') === `${version}, ${built}`, 'the page names its version and sources');

// Rows stay until Clear; `keep` adds the new ones below them.
async function give(input, paths, keep = false) {
  if (!keep && await tab.isVisible('[data-action="clear"]')) await tab.click('[data-action="clear"]');
  await tab.setInputFiles(input, paths);
  await tab.waitForFunction(() => document.body.dataset.state === 'done', null, { timeout: 120000 });
  return tab.$$eval('#rows tr', (trs) => trs.map((tr) => ({
    name: tr.dataset.name, report: tr.dataset.report, detail: tr.dataset.detail,
    download: Boolean(tr.querySelector('[data-action="download"][data-repaired]')), status: tr.dataset.status,
    changed: tr.querySelector('summary')?.textContent, advice: tr.querySelector('.note')?.textContent,
  })));
}
async function zipped() {
  const [saved] = await Promise.all([tab.waitForEvent('download', { timeout: 300000 }),
    tab.click('[data-action="download-all"]')]);
  return { path: await saved.path(), name: saved.suggestedFilename() };
}
async function download(name) {
  const [saved] = await Promise.all([tab.waitForEvent('download', { timeout: 300000 }),
    tab.click(`tr[data-name="${name}"] [data-action="download"]`)]);
  return saved.path();
}
function compareRows(rows, names, cli, what) {
  check(rows.length === names.length, `${what}: ${rows.length} rows for ${names.length} files`);
  names.forEach((name, k) => {
    const row = rows[k] || {};
    check(row.name === name, `${what}: row ${k} is ${row.name}, not ${name}`);
    check(row.report === cli[k].report, `${what} ${name}: "${row.report}" where the tool says "${cli[k].report}"`);
    check(row.detail === cli[k].detail.join('\n'), `${what} ${name}: detail\n${row.detail}\nwhere -v says\n${cli[k].detail.join('\n')}`);
  });
}

// Files named on their own.
const given = join(work, 'given'), inPlace = join(work, 'in place');
mkdirSync(given);
mkdirSync(inPlace);
const names = Object.keys(files).reverse();  // rows come in the order given
for (const name of names) {
  writeFileSync(join(given, name), files[name]);
  writeFileSync(join(inPlace, name), files[name]);
}
const rows = await give('#files', names.map((n) => join(given, n)));
compareRows(rows, names, cliReports(names, given), 'files');
run(names, inPlace);
for (const row of rows) {
  const healthy = row.report.includes('appears to be correct') || !/\.(wav|aif)$/.test(row.name);
  check(row.download === !healthy, `files ${row.name}: ${row.download ? 'offers' : 'offers no'} download`);
  check((row.changed === 'What changed') === row.download, `files ${row.name}: "${row.changed}" folded`);
  if (row.download) {
    const copy = readFileSync(await download(row.name));
    check(copy.equals(readFileSync(join(inPlace, row.name))), `files ${row.name}: the copy differs from the tool's repair`);
  }
}
check(await tab.$eval('#summary', (o) => `${o.textContent} ${Object.values(o.dataset)}`) ===
  '7 files: 4 need repair, 1 healthy, 1 not WAVE, 1 at 0 KB 7,4,1,2,0,0', 'files: the summary');
for (const [row, said] of [[rows[0], '0 KB: may still be on the card: Its audio is most likely still on the card: give this ' +
  'page an image of the card, not the take.'], [rows[1], 'Needs repair: the header says 1:00; the file holds 0:17.361: ' +
  '0:42.639 is missing, the file was cut short'], [rows[2], 'Needs repair: This browser cannot play RF64 files: download ' +
  'the take and play it with an audio program.']]) {
  check(`${row.status}: ${row.advice}` === said, `files: ${row.name} is ${row.status}: ${row.advice}`);
}
check(await tab.$$eval('audio[data-action="listen"]', (a) => a.map((e) => e.getAttribute('aria-label')).join()) ===
  `Listen to the repaired ${cut},Listen to the repaired crashed take.wav`, 'files: a player for the repaired RIFF takes only');
check(await tab.$eval('tr[data-name="crashed take.aif"] .note', (e) => e.textContent) ===
  'This browser cannot play AIFF files: download the take and play it with an audio program.',
  'files: a word where Chromium plays no AIFF');
// A picker cancelled or refused leaves the rows; only the refusal is explained.
if (await tab.isVisible('#pick-files')) {
  for (const [error, said] of [['AbortError', false], ['SecurityError', true]]) {
    await tab.evaluate((name) => { window.showOpenFilePicker = async () => { throw new DOMException('no', name); }; }, error);
    await tab.click('#pick-files');
    check((await tab.$$('#rows tr')).length === names.length, `${error} picker: rows changed`);
    check(Boolean(await tab.textContent('#notice')) === said, `${error} picker: notice`);
  }
} else console.log('file pickers: not offered to a page opened from disk, not tried');

// A folder, walked as the command line walks it.
const card = join(work, 'CARD');
mkdirSync(join(card, 'FOUND.000'), { recursive: true });
mkdirSync(join(card, 'sub'));
writeFileSync(join(card, 'TAKE.WAV'), files['crashed take.wav']);
writeFileSync(join(card, 'FOUND.000', 'FILE0000.CHK'), files['rf64 ds64 0.wav']);
writeFileSync(join(card, 'sub', 'ok.wav'), files['healthy with LIST.wav']);
writeFileSync(join(card, '._TAKE.WAV'), files['crashed take.wav']);
writeFileSync(join(card, 'notes.txt'), files['notes.txt']);
writeFileSync(join(card, 'ZOOM0002.WAV'), '');  // the tool leaves it alone; the page shows it
const folderRows = (await give('#folder', card, true)).slice(names.length);
const walked = ['CARD/FOUND.000/FILE0000.CHK', 'CARD/TAKE.WAV', 'CARD/sub/ok.wav'];
compareRows(folderRows.filter((r) => r.status !== '0 KB: may still be on the card'), walked, cliReports(['CARD'], work), 'folder');
check(await tab.$eval('#left-alone', (o) => o.dataset.count) === '1', 'folder: one file left alone');

// A folder of 100 takes, and a sparse 5 GiB take: how long the page takes to check them.
const hundred = join(work, 'hundred');
mkdirSync(hundred);
for (let k = 0; k < 100; ++k) writeFileSync(join(hundred, `take ${k}.wav`), files['crashed take.wav']);
let started = Date.now();
check((await give('#folder', hundred)).length === 100, 'hundred: 100 rows');
const hundredMs = Date.now() - started;
check(`${await tab.textContent('#summary')}; ${(await zipped()).name}` === '100 files: 100 need repair; repaired takes.zip',
  'hundred: the summary, the zip\'s name');
const hundredZipMs = await tab.$eval('body', (b) => b.dataset.zipMs);
const big = join(work, 'long take.wav'), bigRepaired = join(work, 'long take repaired.wav');
writeFileSync(big, riff(0xFFFFFFFF, Buffer.concat([chunk('JUNK', Buffer.alloc(28)), fmt, Buffer.from('data'), le32(0)])));
truncateSync(big, 5 * 2 ** 30);
execFileSync('cp', ['--sparse=always', big, bigRepaired]);
const three = ['crashed take.wav', 'rf64 ds64 0.wav', 'long take.wav'];
for (const name of three.slice(0, 2)) writeFileSync(join(work, name), files[name]);
started = Date.now();
const bigRows = await give('#files', three.map((n) => join(work, n)));
const bigMs = Date.now() - started;
compareRows(bigRows, three, cliReports(three, work), 'sparse 5 GiB');
run([bigRepaired], work);
// The zip holds the tool's repairs byte for byte; zipfile checks every CRC as it reads.
const zip = (await zipped()).path;
const unpacked = execFileSync('python3', ['-c', `import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
for info, path in zip(z.infolist(), sys.argv[2:]):
    with z.open(info) as entry, open(path, 'rb') as tool:
        while (a := entry.read(1 << 24)) == tool.read(len(a)) and a: pass
        print(info.filename, 'same' if not a and not tool.read(1) else 'differs')`,
zip, join(inPlace, three[0]), join(inPlace, three[1]), bigRepaired], { encoding: 'utf8' });
check(unpacked === three.map((n) => `${n} same\n`).join(''), `zip: ${unpacked}`);
rmSync(zip);
console.log(`timing: a folder of 100 takes in ${hundredMs} ms, its zip in ${hundredZipMs} ms; three takes, one of 5 GiB, ` +
  `in ${bigMs} ms, their zip in ${await tab.$eval('body', (b) => b.dataset.zipMs)} ms`);

// The takes again with a sparse 2 GiB card image whose take the card lost, on a phone: the inputs
// emptied by Clear, the reading of the image shown as it goes, the results brought into view, the
// recovered take the tool's, and every player as long as the tool's take; then the screenshots.
const cardImage = join(work, 'card.img'), cardHelpers = fileURLToPath(new URL('../../tests/card', import.meta.url));
try {
  execFileSync('python3', ['-c', `import sys; sys.path.insert(0, sys.argv[1]); from card_images import fat_image
fat_image(sys.argv[2], 2048, 32, 32, files=[(sys.argv[3], "ZOOM0001.WAV")]).cut("ZOOM0001.WAV")`, cardHelpers, cardImage,
  join(given, 'crashed take.wav')], { stdio: 'ignore' });
  run(['--recover', join(work, 'recovered'), cardImage], work);
} catch {
  console.log('card image: not tried (needs dosfstools and mtools)');
}
const hasCard = existsSync(cardImage);
await tab.setViewportSize({ width: 390, height: 844 });
await tab.click('[data-action="clear"]');
check(await tab.$$eval('input[type="file"]', (all) => all.every((i) => i.files.length === 0)), 'clear: inputs keep files');
await tab.evaluate(() => {  // from the top; what the reading shows, each time it changes
  const text = document.getElementById('reading'), bar = text.previousElementSibling, seen = window.readings = [];
  scrollTo(0, 0);
  const takes = () => document.querySelectorAll('[data-status="Recovered from the card"]').length;
  new MutationObserver(() => seen.push([bar.value, bar.hidden, text.textContent, takes()])).observe(text, { childList: true });
});
started = Date.now();
const cardRows = await give('#files', names.map((n) => join(given, n)).concat(hasCard ? [cardImage] : []), true);
const cardMs = Date.now() - started;
check(await tab.$eval('#found', (h) => scrollY > 0 && Math.abs(h.getBoundingClientRect().top) < 50), 'phone: results not in view');
// Each player, pointed at (a recovered take's copy is made only then), loads its copy and plays a
// third of a second, as long as the frames of the tool's take over its rate.
const players = await tab.$$eval('audio[data-action="listen"]', (all) => Promise.all(all.map((a) => new Promise((done) => {
  const said = (error) => done({ name: a.closest('tr').dataset.name, duration: a.duration, at: a.currentTime, error });
  a.onerror = () => said(a.error.message || `code ${a.error.code}`);
  a.ontimeupdate = () => a.currentTime > 0.3 && (a.pause(), said());
  a.onloadedmetadata = () => a.play().catch((error) => said(String(error)));
  a.dispatchEvent(new PointerEvent('pointerenter'));
  Object.assign(a, { preload: 'metadata' }).load();
}))));
for (const p of players) {
  const take = readFileSync(p.name.startsWith('card.img/') ? join(work, 'recovered', p.name.slice(9)) : join(inPlace, p.name));
  const fmtAt = take.indexOf('fmt '), dataAt = take.indexOf('data');
  const s = Math.floor(take.readUInt32LE(dataAt + 4) / take.readUInt16LE(fmtAt + 20)) / take.readUInt32LE(fmtAt + 12);
  check(!p.error && Math.abs(p.duration - s) < 0.001 && p.at > 0.3, `${p.name}: ${p.error || p.duration} s, played ${p.at}`);
}
const rights = await tab.$$eval('[data-action="download"]', (links) => links.map((l) => l.getBoundingClientRect().right));
check(rights.length === 4 + hasCard && rights.every((r) => r <= 390) && players.length === 2 + hasCard,
  `phone: download buttons end at ${rights}; ${players.length} players`);
// Every player as wide as `least`, and nothing in a row past its box.
async function layout(width, least) {
  await tab.setViewportSize({ width, height: width > 600 ? 720 : 844 });
  const [wide, over] = await tab.evaluate(() => [[...document.querySelectorAll('audio')].map((a) => a.clientWidth),
    [...document.querySelectorAll('#rows td')].filter((td) => td.scrollWidth > td.clientWidth).map((td) => td.textContent)]);
  check(wide.every((w) => w >= least) && over.length === 0, `${width} px: players ${wide} px wide; past their box: ${over}`);
}
await layout(390, 0);
await tab.screenshot({ path: screenshot.replace(/\.png$/, '-phone.png'), fullPage: true });
await layout(1280, 300);
await tab.screenshot({ path: screenshot, fullPage: true });
if (hasCard) {
  const lost = cardRows[names.length + 1] || {};
  check(cardRows.length === names.length + 2 && `${lost.name} ${lost.status}: ${lost.report}` ===
    'card.img/ZOOM0001.WAV Recovered from the card: Recovered /ZOOM0001.WAV from card.img.', `card: ${JSON.stringify(lost)}`);
  check(readFileSync(await download(lost.name)).equals(readFileSync(join(work, 'recovered', 'ZOOM0001.WAV'))),
    'card: the recovered take differs from the tool\'s');
  check(await tab.$eval('#summary', (o) => `${o.textContent} ${Object.values(o.dataset)}`) === '7 files: 4 need repair, ' +
    '1 healthy, 1 not WAVE, 1 at 0 KB; 1 card image: 1 lost take recovered 7,4,1,2,1,1', 'card: the summary');
  // The take where the recorder was writing is there while the rest of the image is read; the
  // bar moves at three moments at least, never back, each with a time left.
  const seen = (await tab.evaluate(() => readings)).filter(([, hidden]) => !hidden);
  check(seen.some(([at, , text, takes]) => at > 0 && takes === 1 &&
    /^card.img: reading the rest of the card: [\d.]+ [MG]B of 2.1 GB, [\d.]+ [MG]B\/s, \d+ s left$/.test(text)),
  'card: its take not shown while the rest was read');
  check(seen.every(([at], k) => k === 0 || at >= seen[k - 1][0]) &&
    new Set(seen.filter(([at, , text]) => at > 0 && / left$/.test(text)).map(([at]) => at)).size >= 3,
  `card: the bar ${seen.map(([at, , text]) => `${at.toFixed(3)} ${text}`).join('; ')}`);
  console.log(`timing: seven takes and a sparse 2 GiB card image in ${cardMs} ms`);
  const both = await zipped();
  const held = execFileSync('python3', ['-c', 'import sys, zipfile; print(*zipfile.ZipFile(sys.argv[1]).namelist(), sep=", ")',
    both.path], { encoding: 'utf8' });
  check(`${both.name}: ${held}` === `repaired and recovered takes.zip: ${cut}, rf64 ds64 0.wav, crashed take.wav, ` +
    'crashed take.aif, card/ZOOM0001.WAV\n', `card: ${both.name} holds ${held}`);
}

check(requests.every((url) => url.startsWith('file:') || url.startsWith('blob:') || url.startsWith('data:')),
  `requests beyond the page's own file: ${requests.filter((u) => !/^(file|blob|data):/.test(u)).join(' ')}`);

// Repair in place, through the same code, on a file of the origin-private file system; it needs
// an origin, so the page is served once from loopback for this.
const html = readFileSync(page);
const server = createServer((_, res) => res.end(html)).listen(0, '127.0.0.1');
await new Promise((ok) => server.on('listening', ok));
const served = await context.newPage();
await served.goto(`http://127.0.0.1:${server.address().port}/`);
const crashed = [...files['crashed take.wav']];
const opfs = await served.evaluate(async (bytes) => {
  if (!navigator.storage || !navigator.storage.getDirectory) return null;
  const root = await navigator.storage.getDirectory();
  const handle = await root.getFileHandle('crashed take.wav', { create: true });
  const w = await handle.createWritable();
  await w.write(new Uint8Array(bytes));
  await w.close();
  const result = await window.ostrel.repairInPlace(handle, 'crashed take.wav');
  return { report: result.report, bytes: [...new Uint8Array(await (await handle.getFile()).arrayBuffer())] };
}, crashed);
server.close();
if (opfs === null) {
  console.log('origin-private file system: not offered to the page, not tried');
} else {
  check(opfs.report === 'Header was fixed successfully in crashed take.wav.', `in place: said ${opfs.report}`);
  check(Buffer.from(opfs.bytes).equals(readFileSync(join(inPlace, 'crashed take.wav'))), 'in place: bytes differ from the tool\'s');
}

await browser.close();
rmSync(work, { recursive: true, force: true });
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
