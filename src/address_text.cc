#include "sockherd.h"

#include <arpa/inet.h>
#include <cstring>

namespace sockherd {

char address_buffer[INET6_ADDRSTRLEN];

// ::ffff:a.b.c.d, what an IPv4 client shows on an IPv6 socket. The
// IPv4-compatible ::a.b.c.d form is not mapped and stays IPv6.
static bool is_v4_mapped(const socket_address *address)
{
    return address->any.sa_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&address->v6.sin6_addr);
}

const char *proto_name(const socket_address *address)
{
    if (address->any.sa_family == AF_INET6 && !is_v4_mapped(address))
        return "TCP6";
    return "TCP";
}

const char *address_text(const socket_address *address)
{
    int family = AF_INET6;
    const void *bytes = &address->v6.sin6_addr;
    if (address->any.sa_family == AF_INET) {
        family = AF_INET;
        bytes = &address->v4.sin_addr;
    } else if (is_v4_mapped(address)) {
        family = AF_INET;
        bytes = &address->v6.sin6_addr.s6_addr[12];
    }
    if (inet_ntop(family, bytes, address_buffer, sizeof address_buffer) == nullptr)
        return "-";
    return address_buffer;
}

const char *source_text(const source_key *source)
{
    unsigned char bytes[16] = {};
    int length = source->family == AF_INET6 ? 8 : 4;
    for (int i = 0; i < length; i++)
        bytes[i] = static_cast<unsigned char>(source->prefix >> (8 * (length - 1 - i)));
    if (inet_ntop(source->family, bytes, address_buffer, sizeof address_buffer) == nullptr)
        return "-";
    if (source->family == AF_INET6)
        (void)strcat(address_buffer, "/64");  // the longest /64 takes 21 of its 46 bytes
    return address_buffer;
}

int address_port(const socket_address *address)
{
    in_port_t port = address->any.sa_family == AF_INET6 ? address->v6.sin6_port : address->v4.sin_port;
    return static_cast<int>(ntohs(port));
}

}  // namespace sockherd
