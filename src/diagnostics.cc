#include "sockherd.h"

#include <cstdlib>
#include <fcntl.h>

namespace sockherd {

void warn(const char *message)
{
    log_message("error", message);
}

void die(const char *message)
{
    log_message("fatal", message);
    exit(failure_status);
}

int set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1)
        return -1;
    if (flags & O_NONBLOCK)
        return 0;
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return -1;
    return 0;
}

void set_cloexec(int fd)
{
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) == -1)
        die("unable to set FD_CLOEXEC");
}

}  // namespace sockherd
