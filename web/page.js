'use strict';
// The core runs in a worker, made from the script above, so the page never waits on a file.
const worker = new Worker(URL.createObjectURL(new Blob([document.getElementById('worker-src').textContent],
                                                       { type: 'text/javascript' })));
const pending = new Map();
let nextId = 0;
worker.onmessage = (event) => {
  const { id, result, progress } = event.data;
  if (result === undefined) return pending.get(id).onProgress(progress);
  pending.get(id).resolve(result);
  pending.delete(id);
};
function ask(message, onProgress = () => {}) {
  return new Promise((resolve) => {
    const id = nextId++;
    pending.set(id, { resolve, onProgress });
    worker.postMessage({ id, ...message });
  });
}
const check = (file, path) => ask({ file, path });

// Folders are walked as the command line walks them: names in byte order, a subfolder where its
// name falls, entries whose name begins with "." skipped.
function folderOrder(a, b) {
  const x = a.path.split('/'), y = b.path.split('/');
  for (let k = 0; k < Math.min(x.length, y.length); ++k) {
    if (x[k] !== y[k]) return x[k] < y[k] ? -1 : 1;
  }
  return x.length - y.length;
}
const hidden = (path) => path.split('/').some((part) => part.startsWith('.'));

// h:mm:ss.mmm, the hours only when there are any.
function duration(ms, withMs = true) {
  if (ms < 0) return '';
  const s = Math.floor(ms / 1000), h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60;
  const two = (n) => String(n).padStart(2, '0');
  const text = h > 0 ? `${h}:${two(m)}:${two(s % 60)}` : `${m}:${two(s % 60)}`;
  return withMs ? `${text}.${String(ms % 1000).padStart(3, '0')}` : text;
}
// A header that counts more than the file holds says how much of the take is not in it.
function lengthText(result) {
  const before = duration(result.msBefore), after = duration(result.msAfter);
  if (!result.needsFix || before === after) return [after];
  if (result.placeholder) return [`${after} (header said ${duration(result.msBefore, false)}, a placeholder)`];
  if (!result.beyondFile || !before || !after) return [`${before} → ${after}`];
  const said = duration(result.msBefore, result.msBefore % 1000 !== 0);
  return [after, element('div', { className: 'note' }, `the header says ${said}; the file holds ${after}: ` +
    `${duration(result.msBefore - result.msAfter)} is missing, the file was cut short`)];
}

// In plain words, beside the command line's own report line.
const zeroBytes = '0 KB: may still be on the card';
function statusOf(result) {
  if (result.done) return 'Repaired';
  if (result.unableToWrite) return 'Could not be written';
  if (result.failed || result.verdict === 'failed') return 'Could not be read';
  if (result.empty) return zeroBytes;
  if (result.needsFix) return 'Needs repair';
  return { correct: 'Healthy', cutshort: 'Cut short: cannot be repaired', toolarge: 'Too long to repair' }[result.verdict] ||
    (result.wave ? 'No audio found' : 'Not a WAVE file');
}

// A player opens the copy only if it ends like an audio file of its form.
const takeName = /\.(wav|wave|bwf|rf64|aif|aiff|aifc|w64|caf)$/i;
function copyName(path, ext = '.wav') {
  const name = path.split('/').pop();
  return takeName.test(name) ? name : `${name}${ext}`;
}

// The original's slices with the planned bytes in between: nothing large is copied.
function repairedCopy(file, writes, type = 'audio/wav') {
  const parts = [];
  let at = 0;
  for (const w of [...writes].sort((a, b) => a.offset - b.offset)) {
    parts.push(file.slice(at, w.offset), new Uint8Array(w.bytes));
    at = w.offset + w.bytes.length;
  }
  parts.push(file.slice(at));
  return new Blob(parts, { type: type.split(';')[0] });
}

// Only the planned bytes, in the planned order; the browser puts them on disk when the stream
// closes. Returns the report line the command line prints for the repair.
async function repairInPlace(handle, path) {
  const result = await check(await handle.getFile(), path);
  if (!result.needsFix) return result;
  let writable;
  try {
    writable = await handle.createWritable({ keepExistingData: true });
    for (const w of result.writes) {
      await writable.write({ type: 'write', position: w.offset, data: new Uint8Array(w.bytes) });
    }
    await writable.close();
    return { ...result, report: result.fixed, needsFix: false, done: true };
  } catch (error) {
    if (writable) await writable.abort().catch(() => {});
    return { ...result, report: result.unable, unableToWrite: true, failed: String(error) };
  }
}
window.ostrel = { repairInPlace };

const rows = document.getElementById('rows');
const button = (action) => document.querySelector(`[data-action="${action}"]`);
// A row with a copy to save: every lost take has one, made when first asked for.
const held = (s) => s.lost || Boolean(s.copy);
const notice = document.getElementById('notice');
const progress = document.getElementById('progress'), reading = document.getElementById('reading');
// Every row shown until Clear: { row, entry, result, copy }.
const shown = [];
let leftAlone = new Map();

function cell(row, ...content) {
  const td = row.insertCell();
  td.append(...content);
  return td;
}
function element(tag, props, ...children) {
  const e = Object.assign(document.createElement(tag), props);
  e.append(...children);
  return e;
}

// A long name breaks after a slash, underscore or dash before it breaks anywhere.
const nameShown = (path) => element('strong', {}, ...path.split(/(?<=[/_-])/)
  .flatMap((part, k) => (k ? [document.createElement('wbr'), part] : [part])));

// What a take of 0 KB needs: the card it was recorded on, read whole.
function cardAdvice() {
  const link = element('a', { href: '#card-image', textContent: 'an image of the card' });
  link.addEventListener('click', () => { document.getElementById('card-image').open = true; });
  return element('span', { className: 'note' }, 'Its audio is most likely still on the card: give this page ', link,
                 ', not the take.');
}

// A download of the copy, marked data-repaired or data-recovered, and a player on it where the
// browser plays its form and format, else a word that it does not. A recovered take's `play` is
// its WAVE format's.
// A recovered take's copy, and the address its link and player have, are made only when the link
// or the player is first pointed at, touched or reached with the keyboard: a take recorded with
// others is a slice of the image for each of its clusters, and the thousands of slices of a card's
// takes would take the browser many seconds to make.
function offer(actions, item, name, kind,
               { form, tag, codec, formName = '', play = form === 'RIFF' ? `audio/wav; codecs="${tag}"` : '' }) {
  const { path } = item.entry;
  let url = kind === 'recovered' ? null : URL.createObjectURL(item.copy);
  const made = (control, key) => {
    const give = () => {
      url = url || URL.createObjectURL(item.copy);
      if (control[key] !== url) control[key] = url;
    };
    for (const event of ['pointerenter', 'pointerdown', 'focus', 'click']) control.addEventListener(event, give, true);
  };
  const text = `Download ${kind === 'repaired' ? 'repaired copy' : 'recovered take'}`;
  const link = element('a', { href: url || '#', download: copyName(name, item.result?.ext), textContent: text });
  if (!url) made(link, 'href');
  Object.assign(link.dataset, { action: 'download', [kind]: '' });
  link.setAttribute('aria-label', `${text} of ${path}`);
  actions.append(link);
  const audio = document.createElement('audio');
  if (!play || audio.canPlayType(play) === '') {
    const what = formName || form !== 'RIFF' ? `${formName || form} files` : `${codec} audio`;
    actions.append(element('div', { className: 'note' }, `This browser cannot play ${what}: download the take ` +
                           'and play it with an audio program.'));
    return;
  }
  Object.assign(audio, { controls: true, preload: 'none' });
  if (url) audio.src = url;
  else made(audio, 'src');
  audio.dataset.action = 'listen';
  audio.setAttribute('aria-label', `Listen to the ${kind} ${path}`);
  actions.append(audio);
}

function showResult(item) {
  const { row, entry, result } = item;
  const status = statusOf(result);
  Object.assign(row.dataset, { name: entry.path, report: result.report, detail: result.detail.join('\n'), status });
  row.replaceChildren();
  cell(row, nameShown(entry.path));
  cell(row, element('span', { className: 'status' }, status));
  cell(row, ...lengthText(result));
  const actions = cell(row);
  const changes = result.needsFix || result.done;
  cell(row, element('details', {}, element('summary', {}, changes ? 'What changed' : 'Details'),
                    element('p', {}, result.report), element('pre', {}, result.detail.join('\n'))));
  if (result.empty) actions.append(cardAdvice());
  item.copy = result.needsFix ? repairedCopy(entry.file, result.writes, result.play || undefined) : null;
  if (!item.copy) return;
  offer(actions, item, entry.path, 'repaired', result);
  if (!entry.handle) return;
  const repair = element('button', { type: 'button', textContent: 'Repair in place' });
  repair.dataset.action = 'repair';
  repair.setAttribute('aria-label', `Repair ${entry.path} in place`);
  repair.addEventListener('click', () => repairRow(item));
  actions.append(' ', repair);
}

async function repairRow(item) {
  const { entry } = item;
  if ((await entry.handle.requestPermission({ mode: 'readwrite' })) !== 'granted') return;
  const result = await repairInPlace(entry.handle, entry.path);
  entry.file = await entry.handle.getFile();
  item.result = { ...result, needsFix: false };
  showResult(item);
  summarise();
}

const plural = (n, word) => `${n} ${word}${n === 1 ? '' : 's'}`;

// "9 files: 4 need repair, 3 healthy, 2 not WAVE; 1 card image: 2 lost takes recovered", and the
// counts for tests. A card image and the takes it lost are not counted among the files.
function summarise() {
  const statuses = shown.filter((s) => !s.card && !s.lost).map((s) => s.row.dataset.status);
  const count = (...words) => statuses.filter((s) => words.includes(s)).length;
  const alone = [...leftAlone.values()].reduce((a, b) => a + b, 0);
  const notWave = count('Not a WAVE file') + alone, total = statuses.length + alone, zero = count(zeroBytes);
  const needs = count('Needs repair'), repaired = count('Repaired'), healthy = count('Healthy');
  const cards = shown.filter((s) => s.card).length, lost = shown.filter((s) => s.lost).length;
  const other = total - needs - repaired - healthy - notWave - zero;
  const parts = needs ? [`${needs} ${needs === 1 ? 'needs' : 'need'} repair`] : [];
  if (repaired) parts.push(`${repaired} repaired`);
  if (healthy) parts.push(`${healthy} healthy`);
  if (notWave) parts.push(`${notWave} not WAVE`);
  if (zero) parts.push(`${zero} at 0 KB`);
  if (other) parts.push(`${other} ${other === 1 ? 'another problem' : 'other problems'}`);
  const said = total ? [`${plural(total, 'file')}: ${parts.join(', ')}`] : [];
  if (cards) said.push(`${plural(cards, 'card image')}: ${lost ? `${plural(lost, 'lost take')} recovered` : 'no lost take'}`);
  const summary = document.getElementById('summary');
  Object.assign(summary.dataset, { total, repair: needs + repaired, healthy, other: total - needs - repaired - healthy,
                                    cards, lost });
  summary.textContent = said.join('; ');
  const out = document.getElementById('left-alone');
  out.dataset.count = String(alone);
  out.textContent = [...leftAlone].map(([top, n]) => `${n} ${n === 1 ? 'file' : 'files'} under ${top} ` +
    `${n === 1 ? 'is not a WAVE file and was' : 'are not WAVE files and were'} left alone.`).join(' ');
  const copies = shown.some(held);
  button('download-all').textContent = `Download all ${copiesHeld()} (.zip)`;
  button('save-all').textContent = `Save all ${copiesHeld()} to a folder`;
  button('download-all').hidden = !copies;
  button('save-all').hidden = !copies || !('showDirectoryPicker' in window);
  button('repair-all').hidden = !shown.some((s) => s.entry.folderHandle && s.row.dataset.status === 'Needs repair');
  button('clear').hidden = shown.length === 0 && leftAlone.size === 0;
}

// entries: { file, path, inFolder, handle? }, added below the rows already there in the order
// given; a folder's entries come in its walk order.
async function checkAll(entries) {
  document.body.dataset.state = 'checking';
  notice.textContent = '';
  for (const entry of entries.filter((e) => !(e.inFolder && hidden(e.path)))) {
    const result = await check(entry.file, entry.path);
    if (result.failed) continue;
    if (!entry.inFolder && !result.wave && entry.file.size >= 65536 && await showCard(entry)) continue;
    if (entry.inFolder && !result.wave && !(result.empty && takeName.test(entry.path))) {
      const top = entry.path.split('/')[0];
      leftAlone.set(top, (leftAlone.get(top) || 0) + 1);
      continue;
    }
    const item = { row: rows.insertRow(), entry, result };
    shown.push(item);
    showResult(item);
  }
  summarise();
  document.body.dataset.state = 'done';
  // On a phone the results are below the fold: they are brought up when the checking ends.
  if (matchMedia('(max-width: 600px)').matches) document.getElementById('found').scrollIntoView();
}
const walked = (entries) => entries.sort(folderOrder);

// The image's own slices with the bytes the core gives between them: a take from a 64 GB image
// is never copied into memory.
const recoveredCopy = (image, pieces) => new Blob(pieces.map((p) => (p.bytes ? new Uint8Array(p.bytes) :
  image.slice(p.at, p.at + p.length))), { type: 'audio/wav' });

// "Recovered the take at cluster 1144 from card.img.", as the command line says it, and how it
// was found under it.
function showLostTake(item, take) {
  const { row, entry } = item;
  const where = `Recovered ${take.where} from ${entry.card}.`;
  const status = take.noformat ? 'Found, but its format is unknown'
    : take.guess ? 'Recovered from the card (format guessed)' : 'Recovered from the card';
  Object.assign(row.dataset, { name: entry.path, report: where, detail: take.detail.join('\n'), status });
  cell(row, nameShown(entry.path));
  cell(row, element('span', { className: 'status' }, status));
  cell(row, duration(take.ms));
  // Audio with no header and nothing on the card to lend it one plays as noise: the command line
  // can give it the format of a take from the same recorder.
  if (take.noformat) cell(row, element('span', { className: 'note' }, 'Recover it with the command line, giving ' +
                                       'the format of a take from the same recorder: ostrel_32bit --like TAKE.wav ' +
                                       '--recover FOLDER CARD'));
  else offer(cell(row), item, take.name, 'recovered', take);
  cell(row, element('div', {}, where), element('details', {}, element('summary', {}, 'How it was found'),
                                               element('pre', {}, take.detail.join('\n'))));
}

// "card.img: reading the rest of the card: 1.2 GB of 64.0 GB, 150 MB/s, 419 s left", as the
// command line shows it, over a bar of the whole card's job that never goes back.
function showReading(path, { line, fraction }) {
  Object.assign(progress, { hidden: false, max: 1, value: fraction });
  reading.textContent = `${path}: ${line}`;
}

// A card image, or a copy of one: a row for the card, and one for each take it lost. The takes
// where the recorder was writing come first, while the rest of the image is still being read.
async function showCard(entry) {
  let row, shownTakes = [];
  const addTakes = (takes) => takes.forEach((take) => {
    const item = { row: rows.insertRow(), entry: { file: entry.file, path: `${entry.path}/${take.name}`, card: entry.path },
                   result: take, lost: true };
    let copy = null;  // made when first asked for
    Object.defineProperty(item, 'copy', { get: () => copy || (copy = recoveredCopy(entry.file, take.pieces)) });
    shown.push(item);
    shownTakes.push(item);
    showLostTake(item, take);
  });
  const cardRow = (status) => {
    row = row || rows.insertRow();
    row.replaceChildren();
    Object.assign(row.dataset, { name: entry.path, report: status, detail: '', status: 'Card image',
                                 lost: String(shownTakes.length) });
    cell(row, nameShown(entry.path));
    cell(row, element('span', { className: 'status' }, status));
    for (let k = 0; k < 3; ++k) cell(row);  // its rule runs the width of the table
  };
  const found = await ask({ file: entry.file, card: true }, (p) => {
    if (!p.first) return showReading(entry.path, p);
    cardRow('Card image: the rest of the image is still being read');
    shown.push({ row, entry, result: p.first, card: true });
    addTakes(p.first.takes);
  });
  progress.hidden = true;
  reading.textContent = '';
  if (found.failed || !found.card) return false;
  if (!row) {
    cardRow('');
    shown.push({ row, entry, result: found, card: true });
  }
  // A take given early that the whole image gives otherwise goes.
  for (const item of shownTakes.filter((i) => found.withdrawn.includes(i.result.name))) {
    item.row.remove();
    shown.splice(shown.indexOf(item), 1);
    shownTakes.splice(shownTakes.indexOf(item), 1);
  }
  addTakes(found.takes);
  const count = shownTakes.length;
  cardRow(count ? `Card image: ${count} lost ${count === 1 ? 'take' : 'takes'}` : 'Card image: no lost take');
  shown.find((i) => i.row === row).result = found;
  return true;
}

document.getElementById('files').addEventListener('change', (event) => {
  checkAll([...event.target.files].map((file) => ({ file, path: file.name, inFolder: false })));
});
document.getElementById('folder').addEventListener('change', (event) => {
  checkAll(walked([...event.target.files].map((file) => ({ file, path: file.webkitRelativePath.replace(/^\/+/, ''),
                                                           inFolder: true }))));
});

// Dropped folders are read entry by entry; a dropped file is a take named on its own.
async function dropped(entry, path, inFolder, into) {
  if (entry.isFile) {
    into.push({ file: await new Promise((ok, fail) => entry.file(ok, fail)), path, inFolder });
    return;
  }
  const reader = entry.createReader();
  for (let batch; (batch = await new Promise((ok, fail) => reader.readEntries(ok, fail))).length > 0;) {
    for (const child of batch) await dropped(child, `${path}/${child.name}`, true, into);
  }
}
const drop = document.getElementById('drop');
drop.addEventListener('dragover', (event) => { event.preventDefault(); drop.classList.add('over'); });
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', async (event) => {
  event.preventDefault();
  drop.classList.remove('over');
  const files = [];
  for (const item of [...event.dataTransfer.items].filter((i) => i.kind === 'file')) {
    const entry = item.webkitGetAsEntry ? item.webkitGetAsEntry() : null;
    const one = [];
    if (entry) await dropped(entry, entry.name, entry.isDirectory, one);
    else one.push({ file: item.getAsFile(), path: item.getAsFile().name, inFolder: false });
    files.push(...walked(one));
  }
  checkAll(files);
});

// A picker the user cancelled changes nothing; one the browser refused says why.
async function picked(open) {
  try {
    return await open();
  } catch (error) {
    if (error.name !== 'AbortError') {
      notice.textContent = `The browser did not let this page open files for writing (${error.message || error.name}). ` +
        'Where a page opened from disk may not write, give the takes above and download the repaired copies instead.';
    }
    return null;
  }
}

// Where the browser can write files, the user may pick takes or a folder with its own picker.
async function walkHandle(dir, path, into) {
  const children = [];
  for await (const [name, handle] of dir.entries()) children.push([name, handle]);
  for (const [name, handle] of children) {
    if (name.startsWith('.')) continue;
    if (handle.kind === 'directory') await walkHandle(handle, `${path}/${name}`, into);
    else into.push({ file: await handle.getFile(), path: `${path}/${name}`, inFolder: true, handle, folderHandle: dir });
  }
}
if ('showOpenFilePicker' in window) {
  document.getElementById('in-place').hidden = false;
  document.getElementById('pick-files').addEventListener('click', async () => {
    const handles = await picked(() => window.showOpenFilePicker({ multiple: true }));
    if (!handles || handles.length === 0) return;
    const entries = [];
    for (const handle of handles) entries.push({ file: await handle.getFile(), path: handle.name, inFolder: false, handle });
    checkAll(entries);
  });
  document.getElementById('pick-folder').addEventListener('click', async () => {
    const dir = await picked(() => window.showDirectoryPicker({ mode: 'readwrite' }));
    if (!dir) return;
    const entries = [];
    await walkHandle(dir, dir.name, entries);
    checkAll(walked(entries));
  });
}
button('repair-all').addEventListener('click', async () => {
  for (const item of shown.filter((s) => s.entry.folderHandle && s.row.dataset.status === 'Needs repair')) {
    await repairRow(item);
  }
});

// "repaired takes", "recovered takes" or "repaired and recovered takes": what the copies are.
function copiesHeld() {
  const copies = shown.filter(held);
  return `${[copies.some((s) => !s.lost) && 'repaired', copies.some((s) => s.lost) && 'recovered']
    .filter(Boolean).join(' and ') || 'repaired'} takes`;
}

// Each copy once, under its folder path, a second copy of the same path numbered; the takes a
// card image lost in a folder named after the image, without its extension.
function copiesToSave() {
  const taken = new Set(), out = [];
  for (const s of shown.filter(held)) {
    const from = s.lost ? `${s.entry.card.replace(/(.)\.[^.]*$/, '$1')}/${s.result.name}` : s.entry.path;
    const path = from.split('/').slice(0, -1).concat(copyName(from, s.result?.ext)).join('/');
    let name = path;
    for (let n = 2; taken.has(name); ++n) name = path.replace(/(\.[^./]*)?$/, (ext) => ` (${n})${ext}`);
    taken.add(name);
    out.push({ name, item: s });
  }
  return out;
}

// The CRC of each copy, read once in the worker, with progress over all of them.
async function withCrcs(copies) {
  const total = copies.reduce((n, c) => n + c.item.copy.size, 0);
  let done = 0;
  Object.assign(progress, { hidden: false, max: total || 1, value: 0 });
  for (const c of copies) {
    if (c.item.crc === undefined) {
      const { crc } = await ask({ blob: c.item.copy }, (at) => { progress.value = done + at; });
      c.item.crc = crc;
    }
    done += c.item.copy.size;
    progress.value = done;
  }
  progress.hidden = true;
  return copies.map((c) => ({ name: c.name, blob: c.item.copy, crc: c.item.crc, date: c.item.entry.file.lastModified }));
}

button('download-all').addEventListener('click', async () => {
  const started = performance.now();
  const zip = zipOf(await withCrcs(copiesToSave()));
  const link = element('a', { href: URL.createObjectURL(zip), download: `${copiesHeld()}.zip` });
  document.body.append(link);
  link.click();
  link.remove();
  document.body.dataset.zipMs = String(Math.round(performance.now() - started));
});

// Never over a file already there: a second name is numbered.
async function freshFile(dir, name) {
  for (let n = 1; ; ++n) {
    const candidate = n === 1 ? name : name.replace(/(\.[^.]*)?$/, (ext) => ` (${n})${ext}`);
    try {
      await dir.getFileHandle(candidate);
    } catch {
      return dir.getFileHandle(candidate, { create: true });
    }
  }
}
button('save-all').addEventListener('click', async () => {
  const root = await picked(() => window.showDirectoryPicker({ mode: 'readwrite' }));
  if (!root) return;
  let saved = 0;
  for (const { name, item } of copiesToSave()) {
    const parts = name.split('/');
    let dir = root;
    for (const folder of parts.slice(0, -1)) dir = await dir.getDirectoryHandle(folder, { create: true });
    const writable = await (await freshFile(dir, parts[parts.length - 1])).createWritable();
    await writable.write(item.copy);
    await writable.close();
    notice.textContent = `Saved ${++saved} repaired ${saved === 1 ? 'take' : 'takes'} to ${root.name}.`;
  }
});

button('clear').addEventListener('click', () => {
  for (const s of shown) {
    s.row.querySelectorAll('a[href^="blob:"]').forEach((a) => URL.revokeObjectURL(a.href));
  }
  shown.length = 0;
  leftAlone = new Map();
  rows.replaceChildren();
  notice.textContent = '';
  // The same files given again are then checked again.
  document.querySelectorAll('input[type="file"]').forEach((input) => { input.value = ''; });
  summarise();
});
