// Thread layer: worker slots, numbered plain locks (0..15) and one-place
// mailboxes (0..31). Locks and mailboxes do nothing until zam_thread_setup ran.
#pragma once

// Plain lock n (0..15). Lock 4 guards messages and the log, lock 8 the
// guarded allocator; lock 8 is always taken before lock 4.
void zam_mutex_acquire(int n);
void zam_mutex_release(int n);
