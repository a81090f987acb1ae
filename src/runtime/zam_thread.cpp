// Thread slots, numbered plain locks and one-place mailboxes.
#include "runtime/zam_thread.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kPlainLocks = 16;
constexpr int kPlainBase = 96;

// Plain locks never fail in practice; they are statically initialised so a
// lock taken right after set-up needs no further work.
pthread_mutex_t plain_locks[kPlainLocks] = {
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
    PTHREAD_MUTEX_INITIALIZER};

std::atomic<bool> setup_done{false};

}  // namespace

void zam_mutex_acquire(int n)
{
    if (!setup_done.load(std::memory_order_acquire) || n < 0 || n >= kPlainLocks) return;
    int rc = pthread_mutex_lock(&plain_locks[n]);
    if (rc != 0)
        std::fprintf(stderr, "Failed to lock mutex: %d.\n** [%s]\n", kPlainBase + n, std::strerror(rc));
}

void zam_mutex_release(int n)
{
    if (!setup_done.load(std::memory_order_acquire) || n < 0 || n >= kPlainLocks) return;
    int rc = pthread_mutex_unlock(&plain_locks[n]);
    if (rc != 0)
        std::fprintf(stderr, "Failed to unlock mutex: %d.\n** [%s]\n", kPlainBase + n, std::strerror(rc));
}
