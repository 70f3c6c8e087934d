#include "sockherd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace sockherd {

pending_write *pending_list = nullptr;

void refuse_connection(int conn, const socket_address *remote, bool over_source)
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
    pending_list = record;
    if (settings.verbose && over_source)
        (void)fprintf(stderr, "- refused from %s port %d (source limit)\n", address_text(remote),
                      address_port(remote));
    else if (settings.verbose)
        (void)fprintf(stderr, "- refused from %s port %d\n", address_text(remote), address_port(remote));
    // A text that fits the send buffer goes out now and the loop never sees it.
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
        if (record->remaining > 0)
            return 0;
    } else if (errno == EAGAIN) {
        return 0;
    }
    (void)close(record->conn_fd);
    if (previous == nullptr)
        pending_list = record->next_pending;
    else
        previous->next_pending = record->next_pending;
    free(record);
    resume_accepting();
    return 1;
}

void drain_pending_writes(const fd_set *writable)
{
    pending_write *previous = nullptr;
    pending_write *record = pending_list;
    while (record != nullptr) {
        // Read the link first: a finished record is freed by the step.
        pending_write *next = record->next_pending;
        if (!FD_ISSET(record->conn_fd, writable) || pending_write_step(previous, record) == 0)
            previous = record;
        record = next;
    }
}

}  // namespace sockherd
