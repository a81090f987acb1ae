// Private System V shared-memory segments with usage totals.
#include "runtime/zam_sm.h"

#include "runtime/zam_log.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

struct Segment {
    int id = -1;  // -1: entry free
    int64_t size = 0;
    void* address = nullptr;
};

Segment table[ZAM_SM_SEGMENTS];
int64_t bytes_held = 0;
int64_t bytes_peak = 0;

void* const kAllSegments = reinterpret_cast<void*>(~static_cast<uintptr_t>(0));

void release(Segment& s)
{
    shmdt(s.address);
    shmctl(s.id, IPC_RMID, nullptr);
    s = Segment{};
}

}  // namespace

void* zam_sm_get(int64_t size)
{
    Segment* slot = nullptr;
    for (auto& s : table)
        if (s.id < 0) {
            slot = &s;
            break;
        }
    if (slot == nullptr) {
        zam_err("Too many shared memory segments.\n");
        return nullptr;
    }
    int id = size > 0 ? shmget(IPC_PRIVATE, static_cast<size_t>(size), IPC_CREAT | 0600) : -1;
    if (id < 0) {
        zam_err("Failed to get shared memory (%lld bytes).\n** [%s]\n", static_cast<long long>(size),
                std::strerror(size > 0 ? errno : EINVAL));
        return nullptr;
    }
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        zam_err("Failed to attach shared memory.\n** [%s]\n", std::strerror(errno));
        shmctl(id, IPC_RMID, nullptr);
        return nullptr;
    }
    *slot = {id, size, address};
    bytes_held += size;
    bytes_peak = std::max(bytes_peak, bytes_held);
    return address;
}

void zam_sm_free(void* address)
{
    for (auto& s : table) {
        if (s.id < 0 || (address != kAllSegments && s.address != address)) continue;
        bytes_held -= s.size;
        release(s);
    }
}

void zam_sm_exit()
{
    for (auto& s : table)
        if (s.id >= 0) release(s);
}

int zam_sm_id(void* address)
{
    for (const auto& s : table)
        if (s.id >= 0 && s.address == address) return s.id;
    return -1;
}

void* zam_sm_attach(int id)
{
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        zam_err("Failed to attach shared memory.\n** [%s]\n", std::strerror(errno));
        return nullptr;
    }
    return address;
}

void zam_sm_detach(void* address)
{
    if (address != nullptr) shmdt(address);
}

int64_t zam_sm_total()
{
    return bytes_held / 1024;
}

int64_t zam_sm_max()
{
    return bytes_peak / 1024;
}
