// Runs in the page's worker, after the core's glue: checks one File at a time, reading only the
// bytes the core asks for, synchronously, so that a take of any size is never loaded whole; and
// computes the CRC-32 that a zip entry needs, reading a repaired copy once, a slice at a time.

const reader = new FileReaderSync();

// Each read of a File costs far more than its bytes, and a card's finder asks for a cluster here
// and a few there, mostly near the last: small reads are answered from the last two blocks of
// kBlock bytes read, each read once.
const kBlock = 1 << 20;
function readFrom(file) {
  let blocks = [];
  const block = (at) => {
    let b = blocks.find((k) => k.at === at);
    if (!b) {
      b = { at, bytes: new Uint8Array(reader.readAsArrayBuffer(file.slice(at, Math.min(at + kBlock, file.size)))) };
      blocks = [b, blocks[0]].filter(Boolean);
    }
    return b;
  };
  Module.readAt = (offset, into, count) => {
    if (count > kBlock / 4) {
      const bytes = reader.readAsArrayBuffer(file.slice(offset, offset + count));
      if (bytes.byteLength !== count) return false;
      HEAPU8.set(new Uint8Array(bytes), into);
    } else {
      for (let done = 0; done < count;) {
        const at = offset + done, b = block(at - at % kBlock), from = at - b.at;
        const n = Math.min(count - done, b.bytes.length - from);
        if (n <= 0) return false;
        HEAPU8.set(b.bytes.subarray(from, from + n), into + done);
        done += n;
      }
    }
    return true;
  };
}
function check(file, path) {
  readFrom(file);
  return JSON.parse(Module.ccall('ostrel_check', 'string', ['number', 'string'], [file.size, path]));
}
// A card image: first where the recorder was writing, and the takes found there are posted at
// once; then every other cluster no entry holds, once, 8 MiB at a time. The core says how far it
// has come, at most four times a second, in the command line's words.
function recover(file, id) {
  readFrom(file);
  Module.progress = (line, fraction) => postMessage({ id, progress: { line, fraction } });
  const first = JSON.parse(Module.ccall('ostrel_recover_first', 'string', ['number'], [file.size]));
  if (!first.card) return first;
  postMessage({ id, progress: { first } });
  return JSON.parse(Module.ccall('ostrel_recover_rest', 'string', [], []));
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

onmessage = async (event) => {
  await coreReady;
  const { id, file, path, blob, card } = event.data;
  let result;
  try {
    result = blob ? { crc: await crcOf(blob, id) } : card ? recover(file, id) : check(file, path);
  } catch (error) {
    result = { failed: String(error) };
  }
  postMessage({ id, result });
};
