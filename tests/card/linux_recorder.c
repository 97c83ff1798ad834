/* A recorder as an operating system runs one: several tracks open at once on a mounted card,
 * written in turns with plain write(2) at real time, through the kernel's page cache. Built
 * static and run inside a virtual machine by linux_cards.py, which cuts the power when this
 * says CUT on the console.
 *
 * linux_recorder [-s SECONDS] [-c SECONDS] [-t SECONDS] [-x] CARD_PATH=SOURCE.wav ...
 *   -t  seconds of audio a turn writes to each track (0.25)
 *   -s  fsync every track every SECONDS of the take
 *   -c  stop writing at SECONDS into the take, say what was written, and wait for the cut
 *   -x  write as fast as the card takes it, then close each take whole (an earlier session)
 * Each take gets its source's bytes, its header's sizes zero until the take is closed.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define MAX_TRACKS 16

struct track {
    const char *name;
    unsigned char *data; /* the source file */
    size_t size, audio_at, per_turn, written;
    int fd;
};

static void die(const char *what, const char *name)
{
    printf("FAIL %s %s: %s\n", what, name, strerror(errno));
    fflush(stdout);
    exit(1);
}

static uint32_t le32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static void put32(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

/* Reads SOURCE whole; finds where its data chunk's audio begins and its bytes a second. */
static void load(struct track *t, const char *source, double turn)
{
    FILE *f = fopen(source, "rb");
    if (!f)
        die("open", source);
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    t->data = malloc((size_t)n);
    if (n < 44 || !t->data || fread(t->data, 1, (size_t)n, f) != (size_t)n)
        die("read", source);
    fclose(f);
    t->size = (size_t)n;
    size_t at = 12;
    uint32_t rate = 0;
    while (at + 8 <= t->size) {
        uint32_t len = le32(t->data + at + 4);
        if (!memcmp(t->data + at, "fmt ", 4))
            rate = le32(t->data + at + 16);
        if (!memcmp(t->data + at, "data", 4))
            break;
        at += 8 + (size_t)len + (len & 1);
    }
    t->audio_at = at + 8;
    uint32_t align = t->data[32] | t->data[33] << 8;
    t->per_turn = (size_t)(rate * turn) / (align ? align : 1) * (align ? align : 1);
}

static void write_all(struct track *t, const unsigned char *p, size_t n)
{
    while (n) {
        ssize_t w = write(t->fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            die("write", t->name);
        p += w;
        n -= (size_t)w;
        t->written += (size_t)w;
    }
}

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

static void sleep_until(double when)
{
    struct timespec ts = {(time_t)when, (long)((when - (double)(time_t)when) * 1e9)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) == EINTR) {
    }
}

static void report(struct track *tracks, int n, const char *why, double at)
{
    for (int k = 0; k < n; k++)
        printf("WROTE %s %zu\n", tracks[k].name, tracks[k].written);
    printf("%s %.3f\n", why, at);
    fflush(stdout);
}

/* The sizes a closed take's header gives, written over the zeros it was opened with. */
static void close_take(struct track *t)
{
    unsigned char head[4];
    put32(head, (uint32_t)(t->written - 8));
    if (pwrite(t->fd, head, 4, 4) != 4)
        die("pwrite", t->name);
    put32(head, (uint32_t)(t->written - t->audio_at));
    if (pwrite(t->fd, head, 4, (off_t)t->audio_at - 4) != 4)
        die("pwrite", t->name);
    if (close(t->fd) != 0)
        die("close", t->name);
}

int main(int argc, char **argv)
{
    struct track tracks[MAX_TRACKS];
    double turn = 0.25, sync_every = 0, cut = 0;
    int fast = 0, opt, n = 0;
    while ((opt = getopt(argc, argv, "t:s:c:x")) != -1) {
        if (opt == 't')
            turn = atof(optarg);
        else if (opt == 's')
            sync_every = atof(optarg);
        else if (opt == 'c')
            cut = atof(optarg);
        else if (opt == 'x')
            fast = 1;
        else
            return 2;
    }
    for (; optind < argc && n < MAX_TRACKS; optind++, n++) {
        char *eq = strchr(argv[optind], '=');
        if (!eq)
            return 2;
        *eq = 0;
        struct track *t = &tracks[n];
        memset(t, 0, sizeof *t);
        t->name = argv[optind];
        load(t, eq + 1, turn);
        memset(t->data + 4, 0, 4); /* sizes unknown until the take is closed */
        memset(t->data + t->audio_at - 4, 0, 4);
    }
    if (!n)
        return 2;
    for (int k = 0; k < n; k++) {
        tracks[k].fd = open(tracks[k].name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (tracks[k].fd < 0)
            die("create", tracks[k].name);
        write_all(&tracks[k], tracks[k].data, tracks[k].audio_at);
    }
    printf("RECORD\n");
    fflush(stdout);
    double start = now(), next_sync = sync_every;
    for (long step = 1;; step++) {
        int more = 0;
        if (!fast) /* a turn's audio is written once it has been heard */
            sleep_until(start + step * turn);
        for (int k = 0; k < n; k++) {
            struct track *t = &tracks[k];
            size_t left = t->size - t->written;
            write_all(t, t->data + t->written, left < t->per_turn ? left : t->per_turn);
            more |= t->written < t->size;
        }
        double at = step * turn;
        if (sync_every > 0 && at + 1e-9 >= next_sync) {
            for (int k = 0; k < n; k++)
                if (fsync(tracks[k].fd) != 0)
                    die("fsync", tracks[k].name);
            printf("FSYNC %.3f\n", at);
            fflush(stdout);
            next_sync += sync_every;
        }
        if (cut > 0 && at + 1e-9 >= cut) {
            report(tracks, n, "CUT", at);
            for (;;)
                pause();
        }
        if (!more)
            break;
    }
    for (int k = 0; k < n; k++)
        close_take(&tracks[k]);
    report(tracks, n, "CLOSED", now() - start);
    return 0;
}
