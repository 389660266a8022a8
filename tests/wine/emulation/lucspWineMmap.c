/* Preloaded into 32-bit Wine processes that run under qemu-i386 on kernels without IA-32 support (see
 * README.md beside this file). Built freestanding (no 32-bit libc headers needed):
 *   gcc -m32 -O2 -shared -fPIC -nostdlib -fno-stack-protector -o liblucspwinemmap.so lucspWineMmap.c
 *
 * qemu 7.2 does not honour MAP_FIXED_NOREPLACE: it treats the address as a hint, maps elsewhere, and
 * Wine's start-up, which reserves its address space with such calls and halves the range on every
 * failure, then makes some 65,000 slow calls (about a minute per process). Here a request that overlaps
 * a mapping this process already made fails at once with EEXIST, as the kernel would answer it; every
 * other request goes to qemu as before. */

typedef unsigned int size_t;
typedef unsigned int uptr;
typedef long long off64_t;

#define MAP_FAILED ((void*)-1)
#define MAP_FIXED_NOREPLACE 0x100000
#define EEXIST 17
#define RTLD_NEXT ((void*)-1)
#define MAX_RANGES 1024
/* Small mappings are not worth the bookkeeping: Wine's failing attempts are against big reservations. */
#define MIN_TRACKED (1u << 20)

extern void* dlsym(void* handle, const char* name);
extern int* __errno_location(void);

typedef void* (*mmap64_fn)(void*, size_t, int, int, int, off64_t);
typedef int (*munmap_fn)(void*, size_t);

struct range {
    uptr lo, hi;
};

static struct range ranges[MAX_RANGES];
static int nranges;
static volatile int lock;
static mmap64_fn real_mmap64;
static munmap_fn real_munmap;

static void take(void) {
    while (__sync_lock_test_and_set(&lock, 1)) {
    }
}

static void drop(void) {
    __sync_lock_release(&lock);
}

static void resolve(void) {
    if (!real_mmap64) real_mmap64 = (mmap64_fn)dlsym(RTLD_NEXT, "mmap64");
    if (!real_munmap) real_munmap = (munmap_fn)dlsym(RTLD_NEXT, "munmap");
}

static uptr page_end(uptr lo, size_t len) {
    return lo + ((len + 0xfffu) & ~0xfffu);
}

static int overlaps(uptr lo, uptr hi) {
    for (int i = 0; i < nranges; i++)
        if (lo < ranges[i].hi && ranges[i].lo < hi) return 1;
    return 0;
}

/* Removes [lo, hi) from the tracked ranges, splitting a range that contains it. */
static void forget(uptr lo, uptr hi) {
    for (int i = 0; i < nranges; i++) {
        struct range r = ranges[i];
        if (!(lo < r.hi && r.lo < hi)) continue;
        if (lo <= r.lo && hi >= r.hi) {
            ranges[i--] = ranges[--nranges];
        } else if (lo > r.lo && hi < r.hi) {
            ranges[i].hi = lo;
            if (nranges < MAX_RANGES) {
                ranges[nranges].lo = hi;
                ranges[nranges].hi = r.hi;
                nranges++;
            }
        } else if (lo <= r.lo) {
            ranges[i].lo = hi;
        } else {
            ranges[i].hi = lo;
        }
    }
}

static void remember(uptr lo, uptr hi) {
    forget(lo, hi);
    if (hi - lo < MIN_TRACKED || nranges == MAX_RANGES) return;
    ranges[nranges].lo = lo;
    ranges[nranges].hi = hi;
    nranges++;
}

void* mmap64(void* addr, size_t len, int prot, int flags, int fd, off64_t off) {
    resolve();
    uptr lo = (uptr)addr, hi = page_end(lo, len);
    if (flags & MAP_FIXED_NOREPLACE) {
        take();
        int busy = hi < lo || overlaps(lo, hi);
        drop();
        if (busy) {
            *__errno_location() = EEXIST;
            return MAP_FAILED;
        }
        void* p = real_mmap64(addr, len, prot, flags & ~MAP_FIXED_NOREPLACE, fd, off);
        if (p == MAP_FAILED) return p;
        if (p != addr) {
            real_munmap(p, len);
            *__errno_location() = EEXIST;
            return MAP_FAILED;
        }
        take();
        remember(lo, hi);
        drop();
        return p;
    }
    void* p = real_mmap64(addr, len, prot, flags, fd, off);
    if (p != MAP_FAILED) {
        take();
        remember((uptr)p, page_end((uptr)p, len));
        drop();
    }
    return p;
}

void* mmap(void* addr, size_t len, int prot, int flags, int fd, long off) {
    return mmap64(addr, len, prot, flags, fd, (off64_t)(unsigned long)off);
}

int munmap(void* addr, size_t len) {
    resolve();
    int r = real_munmap(addr, len);
    if (r == 0) {
        take();
        forget((uptr)addr, page_end((uptr)addr, len));
        drop();
    }
    return r;
}
