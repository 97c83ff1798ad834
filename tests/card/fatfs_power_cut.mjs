// Records a take onto a card image with ChaN's FatFs, the driver inside many recorders, and cuts
// the power mid-take: the image keeps what FatFs had sent to the disk, and no more, with neither
// f_close nor (unless asked, once, half-way) f_sync. Usage:
// node fatfs_power_cut.mjs JS_FATFS_DIR IMAGE TAKE NAME [sync-once]
import { readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

const [moduleDir, imagePath, takePath, name, sync] = process.argv.slice(2);
const FatFs = await import(pathToFileURL(join(moduleDir, 'dist', 'fatfs.js')).href);
const image = readFileSync(imagePath);
const sector = image.readUInt16LE(11);

const disk = {
  initialize: () => 0,
  status: () => 0,
  read(ff, pdrv, buff, first, count) {
    ff.HEAPU8.set(image.subarray(first * sector, (first + count) * sector), buff);
    return FatFs.RES_OK;
  },
  write(ff, pdrv, buff, first, count) {
    image.set(ff.HEAPU8.subarray(buff, buff + count * sector), first * sector);
    return FatFs.RES_OK;
  },
  ioctl(ff, pdrv, cmd, buff) {
    if (cmd === FatFs.GET_SECTOR_COUNT) ff.setValue(buff, image.length / sector, 'i32');
    else if (cmd === FatFs.GET_SECTOR_SIZE) ff.setValue(buff, sector, 'i16');
    else if (cmd === FatFs.GET_BLOCK_SIZE) ff.setValue(buff, 1, 'i32');
    return FatFs.RES_OK;
  },
};
const ok = (result, what) => { if (result !== FatFs.FR_OK) throw new Error(`${what}: FatFs error ${result}`); };

const ff = await FatFs.create({ diskio: disk });
const fs = ff.malloc(FatFs.sizeof_FATFS), fil = ff.malloc(FatFs.sizeof_FIL), done = ff.malloc(4);
ok(ff.f_mount(fs, '', 1), 'mount');
ok(ff.f_open(fil, name, FatFs.FA_WRITE | FatFs.FA_CREATE_ALWAYS), 'open');
// A recorder writes its header with sizes of 0 first, then the audio as it comes, a buffer at a time.
const take = readFileSync(takePath);
take.writeUInt32LE(0, 4);
take.writeUInt32LE(0, take.indexOf('data') + 4);
const buffer = ff.malloc(4096);
for (let at = 0; at < take.length; at += 4096) {
  const piece = take.subarray(at, at + 4096);
  ff.HEAPU8.set(piece, buffer);
  ok(ff.f_write(fil, buffer, piece.length, done), 'write');
  if (sync && at <= take.length / 2 && at + 4096 > take.length / 2) ok(ff.f_sync(fil), 'sync');
}
writeFileSync(imagePath, image);  // the power goes: what FatFs sent to the disk is all there is
