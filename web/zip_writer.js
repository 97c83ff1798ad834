// A zip of stored (uncompressed) entries, built as a Blob of small header pieces and the entries'
// own Blobs, so that the browser reads each take from its file while it saves the download and
// nothing large is ever held in memory. ZIP64 where a size or an offset passes 4 GiB.
// entries: [{ name, blob, crc, date }], the CRC-32 of each blob already known.
function zipOf(entries) {
  const utf8 = new TextEncoder();
  const big = 0xFFFFFFFF;
  const parts = [], central = [];
  let offset = 0;
  const piece = (bytes) => { const b = new Uint8Array(bytes); const v = new DataView(b.buffer); return [b, v]; };
  for (const e of entries) {
    const name = utf8.encode(e.name), size = e.blob.size;
    const zip64 = size >= big || offset >= big;
    const extra = zip64 ? 28 : 0;  // id, length, then the size twice and the offset, 8 bytes each
    const [local, l] = piece(30 + name.length + (zip64 ? 20 : 0));
    const [entry, c] = piece(46 + name.length + extra);
    const dos = dosTime(e.date);
    l.setUint32(0, 0x04034b50, true);
    c.setUint32(0, 0x02014b50, true);
    c.setUint16(4, zip64 ? 45 : 20, true);
    for (const [v, at] of [[l, 4], [c, 6]]) {  // the same fields, at 4 in the local header, 6 in the central
      v.setUint16(at, zip64 ? 45 : 20, true);  // version needed
      v.setUint16(at + 2, 0x0800, true);      // names in UTF-8
      v.setUint16(at + 4, 0, true);           // stored
      v.setUint32(at + 6, dos, true);
      v.setUint32(at + 10, e.crc, true);
      v.setUint32(at + 14, zip64 ? big : size, true);
      v.setUint32(at + 18, zip64 ? big : size, true);
      v.setUint16(at + 22, name.length, true);
    }
    l.setUint16(28, zip64 ? 20 : 0, true);
    local.set(name, 30);
    if (zip64) {
      l.setUint16(30 + name.length, 1, true);
      l.setUint16(32 + name.length, 16, true);
      l.setBigUint64(34 + name.length, BigInt(size), true);
      l.setBigUint64(42 + name.length, BigInt(size), true);
    }
    c.setUint16(30, extra, true);
    c.setUint32(42, zip64 ? big : offset, true);
    entry.set(name, 46);
    if (zip64) {
      const at = 46 + name.length;
      c.setUint16(at, 1, true);
      c.setUint16(at + 2, 24, true);
      c.setBigUint64(at + 4, BigInt(size), true);
      c.setBigUint64(at + 12, BigInt(size), true);
      c.setBigUint64(at + 20, BigInt(offset), true);
    }
    parts.push(local, e.blob);
    central.push(entry);
    offset += local.length + size;
  }
  const centralSize = central.reduce((n, b) => n + b.length, 0);
  parts.push(...central, ...zipEnd(entries.length, centralSize, offset));
  return new Blob(parts, { type: 'application/zip' });
}

// The end records: ZIP64's record and locator first where a count, size or offset needs them.
function zipEnd(count, centralSize, centralAt) {
  const big = 0xFFFFFFFF, out = [];
  const zip64 = count >= 0xFFFF || centralSize >= big || centralAt >= big;
  if (zip64) {
    const b = new Uint8Array(56 + 20), v = new DataView(b.buffer);
    v.setUint32(0, 0x06064b50, true);
    v.setBigUint64(4, 44n, true);
    v.setUint16(12, 45, true);
    v.setUint16(14, 45, true);
    v.setBigUint64(24, BigInt(count), true);
    v.setBigUint64(32, BigInt(count), true);
    v.setBigUint64(40, BigInt(centralSize), true);
    v.setBigUint64(48, BigInt(centralAt), true);
    v.setUint32(56, 0x07064b50, true);
    v.setBigUint64(64, BigInt(centralAt + centralSize), true);
    v.setUint32(72, 1, true);
    out.push(b);
  }
  const b = new Uint8Array(22), v = new DataView(b.buffer);
  v.setUint32(0, 0x06054b50, true);
  v.setUint16(8, zip64 ? 0xFFFF : count, true);
  v.setUint16(10, zip64 ? 0xFFFF : count, true);
  v.setUint32(12, zip64 ? big : centralSize, true);
  v.setUint32(16, zip64 ? big : centralAt, true);
  out.push(b);
  return out;
}

function dosTime(ms) {
  const d = new Date(ms || Date.now());
  if (d.getFullYear() < 1980) return (1 << 21) | (1 << 16);
  return ((d.getFullYear() - 1980) << 25 | (d.getMonth() + 1) << 21 | d.getDate() << 16 |
          d.getHours() << 11 | d.getMinutes() << 5 | d.getSeconds() >> 1) >>> 0;
}
