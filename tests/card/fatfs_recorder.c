/* A recorder on ChaN's FatFs, for the card check: it formats a card image, copies older takes
 * in and closes them, deletes files, then records a session of several files open at once, fed
 * in turns, and stops as a dead battery stops it: no f_close, no f_sync, no unmount. The image
 * then holds what FatFs had sent to disk_write, and no more. Commands run in order:
 *
 *   fatfs_recorder IMAGE COMMAND...
 *     mkfs fat|fat32|exfat|any CLUSTER_BYTES sfd|mbr   (over old data: a quick format)
 *     mkdir PATH | copy LOCAL PATH | unlink PATH
 *     track PATH LOCAL BYTES   a file of the session, given BYTES of audio each turn
 *     sync FRACTION            f_sync every track once, when this much of the audio is written
 *     cut AMOUNT               the power goes when this fraction (<= 1) or these bytes are written
 *     record                   the session; it must come last
 *
 * It prints JSON: per track the bytes written, the bytes that reached the card (the last partial
 * sector stays in the file's own buffer while it is dirty), and the clusters FatFs gave it, read
 * after the cut by closing the files with every write kept in memory, away from the image. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "ff.h"
#include "diskio.h"

#ifndef FA_DIRTY
#define FA_DIRTY 0x80 /* as ff.c has it: the file's buffer holds a sector not yet written */
#endif

static FILE *image;
static long long image_sectors;
static int shadow; /* after the cut: writes go to memory only */
static struct { LBA_t sector; BYTE data[512]; } *kept;
static int n_kept;

DSTATUS disk_initialize(BYTE pdrv) { (void)pdrv; return image ? 0 : STA_NOINIT; }
DSTATUS disk_status(BYTE pdrv) { (void)pdrv; return image ? 0 : STA_NOINIT; }

DRESULT disk_read(BYTE pdrv, BYTE *buff, LBA_t sector, UINT count) {
    (void)pdrv;
    if (fseeko(image, (off_t)sector * 512, SEEK_SET) || fread(buff, 512, count, image) != count) return RES_ERROR;
    for (int k = 0; k < n_kept; k++)
        if (kept[k].sector - sector < count) memcpy(buff + (kept[k].sector - sector) * 512, kept[k].data, 512);
    return RES_OK;
}

DRESULT disk_write(BYTE pdrv, const BYTE *buff, LBA_t sector, UINT count) {
    (void)pdrv;
    if (!shadow) { /* each sector on the card at once, as a card receives it */
        if (fseeko(image, (off_t)sector * 512, SEEK_SET) || fwrite(buff, 512, count, image) != count) return RES_ERROR;
        return fflush(image) ? RES_ERROR : RES_OK;
    }
    for (UINT n = 0; n < count; n++) {
        int k = 0;
        while (k < n_kept && kept[k].sector != sector + n) k++;
        if (k == n_kept) {
            kept = realloc(kept, sizeof *kept * (size_t)++n_kept);
            kept[k].sector = sector + n;
        }
        memcpy(kept[k].data, buff + n * 512, 512);
    }
    return RES_OK;
}

DRESULT disk_ioctl(BYTE pdrv, BYTE cmd, void *buff) {
    (void)pdrv;
    if (cmd == GET_SECTOR_COUNT) *(LBA_t *)buff = (LBA_t)image_sectors;
    else if (cmd == GET_SECTOR_SIZE) *(WORD *)buff = 512;
    else if (cmd == GET_BLOCK_SIZE) *(DWORD *)buff = 1;
    return RES_OK;
}

static void fail(const char *what, const char *arg, FRESULT res) {
    fprintf(stderr, "fatfs_recorder: %s %s: FatFs error %d\n", what, arg, (int)res);
    exit(1);
}

static BYTE *slurp(const char *path, long *size) {
    FILE *f = fopen(path, "rb");
    if (!f) { perror(path); exit(1); }
    fseek(f, 0, SEEK_END);
    *size = ftell(f);
    rewind(f);
    BYTE *data = malloc((size_t)*size + 1);
    if (fread(data, 1, (size_t)*size, f) != (size_t)*size) { perror(path); exit(1); }
    fclose(f);
    return data;
}

static unsigned long le32(const BYTE *p) { return p[0] | p[1] << 8 | p[2] << 16 | (unsigned long)p[3] << 24; }

/* The start of the audio: a recorder writes the header, its sizes 0, before any of it. */
static long header_of(BYTE *wave, long size) {
    long at = 12;
    while (at + 8 <= size && memcmp(wave + at, "data", 4)) {
        if (!memcmp(wave + at, "fact", 4)) memset(wave + at + 8, 0, 4); /* no frames counted yet either */
        at += 8 + (long)((le32(wave + at + 4) + 1) & ~1UL);
    }
    if (at + 8 > size) { fprintf(stderr, "fatfs_recorder: no data chunk\n"); exit(1); }
    memset(wave + 4, 0, 4);
    memset(wave + at + 4, 0, 4);
    return at + 8;
}

#define MAX_TRACKS 16
static struct {
    const char *path, *local;
    long per_turn, size, header, at, synced;
    BYTE* wave;
    FIL fil;
} track[MAX_TRACKS];

static void put(FIL *fp, const BYTE *data, UINT n, const char *path) {
    UINT done;
    FRESULT res = f_write(fp, data, n, &done);
    if (res != FR_OK || done != n) fail("write", path, res ? res : FR_DENIED);
}

static void record(FATFS *fs, int n, double sync_at, double cut_at) {
    long long audio = 0, written = 0, cut, sync;
    for (int i = 0; i < n; i++) audio += track[i].size - track[i].header;
    cut = cut_at <= 1 ? (long long)(cut_at * audio) : (long long)cut_at;
    sync = sync_at > 0 ? (long long)(sync_at * audio) : -1;
    for (int i = 0; i < n; i++) {
        FRESULT res = f_open(&track[i].fil, track[i].path, FA_WRITE | FA_CREATE_ALWAYS);
        if (res != FR_OK) fail("open", track[i].path, res);
    }
    for (int i = 0; i < n; i++) put(&track[i].fil, track[i].wave, (UINT)track[i].header, track[i].path);
    for (int i = 0; i < n; i++) track[i].at = track[i].header;
    for (int going = 1; going && written < cut;) {
        going = 0;
        for (int i = 0; i < n && written < cut; i++) {
            long left = track[i].size - track[i].at, piece = left < track[i].per_turn ? left : track[i].per_turn;
            if (piece > cut - written) piece = (long)(cut - written);
            if (piece <= 0) continue;
            put(&track[i].fil, track[i].wave + track[i].at, (UINT)piece, track[i].path);
            track[i].at += piece, written += piece, going = 1;
        }
        if (sync >= 0 && written >= sync) {
            for (int i = 0; i < n; i++) {
                if (f_sync(&track[i].fil) != FR_OK) fail("sync", track[i].path, FR_DISK_ERR);
                track[i].synced = (long)track[i].fil.fptr;
            }
            sync = -1;
        }
    }
    /* The power goes here. What follows only reads what FatFs knew, and writes nothing to the card. */
    LBA_t window = fs->winsect;
    int window_dirty = fs->wflag & 1;
    FSIZE_t reached[MAX_TRACKS], pointer[MAX_TRACKS];
    int dirty[MAX_TRACKS];
    for (int i = 0; i < n; i++) {
        FIL *fp = &track[i].fil;
        pointer[i] = fp->fptr;
        dirty[i] = (fp->flag & FA_DIRTY) != 0;
        reached[i] = dirty[i] ? (fp->fptr - 1) / 512 * 512 : fp->fptr;
    }
    shadow = 1;
    for (int i = 0; i < n; i++) f_close(&track[i].fil);
    const char *types[] = {"", "FAT12", "FAT16", "FAT32", "exFAT"};
    DWORD cs = fs->csize * 512UL;
    printf("{\"fs\": \"%s\", \"cluster\": %lu, \"base\": %llu, \"window\": %llu, \"window_dirty\": %d, \"files\": [",
           types[fs->fs_type], (unsigned long)cs, (unsigned long long)fs->volbase * 512, (unsigned long long)window,
           window_dirty);
    for (int i = 0; i < n; i++) {
        FIL fp;
        printf("%s\n  {\"name\": \"%s\", \"source\": \"%s\", \"written\": %llu, \"reached\": %llu, \"dirty\": %d, "
               "\"synced\": %ld, \"clusters\": [", i ? "," : "", track[i].path, track[i].local,
               (unsigned long long)pointer[i], (unsigned long long)reached[i], dirty[i], track[i].synced);
        if (f_open(&fp, track[i].path, FA_READ) != FR_OK) fail("reopen", track[i].path, FR_DISK_ERR);
        DWORD first = 0, last = 0, run = 0;
        int runs = 0;
        for (FSIZE_t at = 0; at < f_size(&fp); at += cs) {
            f_lseek(&fp, at + 1);
            DWORD c = at ? fp.clust : fp.obj.sclust;
            if (run && c == last + 1) { last = c, run++; continue; }
            if (run) printf("%s[%lu, %lu]", runs++ ? ", " : "", (unsigned long)first, (unsigned long)run);
            first = last = c, run = 1;
        }
        if (run) printf("%s[%lu, %lu]", runs ? ", " : "", (unsigned long)first, (unsigned long)run);
        printf("]}");
    }
    printf("]}\n");
    fflush(stdout);
    _Exit(0);
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: fatfs_recorder IMAGE COMMAND... (see the head of fatfs_recorder.c)\n");
        return 2;
    }
    image = fopen(argv[1], "r+b");
    if (!image) { perror(argv[1]); return 1; }
    fseeko(image, 0, SEEK_END);
    image_sectors = ftello(image) / 512;
    static FATFS fs;
    static BYTE work[FF_MAX_SS * 64];
    int mounted = 0, n = 0;
    double sync_at = 0, cut_at = 1;
    for (int a = 2; a < argc; a++) {
        const char *cmd = argv[a];
        FRESULT res = FR_OK;
        if (strcmp(cmd, "mkfs") && !mounted) {
            if ((res = f_mount(&fs, "", 1)) != FR_OK) fail("mount", argv[1], res);
            mounted = 1;
        }
        if (!strcmp(cmd, "mkfs") && a + 3 < argc) {
            const char *kind = argv[a + 1];
            MKFS_PARM opt = {!strcmp(kind, "fat") ? FM_FAT : !strcmp(kind, "fat32") ? FM_FAT32 :
                             !strcmp(kind, "exfat") ? FM_EXFAT : FM_ANY, 0, 0, 0, (DWORD)atol(argv[a + 2])};
            if (!strcmp(argv[a + 3], "sfd")) opt.fmt |= FM_SFD;
            if (mounted) f_unmount("");
            if ((res = f_mkfs("", &opt, work, sizeof work)) != FR_OK) fail("mkfs", kind, res);
            mounted = 0, a += 3;
        } else if (!strcmp(cmd, "mkdir") && a + 1 < argc) {
            if ((res = f_mkdir(argv[++a])) != FR_OK && res != FR_EXIST) fail("mkdir", argv[a], res);
        } else if (!strcmp(cmd, "unlink") && a + 1 < argc) {
            if ((res = f_unlink(argv[++a])) != FR_OK) fail("unlink", argv[a], res);
        } else if (!strcmp(cmd, "copy") && a + 2 < argc) {
            long size;
            BYTE *data = slurp(argv[a + 1], &size);
            FIL fp;
            if ((res = f_open(&fp, argv[a + 2], FA_WRITE | FA_CREATE_ALWAYS)) != FR_OK) fail("open", argv[a + 2], res);
            for (long at = 0; at < size; at += 32768) put(&fp, data + at, (UINT)(size - at < 32768 ? size - at : 32768),
                                                          argv[a + 2]);
            if ((res = f_close(&fp)) != FR_OK) fail("close", argv[a + 2], res);
            free(data), a += 2;
        } else if (!strcmp(cmd, "track") && a + 3 < argc && n < MAX_TRACKS) {
            track[n].path = argv[a + 1], track[n].local = argv[a + 2], track[n].per_turn = atol(argv[a + 3]);
            track[n].wave = slurp(track[n].local, &track[n].size);
            track[n].header = header_of(track[n].wave, track[n].size);
            n++, a += 3;
        } else if (!strcmp(cmd, "sync") && a + 1 < argc) {
            sync_at = atof(argv[++a]);
        } else if (!strcmp(cmd, "cut") && a + 1 < argc) {
            cut_at = atof(argv[++a]);
        } else if (!strcmp(cmd, "record") && n > 0) {
            record(&fs, n, sync_at, cut_at);
        } else {
            fprintf(stderr, "fatfs_recorder: cannot do \"%s\" here\n", cmd);
            return 2;
        }
    }
    if (mounted) f_unmount("");
    return fclose(image) ? 1 : 0;
}
