#include "sockherd.h"

#include <cstddef>
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

bool notifies_service_manager()
{
    const char *name = getenv("NOTIFY_SOCKET");
    return name != nullptr && *name != '\0';
}

void notify_service_manager()
{
    if (!notifies_service_manager())
        return;
    const char *name = getenv("NOTIFY_SOCKET");
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    size_t length = strlen(name);
    if (length >= sizeof address.sun_path) {
        warn("unable to notify the service manager");
        return;
    }
    memcpy(address.sun_path, name, length);
    if (name[0] == '@')
        address.sun_path[0] = '\0';  // an abstract name: no file, and no terminating zero
    socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        warn("unable to notify the service manager");
        return;
    }
    // Never wait for a manager whose queue is full: it learns nothing, and
    // serving matters more.
    const char ready[] = "READY=1";
    ssize_t sent = sendto(fd, ready, sizeof ready - 1, MSG_DONTWAIT | MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr *>(&address), size);
    (void)close(fd);
    if (sent != static_cast<ssize_t>(sizeof ready - 1))
        warn("unable to notify the service manager");
}

}  // namespace sockherd
