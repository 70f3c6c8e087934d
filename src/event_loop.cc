#include "sockherd.h"

#include <cerrno>

namespace sockherd {

void add_to_fd_set(int fd, fd_set *set, int &max_fd)
{
    if (fd < 0 || fd >= FD_SETSIZE)
        return;  // FD_SET beyond the set writes past it
    FD_SET(fd, set);
    if (max_fd < fd)
        max_fd = fd;
}

// SIGCHLD is let through only here, so the handler runs only while we wait
// and nothing else in the daemon is ever interrupted by it.
static int wait_for_events(int max_fd, fd_set *readable, fd_set *writable)
{
    sigset_t saved_mask;
    if (sigprocmask(SIG_UNBLOCK, &sigchld_set, &saved_mask) < 0)
        die("unable to unblock SIGCHLD");
    int ready = select(max_fd + 1, readable, writable, nullptr, nullptr);
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
    if (running < limit || settings.refuse_response != nullptr)
        add_to_fd_set(listening, &readable, max_fd);
    FD_ZERO(&writable);
    for (pending_write *record = pending_list; record != nullptr; record = record->next_pending)
        add_to_fd_set(record->conn_fd, &writable, max_fd);

    if (wait_for_events(max_fd, &readable, &writable) < 0)
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
