#include "sockherd.h"

#include <cerrno>
#include <ctime>

namespace sockherd {

static bool accept_paused = false;  // no accept until a descriptor comes back or the time is up
static timespec accept_resume_at;  // when a pause ends, if no descriptor comes back first

void check_fits_select(int fd)
{
    if (fd >= FD_SETSIZE)
        die("descriptor too high for select");
}

void add_to_fd_set(int fd, fd_set *set, int &max_fd)
{
    if (fd < 0 || fd >= FD_SETSIZE)
        return;  // FD_SET beyond the set writes past it
    FD_SET(fd, set);
    if (max_fd < fd)
        max_fd = fd;
}

void pause_accepting()
{
    // Without a clock the pause could end only by a descriptor coming back;
    // better to go on accepting as before.
    if (clock_gettime(CLOCK_MONOTONIC, &accept_resume_at) == -1)
        return;
    accept_resume_at.tv_sec += 1;
    accept_paused = true;
}

void resume_accepting()
{
    accept_paused = false;
}

// While accepting is paused: the time left of the pause for select, or the
// end of the pause when it is over.
static timeval *pause_time_left(timeval *left)
{
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) == -1) {
        accept_paused = false;
        return nullptr;
    }
    long long left_ns =
        (accept_resume_at.tv_sec - now.tv_sec) * 1000000000LL + (accept_resume_at.tv_nsec - now.tv_nsec);
    if (left_ns <= 0) {
        accept_paused = false;
        return nullptr;
    }
    long long left_us = (left_ns + 999) / 1000;  // rounded up: never wake a moment early
    left->tv_sec = static_cast<time_t>(left_us / 1000000);
    left->tv_usec = static_cast<suseconds_t>(left_us % 1000000);
    return left;
}

// SIGCHLD is let through only here, so the handler runs only while we wait
// and nothing else in the daemon is ever interrupted by it.
static int wait_for_events(int max_fd, fd_set *readable, fd_set *writable, timeval *timeout)
{
    sigset_t saved_mask;
    if (sigprocmask(SIG_UNBLOCK, &sigchld_set, &saved_mask) < 0)
        die("unable to unblock SIGCHLD");
    int ready = select(max_fd + 1, readable, writable, nullptr, timeout);
    if (ready < 0 && errno != EINTR)
        warn("select failed");
    if (sigprocmask(SIG_SETMASK, &saved_mask, nullptr) < 0)
        die("unable to restore signal mask");
    return ready;
}

static void run_pass(int listening)
{
    // One snapshot per pass: the gate and at_limit must agree even when
    // reaping lowers the count later in the pass.
    int running = running_children;
    int limit = settings.max_children;

    fd_set readable;
    fd_set writable;
    int max_fd = -1;
    FD_ZERO(&readable);
    add_to_fd_set(self_pipe[0], &readable, max_fd);
    // Only a pause for lack of descriptors sets a timeout; otherwise the
    // wait has none and costs no extra call.
    timeval pause_left;
    timeval *timeout = accept_paused ? pause_time_left(&pause_left) : nullptr;
    if (!accept_paused && (running < limit || settings.refuse_response != nullptr))
        add_to_fd_set(listening, &readable, max_fd);
    FD_ZERO(&writable);
    for (pending_write *record = pending_list; record != nullptr; record = record->next_pending)
        add_to_fd_set(record->conn_fd, &writable, max_fd);

    if (wait_for_events(max_fd, &readable, &writable, timeout) < 0)
        return;

    int at_limit = running >= limit ? 1 : 0;
    if (FD_ISSET(self_pipe[0], &readable))
        reap_children();
    if (FD_ISSET(listening, &readable))
        handle_accept(listening, at_limit);
    drain_pending_writes(&writable);
}

void main_loop(int listening)
{
    for (;;)
        run_pass(listening);
}

}  // namespace sockherd
