/* Decodes an Ogg Vorbis file with the same decoder calls as VorbisStream, without Python: the
 * file is held in memory and read through callbacks, ov_read delivers host-endian 16-bit
 * interleaved PCM. Used by the tests (as the reference output) and by the benchmark (as the
 * bare decoding loop).
 *
 *   decode FILE [FRAME]     writes the PCM of every link to stdout, after seeking to FRAME
 *   decode --time N FILE    decodes the file N times and prints "<frames> <best seconds>"
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <tremor/ivorbisfile.h>

typedef struct {
    const unsigned char *data;
    long size, pos;
} Memory;

static size_t mem_read(void *ptr, size_t size, size_t nmemb, void *source) {
    Memory *m = source;
    size_t n = size * nmemb, left = (size_t)(m->size - m->pos);
    if (n > left) n = left;
    memcpy(ptr, m->data + m->pos, n);
    m->pos += (long)n;
    return size ? n / size : n;
}

static int mem_seek(void *source, ogg_int64_t offset, int whence) {
    Memory *m = source;
    ogg_int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->pos : m->size;
    if (base + offset < 0) return -1;
    m->pos = (long)(base + offset);
    return 0;
}

static int mem_close(void *source) { (void)source; return 0; }
static long mem_tell(void *source) { return ((Memory *)source)->pos; }

static const ov_callbacks callbacks = {mem_read, mem_seek, mem_close, mem_tell};

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

/* Decodes everything from the current position; writes it to out when out is not null. */
static long long decode(OggVorbis_File *vf, FILE *out) {
    static char pcm[65536];
    long long bytes = 0;
    int link;
    for (;;) {
        long r = ov_read(vf, pcm, sizeof pcm, &link);
        if (r == OV_HOLE) continue;
        if (r < 0) { fprintf(stderr, "ov_read: %ld\n", r); exit(1); }
        if (r == 0) break;
        if (out) fwrite(pcm, 1, (size_t)r, out);
        bytes += r;
    }
    return bytes;
}

int main(int argc, char **argv) {
    int repeat = 0;
    if (argc >= 4 && strcmp(argv[1], "--time") == 0) {
        repeat = atoi(argv[2]);
        argv += 2;
        argc -= 2;
    }
    if (argc < 2) { fprintf(stderr, "usage: decode [--time N] FILE [FRAME]\n"); return 2; }
    FILE *f = fopen(argv[1], "rb");
    if (!f) { perror(argv[1]); return 1; }
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    unsigned char *data = malloc((size_t)size + 1);
    if (fread(data, 1, (size_t)size, f) != (size_t)size) { perror("read"); return 1; }
    fclose(f);

    if (repeat > 0) {
        double best = 1e30;
        long long bytes = 0;
        int channels = 1;
        for (int i = 0; i < repeat; ++i) {
            Memory m = {data, size, 0};
            OggVorbis_File vf;
            double start = now();
            if (ov_open_callbacks(&m, &vf, NULL, 0, callbacks) < 0) { fprintf(stderr, "open\n"); return 1; }
            channels = ov_info(&vf, -1)->channels;
            bytes = decode(&vf, NULL);
            ov_clear(&vf);
            double t = now() - start;
            if (t < best) best = t;
        }
        printf("%lld %.9f\n", bytes / (2 * channels), best);
        return 0;
    }
    Memory m = {data, size, 0};
    OggVorbis_File vf;
    int status = ov_open_callbacks(&m, &vf, NULL, 0, callbacks);
    if (status < 0) { fprintf(stderr, "ov_open_callbacks: %d\n", status); return 1; }
    if (argc >= 3 && (status = ov_pcm_seek(&vf, atoll(argv[2]))) < 0) {
        fprintf(stderr, "ov_pcm_seek: %d\n", status);
        return 1;
    }
    decode(&vf, stdout);
    ov_clear(&vf);
    free(data);
    return 0;
}
