/* Heap-call counter, preloaded (LD_PRELOAD) into one hub process by the
 * benchmark's allocation run and into nothing else. Every allocating entry
 * point of the C library is counted, then handed to glibc's own allocator.
 * The counters live in a page the benchmark shares with the process: the
 * descriptor named by HUB_BENCH_ALLOC_FD is mapped at load and then closed,
 * so the process's own descriptors are as they would be without it.
 *
 * Page layout, 64-bit words: [0] allocating calls, [1] bytes asked for,
 * [2] calls to free with a non-null pointer. */
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t n, size_t size);
extern void *__libc_realloc(void *p, size_t size);
extern void __libc_free(void *p);
extern void *__libc_memalign(size_t align, size_t size);
extern void *__libc_valloc(size_t size);
extern void *__libc_pvalloc(size_t size);

static uint64_t local_words[3];
static uint64_t *words = local_words;

__attribute__((constructor)) static void attach_counter_page(void) {
    const char *s = getenv("HUB_BENCH_ALLOC_FD");
    if (!s) return;
    int fd = atoi(s);
    void *page = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (page == MAP_FAILED) return;
    /* What was counted before the page was there (the loader's own calls). */
    uint64_t *shared = page;
    shared[0] += local_words[0];
    shared[1] += local_words[1];
    shared[2] += local_words[2];
    words = shared;
}

static void count(size_t bytes) {
    __atomic_fetch_add(&words[0], 1, __ATOMIC_RELAXED);
    __atomic_fetch_add(&words[1], bytes, __ATOMIC_RELAXED);
}

void *malloc(size_t size) {
    count(size);
    return __libc_malloc(size);
}

void *calloc(size_t n, size_t size) {
    count(n * size);
    return __libc_calloc(n, size);
}

void *realloc(void *p, size_t size) {
    count(size);
    return __libc_realloc(p, size);
}

void free(void *p) {
    if (p) __atomic_fetch_add(&words[2], 1, __ATOMIC_RELAXED);
    __libc_free(p);
}

void *memalign(size_t align, size_t size) {
    count(size);
    return __libc_memalign(align, size);
}

void *aligned_alloc(size_t align, size_t size) {
    count(size);
    return __libc_memalign(align, size);
}

int posix_memalign(void **out, size_t align, size_t size) {
    if (align < sizeof(void *) || (align & (align - 1)) != 0) return EINVAL;
    count(size);
    void *p = __libc_memalign(align, size);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

void *valloc(size_t size) {
    count(size);
    return __libc_valloc(size);
}

void *pvalloc(size_t size) {
    count(size);
    return __libc_pvalloc(size);
}
