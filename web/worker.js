// Runs in the page's worker, after the core's glue: checks one File at a time, reading only the
// bytes the core asks for, so that a take of any size is never loaded whole; and computes the
// CRC-32 that a zip entry needs, reading a repaired copy once, a slice at a time. The core waits
// for each read it asks (Asyncify): answered at once from what was read before, or read from
// the file while the core's stack is put aside.

const reader = new FileReaderSync();

// Each read of a File costs far more than its bytes. FileReaderSync takes about a millisecond
// however small, then 5 to 10 ms a MiB, as each read makes a buffer anew; a stream of the slice
// read into a buffer lent again and again takes a few ms more to start, then 2 to 4 ms a MiB. So small
// reads are read at once, large ones streamed, and the core's reads answered from what was read
// before where they can be. A card's finder reads the same few headers and chain links again and
// again, scattered over the card: those come from small blocks, many kept. It listens to a
// take's end in runs of about 100 KB one after another: those come from large blocks. A read
// larger than either (the card's free clusters, 32 MiB at a time) goes straight to the file.
const kTiers = [{ most: 32 << 10, block: 32 << 10, keep: 512, streamed: false },  // 16 MiB in all
                { most: 1 << 20, block: 8 << 20, keep: 2, streamed: true }];      // 16 MiB

// Bytes [at, at + count) of `file`, streamed into `buffer` (which the stream takes and gives
// back): the buffer that holds them, or null where they could not all be read. A stream being
// read is held here: nothing else may hold it, and one collected as garbage never answers.
const streaming = new Set();
async function streamed(file, at, count, buffer) {
  let stream;
  try {
    stream = file.slice(at, at + count).stream().getReader({ mode: 'byob' });
  } catch {  // a browser whose File streams lend no buffer
    const bytes = reader.readAsArrayBuffer(file.slice(at, at + count));
    return bytes.byteLength === count ? bytes : null;
  }
  streaming.add(stream);
  try {
    for (let got = 0; got < count;) {
      const { value, done } = await stream.read(new Uint8Array(buffer, got, count - got));
      if (done) return null;
      buffer = value.buffer, got += value.length;
    }
  } finally {
    streaming.delete(stream);
  }
  stream.releaseLock();
  return buffer;
}

function readFrom(file) {
  // Each tier's blocks by where they begin, the least recently used first.
  const tiers = kTiers.map((tier) => ({ ...tier, blocks: new Map() }));
  let lent = new ArrayBuffer(0);  // for reads straight to the file
  const kept = (tier, at) => {
    const bytes = tier.blocks.get(at);
    if (bytes) tier.blocks.delete(at), tier.blocks.set(at, bytes);
    return bytes;
  };
  // Keeps a block read; the one it puts out gives its buffer to the next block streamed.
  const keep = (tier, at, bytes) => {
    if (tier.blocks.size >= tier.keep) {
      const [oldest, old] = tier.blocks.entries().next().value;
      tier.blocks.delete(oldest);
      if (old.byteLength === tier.block) tier.spare = old.buffer;
    }
    tier.blocks.set(at, bytes);
    return bytes;
  };
  const load = async (tier, at) => {
    const count = Math.min(tier.block, file.size - at);
    if (!tier.streamed) return keep(tier, at, new Uint8Array(reader.readAsArrayBuffer(file.slice(at, at + count))));
    const spare = tier.spare || new ArrayBuffer(tier.block);
    tier.spare = null;  // the stream takes it, whatever comes of the read
    const buffer = await streamed(file, at, count, spare);
    return buffer && keep(tier, at, new Uint8Array(buffer, 0, count));
  };
  // Copies [offset, offset + count) from the tier's blocks, all kept, into the heap.
  const copy = (tier, offset, into, count) => {
    for (let done = 0; done < count;) {
      const at = offset + done, start = at - at % tier.block, bytes = kept(tier, start), from = at - start;
      const n = bytes ? Math.min(count - done, bytes.length - from) : 0;
      if (n <= 0) return false;
      HEAPU8.set(bytes.subarray(from, from + n), into + done);
      done += n;
    }
    return true;
  };
  // Tells `done` whether `count` bytes at `offset` are now in the heap at `into`: at once where
  // nothing had to be streamed, so that the core's stack stays where it is.
  Module.readAt = (offset, into, count, done) => {
    const tier = tiers.find((t) => count <= t.most);
    if (!tier) {
      if (lent.byteLength < count) lent = new ArrayBuffer(count);
      return streamed(file, offset, count, lent).catch(() => null).then((buffer) => {
        lent = buffer || new ArrayBuffer(0);
        if (buffer) HEAPU8.set(new Uint8Array(buffer, 0, count), into);
        done(Boolean(buffer));
      });
    }
    const missing = [];  // the blocks kept are used first, so that reading the others keeps them
    for (let at = offset - offset % tier.block; at < offset + count && at < file.size; at += tier.block) {
      if (!kept(tier, at)) missing.push(at);
    }
    const whole = offset + count <= file.size;
    if (!tier.streamed) missing.forEach((at) => load(tier, at).catch(() => {}));  // read at once
    if (!tier.streamed || !missing.length) return done(whole && copy(tier, offset, into, count));
    Promise.all(missing.map((at) => load(tier, at))).catch(() => []).then((read) => {
      done(whole && read.length === missing.length && read.every(Boolean) && copy(tier, offset, into, count));
    });
  };
}
async function check(file, path) {
  readFrom(file);
  return JSON.parse(await Module.ccall('ostrel_check', 'string', ['number', 'string'], [file.size, path], { async: true }));
}
// A card image: first where the recorder was writing, and the takes found there are posted at
// once; then every other cluster no entry holds, once, 32 MiB at a time. The core says how far it
// has come, at most four times a second, in the command line's words.
async function recover(file, id) {
  readFrom(file);
  Module.progress = (line, fraction) => postMessage({ id, progress: { line, fraction } });
  const first = JSON.parse(await Module.ccall('ostrel_recover_first', 'string', ['number'], [file.size], { async: true }));
  if (!first.card) return first;
  postMessage({ id, progress: { first } });
  return JSON.parse(await Module.ccall('ostrel_recover_rest', 'string', [], [], { async: true }));
}

// CRC-32 (IEEE), eight bytes a step.
const crcTables = (() => {
  const t = new Uint32Array(8 * 256);
  for (let n = 0; n < 256; ++n) {
    let c = n;
    for (let k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320 ^ (c >>> 1) : c >>> 1;
    t[n] = c;
  }
  for (let n = 0; n < 256; ++n) {
    for (let k = 1; k < 8; ++k) t[k * 256 + n] = t[(k - 1) * 256 + n] >>> 8 ^ t[t[(k - 1) * 256 + n] & 255];
  }
  return t;
})();
function crcUpdate(crc, bytes) {
  const t = crcTables;
  let c = ~crc, k = 0;
  for (const end8 = bytes.length - 8; k <= end8; k += 8) {
    c ^= bytes[k] | bytes[k + 1] << 8 | bytes[k + 2] << 16 | bytes[k + 3] << 24;
    c = t[1792 + (c & 255)] ^ t[1536 + (c >>> 8 & 255)] ^ t[1280 + (c >>> 16 & 255)] ^ t[1024 + (c >>> 24)] ^
        t[768 + bytes[k + 4]] ^ t[512 + bytes[k + 5]] ^ t[256 + bytes[k + 6]] ^ t[bytes[k + 7]];
  }
  for (; k < bytes.length; ++k) c = t[(c ^ bytes[k]) & 255] ^ (c >>> 8);
  return ~c >>> 0;
}

// Read as a stream, with a progress message every 8 MiB or so.
async function crcOf(blob, id) {
  const chunks = blob.stream().getReader();
  let crc = 0, at = 0, told = 0;
  for (let part; !(part = await chunks.read()).done;) {
    crc = crcUpdate(crc, part.value);
    at += part.value.length;
    if (at - told >= 8 << 20) postMessage({ id, progress: told = at });
  }
  return crc;
}

// One message at a time, in the order they came: the core, waiting on a read, is not asked again.
let working = coreReady;
async function answer({ id, file, path, blob, card }) {
  let result;
  try {
    result = blob ? { crc: await crcOf(blob, id) } : card ? await recover(file, id) : await check(file, path);
  } catch (error) {
    result = { failed: String(error) };
  }
  postMessage({ id, result });
}
onmessage = (event) => { working = working.then(() => answer(event.data)); };
