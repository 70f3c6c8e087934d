#include "sockherd.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netdb.h>

namespace sockherd {

void print_bound_port(int fd)
{
    socket_address bound = {};
    socklen_t length = sizeof bound;
    if (getsockname(fd, &bound.any, &length) == -1)
        die("unable to get bound address");
    // sin_port and sin6_port sit at the same offset.
    (void)printf("%d\n", static_cast<int>(ntohs(bound.v4.sin_port)));
    (void)fflush(stdout);  // a pipe is block-buffered; the caller waits for this line
}

// The resolver reads a port as strtoul does (leading blanks, a sign, digits,
// negatives wrapped) and binds what that reads in full modulo 65536:
// "65636", "+65636", " 65636" and "+4294967396" would all bind port 100.
// Every such number above 65535 is refused as a service the resolver does
// not know; what strtoul does not read in full is a service name, the
// resolver's to judge.
static bool port_out_of_range(const char *port)
{
    char *end = nullptr;
    unsigned long value = strtoul(port, &end, 10);  // ULONG_MAX on overflow, which is out of range too
    if (end == port || *end != '\0')
        return false;
    return value > 65535;
}

int make_listen_socket(const char *address, const char *port)
{
    // An empty port (an unset shell variable) would bind a port of the
    // system's choosing without a word.
    if (*port == '\0' || port_out_of_range(port))
        die(gai_strerror(EAI_SERVICE));

    addrinfo hints = {};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = settings.address_family;
    hints.ai_socktype = SOCK_STREAM;

    addrinfo *result = nullptr;
    int rc = getaddrinfo(address, port, &hints, &result);
    if (rc != 0)
        die(gai_strerror(rc));

    // Only the first entry: a host name binds its first address or nothing.
    int fd = socket(result->ai_family, result->ai_socktype, result->ai_protocol);
    if (fd == -1)
        die("unable to create socket");
    check_fits_select(fd);  // before the port line: a caller that reads it can rely on the socket being served
    if (set_nonblocking(fd) == -1)
        die("unable to set O_NONBLOCK");
    set_cloexec(fd);
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == -1)
        die("unable to set SO_REUSEADDR");
    if (bind(fd, result->ai_addr, result->ai_addrlen) == -1)
        die("unable to bind to listen address");
    if (listen(fd, settings.listen_backlog) == -1)
        die("unable to listen");
    if (settings.print_port)
        print_bound_port(fd);  // only now, so a client that reads the line finds us listening
    freeaddrinfo(result);
    return fd;
}

}  // namespace sockherd
