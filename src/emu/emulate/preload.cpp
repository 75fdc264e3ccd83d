/* Preloaded into the program that quorvel-emulate runs, ahead of umockdev's
 * own library, for what umockdev cannot present:
 *   QUORVEL_EMULATE_DENY=PATH:PATH  opening these paths fails with EACCES,
 *                                   as for a user without access (even root);
 *   QUORVEL_EMULATE_FAST_WAITS=1    pauses of a second or more last a
 *                                   hundredth as long;
 * and, always, a uevent monitor socket of its own for each program (below).
 */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>
#include <sys/types.h>
#include <time.h>

extern "C" {

static int denied(const char* path) {
    const char* list = getenv("QUORVEL_EMULATE_DENY");
    if (!list || !path) return 0;
    const size_t n = strlen(path);
    for (const char* p = list; *p;) {
        const char* end = strchr(p, ':');
        const size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
        if (len == n && strncmp(p, path, n) == 0) return 1;
        if (!end) break;
        p = end + 1;
    }
    return 0;
}

static mode_t modeOf(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);

// One wrapper for each of the four entry points: a denied node fails as the
// kernel would refuse it, anything else goes on to the C library.
#define OPEN_WRAPPER(name, type, params, args)           \
    int name params {                                    \
        static type next;                                \
        va_list modeArg;                                 \
        va_start(modeArg, flags);                        \
        const mode_t mode = modeOf(flags, modeArg);      \
        va_end(modeArg);                                 \
        if (denied(path)) {                              \
            errno = EACCES;                              \
            return -1;                                   \
        }                                                \
        if (!next) next = (type)dlsym(RTLD_NEXT, #name); \
        return next args;                                \
    }

OPEN_WRAPPER(open, open_fn, (const char* path, int flags, ...), (path, flags, mode))
OPEN_WRAPPER(open64, open_fn, (const char* path, int flags, ...), (path, flags, mode))
OPEN_WRAPPER(openat, openat_fn, (int dir, const char* path, int flags, ...), (dir, path, flags, mode))
OPEN_WRAPPER(openat64, openat_fn, (int dir, const char* path, int flags, ...), (dir, path, flags, mode))

int __open_2(const char* path, int flags) { return open(path, flags); }
int __open64_2(const char* path, int flags) { return open64(path, flags); }

static int fast(void) {
    const char* v = getenv("QUORVEL_EMULATE_FAST_WAITS");
    return v && *v && strcmp(v, "0") != 0;
}

static struct timespec shortened(const struct timespec* t) {
    struct timespec s = *t;
    if (s.tv_sec >= 1) {
        const long long ns = ((long long)s.tv_sec * 1000000000LL + s.tv_nsec) / 100;
        s.tv_sec = (time_t)(ns / 1000000000LL);
        s.tv_nsec = (long)(ns % 1000000000LL);
    }
    return s;
}

int nanosleep(const struct timespec* request, struct timespec* remaining) {
    static int (*next)(const struct timespec*, struct timespec*);
    if (!next) next = (int (*)(const struct timespec*, struct timespec*))dlsym(RTLD_NEXT, "nanosleep");
    if (!request || !fast()) return next(request, remaining);
    const struct timespec s = shortened(request);
    const int rc = next(&s, NULL);
    if (remaining) remaining->tv_sec = remaining->tv_nsec = 0;
    return rc;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request, struct timespec* remaining) {
    static int (*next)(clockid_t, int, const struct timespec*, struct timespec*);
    if (!next)
        next = (int (*)(clockid_t, int, const struct timespec*, struct timespec*))dlsym(RTLD_NEXT, "clock_nanosleep");
    if (!request || (flags & TIMER_ABSTIME) || !fast()) return next(clock, flags, request, remaining);
    const struct timespec s = shortened(request);
    const int rc = next(clock, flags, &s, NULL);
    if (remaining) remaining->tv_sec = remaining->tv_nsec = 0;
    return rc;
}

/* umockdev turns a uevent monitor's netlink socket into a Unix socket and
 * binds it to $UMOCKDEV_DIR/event<fd>, removing whatever is there. Programs
 * started together open their monitor at the same descriptor number, so one
 * took another's place: its bind failed (libusb could not start) or it never
 * heard an event again. Such a socket is bound here, past umockdev, to a name
 * of its own process; umockdev sends each uevent to every event<digit>*
 * socket in the folder. */
int bind(int fd, const struct sockaddr* address, socklen_t length) {
    static int (*next)(int, const struct sockaddr*, socklen_t);
    if (!next) next = (int (*)(int, const struct sockaddr*, socklen_t))dlsym(RTLD_NEXT, "bind");
    const char* root = getenv("UMOCKDEV_DIR");
    struct sockaddr_storage own;
    socklen_t ownLength = sizeof own;
    if (root && address && length >= sizeof(sa_family_t) && address->sa_family == AF_NETLINK &&
        getsockname(fd, (struct sockaddr*)&own, &ownLength) == 0 && own.ss_family == AF_UNIX) {
        struct sockaddr_un unique;
        memset(&unique, 0, sizeof unique);
        unique.sun_family = AF_UNIX;
        const int n = snprintf(unique.sun_path, sizeof unique.sun_path, "%s/event%d.%ld", root, fd, (long)getpid());
        if (n > 0 && (size_t)n < sizeof unique.sun_path) {
            unlink(unique.sun_path);  // left by an earlier process of this number
            return (int)syscall(SYS_bind, fd, (const struct sockaddr*)&unique, (socklen_t)sizeof unique);
        }
    }
    return next(fd, address, length);
}

}  // extern "C"
