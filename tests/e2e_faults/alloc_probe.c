/* Heap-call probe, preloaded (LD_PRELOAD) into the hub by the allocation test
 * and into nothing else. Every allocating entry point of the C library (and
 * with them operator new, which calls malloc) is counted while the probe is
 * armed, then handed to glibc's own allocator.
 *
 *   SIGUSR1  arm: counting starts from zero; "alloc-probe: armed" on stderr
 *   SIGUSR2  report: "alloc-probe: N heap calls since armed" on stderr, then
 *            for each of the first few calls its kind, size and backtrace
 *
 * With HUB_ALLOC_PROBE_ARMED=1 in the environment it is armed from the
 * start, so it also sees start-up (the probe's own check).
 *
 * The signals are taken by a thread of the probe's own with sigwait: they are
 * blocked in the main thread before main runs, so every thread of the hub
 * inherits the block and none of its system calls is ever interrupted. */
#define _GNU_SOURCE
#include <errno.h>
#include <execinfo.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t n, size_t size);
extern void *__libc_realloc(void *p, size_t size);
extern void __libc_free(void *p);
extern void *__libc_memalign(size_t align, size_t size);
extern void *__libc_valloc(size_t size);
extern void *__libc_pvalloc(size_t size);

#define KEPT_CALLS 8
#define KEPT_FRAMES 24

struct call {
    const char *kind;
    size_t size;
    int frames;
    void *frame[KEPT_FRAMES];
};

static volatile int armed;
static unsigned long calls;  /* atomic: __atomic builtins */
static struct call kept[KEPT_CALLS];
/* initial-exec: no __tls_get_addr (which may allocate) on the way in */
static __thread int inside __attribute__((tls_model("initial-exec")));

static void note(const char *kind, size_t size) {
    if (!armed || inside) return;
    inside = 1;
    unsigned long n = __atomic_fetch_add(&calls, 1, __ATOMIC_RELAXED);
    if (n < KEPT_CALLS) {
        kept[n].kind = kind;
        kept[n].size = size;
        kept[n].frames = backtrace(kept[n].frame, KEPT_FRAMES);
    }
    inside = 0;
}

static void say(const char *text) {
    size_t len = strlen(text);
    while (len > 0) {
        ssize_t n = write(STDERR_FILENO, text, len);
        if (n <= 0) return;
        text += n;
        len -= (size_t)n;
    }
}

static void report(void) {
    char line[160];
    unsigned long n = __atomic_load_n(&calls, __ATOMIC_RELAXED);
    for (unsigned long i = 0; i < n && i < KEPT_CALLS; ++i) {
        snprintf(line, sizeof line, "alloc-probe: call %lu: %s(%zu) from\n", i + 1, kept[i].kind, kept[i].size);
        say(line);
        backtrace_symbols_fd(kept[i].frame, kept[i].frames, STDERR_FILENO);
    }
    snprintf(line, sizeof line, "alloc-probe: %lu heap calls since armed\n", n);
    say(line);
}

static void *signal_thread(void *arg) {
    sigset_t *set = arg;
    inside = 1; /* nothing this thread does is the hub's */
    for (;;) {
        int signo;
        if (sigwait(set, &signo) != 0) continue;
        if (signo == SIGUSR1) {
            armed = 0;
            __atomic_store_n(&calls, 0, __ATOMIC_RELAXED);
            armed = 1;
            say("alloc-probe: armed\n");
        } else if (signo == SIGUSR2) {
            report();
        }
    }
    return NULL;
}

__attribute__((constructor)) static void start_probe(void) {
    static sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &set, NULL);
    /* backtrace loads its unwinder on first use: do that now, not armed. */
    void *frames[4];
    (void)backtrace(frames, 4);
    pthread_t thread;
    pthread_create(&thread, NULL, signal_thread, &set);
    const char *armed_at_load = getenv("HUB_ALLOC_PROBE_ARMED");
    if (armed_at_load && strcmp(armed_at_load, "1") == 0) armed = 1;
}

void *malloc(size_t size) {
    note("malloc", size);
    return __libc_malloc(size);
}

void *calloc(size_t n, size_t size) {
    note("calloc", n * size);
    return __libc_calloc(n, size);
}

void *realloc(void *p, size_t size) {
    note("realloc", size);
    return __libc_realloc(p, size);
}

void *reallocarray(void *p, size_t n, size_t size) {
    if (size != 0 && n > SIZE_MAX / size) {
        errno = ENOMEM;
        return NULL;
    }
    note("reallocarray", n * size);
    return __libc_realloc(p, n * size);
}

void free(void *p) { __libc_free(p); }

void *memalign(size_t align, size_t size) {
    note("memalign", size);
    return __libc_memalign(align, size);
}

void *aligned_alloc(size_t align, size_t size) {
    note("aligned_alloc", size);
    return __libc_memalign(align, size);
}

int posix_memalign(void **out, size_t align, size_t size) {
    if (align < sizeof(void *) || (align & (align - 1)) != 0) return EINVAL;
    note("posix_memalign", size);
    void *p = __libc_memalign(align, size);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

void *valloc(size_t size) {
    note("valloc", size);
    return __libc_valloc(size);
}

void *pvalloc(size_t size) {
    note("pvalloc", size);
    return __libc_pvalloc(size);
}
