#include "sockherd.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace sockherd {

pending_write *pending_list = nullptr;
int pending_refusals = 0;

// Reads per pass for one lingering client: enough to empty what a client
// sends with its request, bounded so that one that keeps sending cannot hold
// the loop.
constexpr int linger_reads_per_pass = 4;
static char discarded[16384];

static int finish_record(pending_write *previous, pending_write *record)
{
    (void)close(record->conn_fd);
    if (previous == nullptr)
        pending_list = record->next_pending;
    else
        previous->next_pending = record->next_pending;
    free(record);
    pending_refusals--;
    resume_accepting();
    return 1;
}

// Reads what the client sent and throws it away; finishes the record when
// the client has closed its side or the connection failed.
static int linger_step(pending_write *previous, pending_write *record)
{
    for (int i = 0; i < linger_reads_per_pass; i++) {
        ssize_t got = read(record->conn_fd, discarded, sizeof discarded);
        if (got == -1 && errno == EAGAIN)
            return 0;
        if (got <= 0)
            return finish_record(previous, record);
        if (static_cast<size_t>(got) < sizeof discarded)
            return 0;  // drained for now
    }
    return 0;
}

// The text is all in the kernel's hands: end of file for the client right
// after it, and a first read at once, since a client that has already
// closed need not wait for another pass.
static int start_lingering(pending_write *previous, pending_write *record)
{
    if (shutdown(record->conn_fd, SHUT_WR) == -1 || clock_gettime(CLOCK_MONOTONIC, &record->linger_until) == -1)
        return finish_record(previous, record);
    record->linger_until.tv_sec += linger_seconds;
    record->lingering = true;
    return linger_step(previous, record);
}

void refuse_connection(int conn, const socket_address *remote, refusal_reason reason)
{
    if (set_nonblocking(conn) == -1) {
        warn("unable to set O_NONBLOCK");
        (void)close(conn);
        return;
    }
    pending_write *record = static_cast<pending_write *>(malloc(sizeof *record));
    if (record == nullptr) {
        warn("out of memory");
        (void)close(conn);
        return;
    }
    // Every record points into the one refusal text; none copies it.
    record->conn_fd = conn;
    record->cursor = settings.refuse_response;
    record->remaining = strlen(settings.refuse_response);
    record->next_pending = pending_list;
    record->lingering = false;
    pending_list = record;
    pending_refusals++;
    log_refused(remote, reason);
    // A text that fits the send buffer goes out now, and a client that has
    // already closed is done with before the loop ever sees the record.
    (void)pending_write_step(nullptr, record);
}

int pending_write_step(pending_write *previous, pending_write *record)
{
    // MSG_NOSIGNAL: a client that reset must cost its record, not the daemon,
    // and the commands must keep the SIGPIPE action we were started with.
    ssize_t sent = send(record->conn_fd, record->cursor, record->remaining, MSG_NOSIGNAL);
    if (sent >= 0) {
        record->cursor += sent;
        record->remaining -= static_cast<size_t>(sent);
        return record->remaining > 0 ? 0 : start_lingering(previous, record);
    }
    return errno == EAGAIN ? 0 : finish_record(previous, record);
}

// One step for record in this pass; 1 when it finished it. now is read once
// per pass, when first needed; without a clock no lingering may go on.
static int drain_step(pending_write *previous, pending_write *record, const fd_set *readable,
                      const fd_set *writable, timespec *now, bool *have_now)
{
    if (!record->lingering)
        return FD_ISSET(record->conn_fd, writable) ? pending_write_step(previous, record) : 0;
    if (FD_ISSET(record->conn_fd, readable) && linger_step(previous, record) == 1)
        return 1;
    if (!*have_now) {
        if (clock_gettime(CLOCK_MONOTONIC, now) == -1)
            return finish_record(previous, record);
        *have_now = true;
    }
    return time_before(now, &record->linger_until) ? 0 : finish_record(previous, record);
}

void close_pending_refusals()
{
    while (pending_list != nullptr)
        (void)finish_record(nullptr, pending_list);
}

void drain_pending_writes(const fd_set *readable, const fd_set *writable)
{
    timespec now;
    bool have_now = false;
    pending_write *previous = nullptr;
    pending_write *record = pending_list;
    while (record != nullptr) {
        // Read the link first: a finished record is freed by the step.
        pending_write *next = record->next_pending;
        if (drain_step(previous, record, readable, writable, &now, &have_now) == 0)
            previous = record;
        record = next;
    }
}

}  // namespace sockherd
