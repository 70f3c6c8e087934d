#include "sockherd.h"

#include <cstdlib>
#include <unistd.h>

namespace sockherd {

// A graceful stop (-G): on SIGTERM the daemon stops accepting and lets what
// it holds finish, for a while; then it asks the commands still running to
// stop, waits a little more for them, and exits.

drain_state draining = drain_none;
static timespec drain_until;  // CLOCK_MONOTONIC: the end of this phase of the drain

// How long the daemon still collects commands once it has told them to stop.
constexpr int drain_grace_seconds = 2;

static void set_phase_end(int seconds)
{
    // Without a clock no end could be kept: the phase ends in this pass.
    if (clock_gettime(CLOCK_MONOTONIC, &drain_until) == -1)
        drain_until = timespec{};
    drain_until.tv_sec += seconds;
}

void start_drain()
{
    // Clients that connect from now on are the next daemon's: under -L they
    // wait in the service manager's queue, else the system turns them away.
    (void)close(listen_fd);
    listen_fd = -1;
    draining = drain_serving;
    set_phase_end(settings.drain_seconds);
    notify_stopping();
    // A second SIGINT ends the drain rather than the daemon, wherever it
    // would have ended the daemon at once.
    catch_during_drain(SIGINT);
    log_draining(running_children);
}

void end_drain()
{
    int signalled = signal_children(SIGTERM);
    close_pending_refusals();
    close_header_waits();
    draining = drain_ending;
    set_phase_end(drain_grace_seconds);
    log_drain_ended(signalled);
}

// The way out of every drain: the metrics a last time, then status 0.
[[noreturn]] static void finish_drain()
{
    write_metrics();
    exit(0);
}

const timespec *drain_deadline()
{
    return draining == drain_none ? nullptr : &drain_until;
}

void drain_step()
{
    if (draining == drain_none)
        return;
    bool idle = running_children == 0 && pending_list == nullptr && header_waits == nullptr;
    timespec now;
    bool over = clock_gettime(CLOCK_MONOTONIC, &now) == -1 || !time_before(&now, &drain_until);
    if (draining == drain_serving && idle) {
        log_drained();
        finish_drain();
    }
    if (draining == drain_ending && (idle || over))
        finish_drain();
    if (over)
        end_drain();
}

}  // namespace sockherd
