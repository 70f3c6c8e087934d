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

int slots_in_use()
{
    return running_children + waiting_headers;
}

bool time_before(const timespec *a, const timespec *b)
{
    return a->tv_sec < b->tv_sec || (a->tv_sec == b->tv_sec && a->tv_nsec < b->tv_nsec);
}

// Microseconds from now until then, rounded up so that select never wakes
// a moment early; 0 once then has come.
static long long microseconds_until(const timespec *then, const timespec *now)
{
    long long left_ns = (then->tv_sec - now->tv_sec) * 1000000000LL + (then->tv_nsec - now->tv_nsec);
    return left_ns <= 0 ? 0 : (left_ns + 999) / 1000;
}

// How long select may wait: for ever, unless accepting is paused or
// something has a time to keep (a refused client lingering, a header being
// waited for, a command's time limit), until the nearest of the pause's end
// and first_end. Ends a pause that is over. Only then is the clock read, so
// an ordinary pass makes no call more than a wait.
static timeval *wait_limit(timeval *limit, const timespec *first_end)
{
    if (!accept_paused && first_end == nullptr)
        return nullptr;
    timespec now;
    bool have_clock = clock_gettime(CLOCK_MONOTONIC, &now) == 0;
    // Without a clock a pause could end only by a descriptor coming back:
    // better to end it now.
    if (accept_paused && (!have_clock || !time_before(&now, &accept_resume_at)))
        accept_paused = false;
    const timespec *until = accept_paused ? &accept_resume_at : nullptr;
    if (first_end != nullptr && (until == nullptr || time_before(first_end, until)))
        until = first_end;
    if (until == nullptr)
        return nullptr;
    // Without a clock, lingering clients and header waits are let go in this pass.
    long long wait_us = have_clock ? microseconds_until(until, &now) : 0;
    limit->tv_sec = static_cast<time_t>(wait_us / 1000000);
    limit->tv_usec = static_cast<suseconds_t>(wait_us % 1000000);
    return limit;
}

// Records still sending wait to write; lingering ones wait to read, and the
// first of them to end bounds the wait. Returns that end, or null.
static const timespec *add_pending_to_sets(fd_set *readable, fd_set *writable, int &max_fd)
{
    const timespec *first_linger_end = nullptr;
    for (pending_write *record = pending_list; record != nullptr; record = record->next_pending) {
        if (!record->lingering) {
            add_to_fd_set(record->conn_fd, writable, max_fd);
            continue;
        }
        add_to_fd_set(record->conn_fd, readable, max_fd);
        if (first_linger_end == nullptr || time_before(&record->linger_until, first_linger_end))
            first_linger_end = &record->linger_until;
    }
    return first_linger_end;
}

// SIGCHLD is let through only here, so the handler runs only while we wait
// and nothing else in the daemon is ever interrupted by it.
static int wait_for_events(int max_fd, fd_set *readable, fd_set *writable, timeval *timeout)
{
    sigset_t saved_mask;
    if (sigprocmask(SIG_UNBLOCK, &loop_signals, &saved_mask) < 0)
        die("unable to unblock SIGCHLD");
    int ready = select(max_fd + 1, readable, writable, nullptr, timeout);
    if (ready < 0 && errno != EINTR)
        warn("select failed");
    if (sigprocmask(SIG_SETMASK, &saved_mask, nullptr) < 0)
        die("unable to restore signal mask");
    return ready;
}

// Connections waiting for their header wait to read; the oldest has the
// first deadline. Returns the earlier of it and first_end.
static const timespec *add_header_waits_to_set(fd_set *readable, int &max_fd, const timespec *first_end)
{
    for (header_wait *record = header_waits; record != nullptr; record = record->next_wait)
        add_to_fd_set(record->conn_fd, readable, max_fd);
    if (header_waits != nullptr && (first_end == nullptr || time_before(&header_waits->deadline, first_end)))
        return &header_waits->deadline;
    return first_end;
}

static const timespec *earlier(const timespec *a, const timespec *b)
{
    if (a == nullptr || (b != nullptr && time_before(b, a)))
        return b;
    return a;
}

static bool reload_asked;  // SIGHUP came: the rules are read again at the end of the pass

// The signals the loop hears besides SIGCHLD, each asking for one thing.
static void take_signals()
{
    if (take_signal(SIGUSR1)) {
        if (settings.verbose)
            log_counts();
        write_metrics();
    }
    // The first SIGTERM starts a drain; a second one, or SIGINT, ends it.
    bool term = take_signal(SIGTERM);
    bool interrupt = take_signal(SIGINT);
    // Without -G, SIGTERM is caught only for the metrics' last write.
    if (term && settings.drain_seconds == 0) {
        write_metrics();
        end_by_signal(SIGTERM);
    }
    if (draining == drain_none && term)
        start_drain();
    else if (draining == drain_serving && (term || interrupt))
        end_drain();
    // A draining daemon takes no new client, so new rules would serve no one:
    // SIGHUP does nothing from the pass that starts a drain on, also when it
    // came in the same pass as the SIGTERM.
    if (take_signal(SIGHUP) && draining == drain_none)
        reload_asked = true;
}

// What select found, in a fixed order: ended children, time limits,
// signals, at most one new client, refusals, header waits; then, between
// passes, a reload and the state of a drain.
static void handle_events(int listening, int at_limit, const fd_set *readable, const fd_set *writable)
{
    if (FD_ISSET(self_pipe[0], readable))
        reap_children();
    // After the reaping: a command collected in this pass is never signalled.
    enforce_time_limits();
    take_signals();
    // A drain that began in this pass closed the listening socket.
    if (listening != -1 && listen_fd != -1 && FD_ISSET(listening, readable))
        handle_accept(listening, at_limit);
    drain_pending_writes(readable, writable);
    // Last: a header completed here may queue a refusal, which must not be
    // taken for one that select found ready.
    serve_header_waits(readable);
    // New clients are matched against new rules from the next pass on.
    if (reload_asked) {
        reload_asked = false;
        reload_access_rules();
    }
    drain_step();
}

static void run_pass()
{
    // One snapshot per pass: the gate and at_limit must agree even when
    // reaping lowers the count later in the pass. A connection waiting for
    // its header holds a slot as a command does.
    int running = slots_in_use();
    int limit = settings.max_children;

    fd_set readable;
    fd_set writable;
    int max_fd = -1;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    add_to_fd_set(self_pipe[0], &readable, max_fd);
    const timespec *first_end = add_pending_to_sets(&readable, &writable, max_fd);
    first_end = add_header_waits_to_set(&readable, max_fd, first_end);
    first_end = earlier(first_end, service_status_due());
    first_end = earlier(first_end, metrics_due());
    first_end = earlier(first_end, drain_deadline());
    first_end = earlier(first_end, next_deadline());
    // Before the gate: a pause that is over lets the listening socket in now.
    timeval limit_left;
    timeval *timeout = wait_limit(&limit_left, first_end);
    // The listening socket is gone once a drain has begun.
    int listening = listen_fd;
    if (listening != -1 && !accept_paused && (running < limit || settings.refuse_response != nullptr))
        add_to_fd_set(listening, &readable, max_fd);

    if (wait_for_events(max_fd, &readable, &writable, timeout) < 0)
        return;
    handle_events(listening, running >= limit ? 1 : 0, &readable, &writable);
}

void main_loop()
{
    for (;;)
        run_pass();
}

}  // namespace sockherd
