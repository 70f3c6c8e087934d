#include "sockherd.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace sockherd {

// Where the socket activation protocol puts the first passed socket.
constexpr int manager_socket_fd = 3;

// text as a decimal number made of digits alone, saturated far above any
// value we compare with; false when it is not one.
static bool decimal_value(const char *text, long *value)
{
    if (text == nullptr || *text == '\0')
        return false;
    long result = 0;
    for (const char *digit = text; *digit != '\0'; digit++) {
        if (*digit < '0' || *digit > '9')
            return false;
        if (result < 1000000000L)
            result = result * 10 + (*digit - '0');
    }
    *value = result;
    return true;
}

static bool option_is(int fd, int option, int wanted)
{
    int value = 0;
    socklen_t length = sizeof value;
    return getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 && value == wanted;
}

static bool is_listening_tcp(int fd)
{
    struct stat status;
    if (fstat(fd, &status) == -1 || !S_ISSOCK(status.st_mode))
        return false;
    socket_address bound = {};
    socklen_t length = sizeof bound;
    if (getsockname(fd, &bound.any, &length) == -1 || length > sizeof bound)
        return false;
    if (bound.any.sa_family != AF_INET && bound.any.sa_family != AF_INET6)
        return false;
#ifdef SO_PROTOCOL
    if (!option_is(fd, SO_PROTOCOL, IPPROTO_TCP))  // a stream socket of the family may be SCTP
        return false;
#endif
    return option_is(fd, SO_TYPE, SOCK_STREAM) && option_is(fd, SO_ACCEPTCONN, 1);
}

int take_manager_socket()
{
    // LISTEN_PID guards against variables a parent meant for itself.
    long pid = 0;
    long count = 0;
    if (!decimal_value(getenv("LISTEN_PID"), &pid) || pid != static_cast<long>(getpid()) ||
        !decimal_value(getenv("LISTEN_FDS"), &count))
        die("no socket from the service manager");
    if (count != 1)
        die("expected one socket from the service manager");
    if (!is_listening_tcp(manager_socket_fd))
        die("socket from the service manager is not a listening TCP socket");
    if (set_nonblocking(manager_socket_fd) == -1)
        die("unable to set O_NONBLOCK");
    set_cloexec(manager_socket_fd);
    check_fits_select(manager_socket_fd);
    if (settings.print_port)
        print_bound_port(manager_socket_fd);
    return manager_socket_fd;
}

// NOTIFY_SOCKET, looked up once: the command's environment is prepared by
// asking about each entry, and the environment may be large.
static const char *notify_name;
static bool notify_name_read;
static int notify_fd = -1;  // open from readiness on, for the status
static sockaddr_un notify_address;
static socklen_t notify_size;

// The figures the status shows, as last sent; an update is due when they change.
struct status_figures {
    int running;
    unsigned long long served, refused, denied, dropped, failed;
};
static status_figures sent_figures;
static timespec tried_at;  // CLOCK_MONOTONIC: the last send, whether it went out or not
static timespec next_update_at;

bool notifies_service_manager()
{
    if (!notify_name_read) {
        notify_name = getenv("NOTIFY_SOCKET");
        notify_name_read = true;
    }
    return notify_name != nullptr && *notify_name != '\0';
}

static status_figures current_figures()
{
    return {running_children, counts.served,
            counts.refused + counts.source_refused + counts.rate_refused + counts.penalty_refused,
            counts.denied,    counts.dropped,      counts.fork_failed + counts.exec_failed};
}

static bool same_figures(const status_figures *a, const status_figures *b)
{
    return a->running == b->running && a->served == b->served && a->refused == b->refused &&
           a->denied == b->denied && a->dropped == b->dropped && a->failed == b->failed;
}

// One datagram, never waiting for a manager whose queue is full: it learns
// nothing, and serving matters more.
static bool send_notice(const char *text)
{
    size_t length = strlen(text);
    ssize_t sent = sendto(notify_fd, text, length, MSG_DONTWAIT | MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr *>(&notify_address), notify_size);
    return sent == static_cast<ssize_t>(length);
}

// The status as the manager shows it, after prefix. Its figures count as
// sent only once the datagram went out: one that a full queue refused is
// tried again when the next update is due.
static bool send_status(const char *prefix)
{
    char text[256];
    size_t length = static_cast<size_t>(snprintf(text, sizeof text, "%sSTATUS=", prefix));
    format_status(text + length, sizeof text - length);
    status_figures figures = current_figures();
    if (clock_gettime(CLOCK_MONOTONIC, &tried_at) == -1)
        tried_at = timespec{};
    if (!send_notice(text))
        return false;
    sent_figures = figures;
    return true;
}

static bool open_notify_socket()
{
    notify_address.sun_family = AF_UNIX;
    size_t length = strlen(notify_name);
    if (length >= sizeof notify_address.sun_path)
        return false;
    memcpy(notify_address.sun_path, notify_name, length);
    if (notify_name[0] == '@')
        notify_address.sun_path[0] = '\0';  // an abstract name: no file, and no terminating zero
    notify_size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return notify_fd != -1;
}

void notify_service_manager()
{
    if (!notifies_service_manager())
        return;
    if (!open_notify_socket() || !send_status("READY=1\n"))
        warn("unable to notify the service manager");
}

void notify_stopping()
{
    if (notify_fd != -1)
        (void)send_notice("STOPPING=1");  // the manager stops us anyway; nothing to add
}

// A second after the last try: the earliest time for the next update.
static const timespec *second_after_try()
{
    next_update_at = tried_at;
    next_update_at.tv_sec += 1;
    return &next_update_at;
}

const timespec *service_status_due()
{
    if (notify_fd == -1)
        return nullptr;
    status_figures now_figures = current_figures();
    if (same_figures(&now_figures, &sent_figures))
        return nullptr;
    // At most one update a second: a busy daemon must not keep its manager busy.
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) == -1)
        return nullptr;
    if (time_before(&now, second_after_try()))
        return &next_update_at;
    if (send_status(""))
        return nullptr;
    // The manager took nothing (its queue full): an idle loop must still
    // wake to try again.
    return second_after_try();
}

}  // namespace sockherd
