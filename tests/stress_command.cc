// The command that the reliability tests hand to sockherd. It is built
// without sanitizers and statically, so that the 20,000-connection runs
// measure the daemon and not the start-up cost of the command. It uses only
// the C library: no iostreams, so a failed write simply ends it.
//
//   stress_command output N   writes N bytes of the shared pattern and exits
//   stress_command noisy N    writes a line of its own on standard error,
//       N bytes of the pattern, and another such line: "noise from PID: "
//       and the letters a to z twice, each line in one write
//   stress_command fifo PATH  reads PATH until end of file and exits
//   stress_command echo       writes "$TCPREMOTEIP $TCPREMOTEPORT\n", then
//       copies standard input to standard output until end of file
//   stress_command record PATH N  appends "+ $TCPREMOTEIP" to PATH, writes N
//       bytes of the pattern, ends its output, waits until the client closes
//       and appends "- $TCPREMOTEIP": the lines in PATH show which commands
//       ran at the same time, for which client address
//   stress_command script     reads one request line from standard input:
//       hold      answers "holding\n", then waits for end of file
//       fds       lists its open descriptors, "N TARGET\n" each, then "end\n"
//       ids       copies its Uid, Gid and Groups lines, then "end\n"
//       output N  as above
#include "stress_pattern.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool write_all(const char *data, size_t size)
{
    while (size > 0) {
        ssize_t put = write(1, data, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

bool write_text(const char *text)
{
    return write_all(text, strlen(text));
}

int write_output(long size)
{
    char buffer[8192];
    long done = 0;
    while (done < size) {
        long piece = size - done < static_cast<long>(sizeof buffer) ? size - done : static_cast<long>(sizeof buffer);
        for (long i = 0; i < piece; i++)
            buffer[i] = stress_pattern_byte(static_cast<size_t>(done + i));
        if (!write_all(buffer, static_cast<size_t>(piece)))
            return 1;
        done += piece;
    }
    return 0;
}

// Copies standard input to standard output until end of file.
int echo()
{
    char buffer[8192];
    for (;;) {
        ssize_t got = read(0, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0 ? 0 : 1;
        if (!write_all(buffer, static_cast<size_t>(got)))
            return 1;
    }
}

int drain(int fd)
{
    char buffer[4096];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return 0;
    }
}

int list_fds()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return 1;
    int own = dirfd(dir);
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || atoi(entry->d_name) == own)
            continue;
        char path[300];
        char target[4096];
        snprintf(path, sizeof path, "/proc/self/fd/%s", entry->d_name);
        ssize_t length = readlink(path, target, sizeof target - 1);
        if (length < 0)
            length = 0;
        target[length] = '\n';
        write_text(entry->d_name);
        write_text(" ");
        write_all(target, static_cast<size_t>(length) + 1);
    }
    closedir(dir);
    return write_text("end\n") ? 0 : 1;
}

int list_ids()
{
    FILE *status = fopen("/proc/self/status", "r");
    if (status == nullptr)
        return 1;
    char line[4096];
    while (fgets(line, sizeof line, status) != nullptr)
        if (strncmp(line, "Uid:", 4) == 0 || strncmp(line, "Gid:", 4) == 0 || strncmp(line, "Groups:", 7) == 0)
            write_text(line);
    fclose(status);
    return write_text("end\n") ? 0 : 1;
}

// Lines of a command's own, meant to land between the daemon's log lines.
bool write_noise()
{
    char line[120];
    int length = snprintf(line, sizeof line, "noise from %ld: %s%s\n", static_cast<long>(getpid()),
                          "abcdefghijklmnopqrstuvwxyz", "abcdefghijklmnopqrstuvwxyz");
    return write(2, line, static_cast<size_t>(length)) == length;
}

int noisy_output(long size)
{
    if (!write_noise() || write_output(size) != 0)
        return 1;
    return write_noise() ? 0 : 1;
}

// One line, in one write: O_APPEND keeps the lines of concurrent commands
// whole and in the order they were written.
bool append_record(const char *path, char mark)
{
    const char *address = getenv("TCPREMOTEIP");
    char line[80];
    int length = snprintf(line, sizeof line, "%c %s\n", mark, address != nullptr ? address : "?");
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool written = write(fd, line, static_cast<size_t>(length)) == length;
    close(fd);
    return written;
}

int record(const char *path, long size)
{
    if (!append_record(path, '+'))
        return 1;
    int status = write_output(size);
    shutdown(1, SHUT_WR);  // the client reads to end of file, then closes
    drain(0);
    return append_record(path, '-') ? status : 1;
}

// One byte at a time, so nothing after the line is taken from the client.
bool read_request(char *request, size_t size)
{
    size_t used = 0;
    while (used + 1 < size) {
        char byte;
        ssize_t got = read(0, &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || byte == '\n')
            break;
        request[used++] = byte;
    }
    request[used] = '\0';
    return used > 0;
}

int run_script()
{
    char request[256];
    if (!read_request(request, sizeof request))
        return 2;
    if (strcmp(request, "hold") == 0)
        return write_text("holding\n") ? drain(0) : 1;
    if (strcmp(request, "fds") == 0)
        return list_fds();
    if (strcmp(request, "ids") == 0)
        return list_ids();
    if (strncmp(request, "output ", 7) == 0)
        return write_output(atol(request + 7));
    return 3;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "output") == 0)
        return write_output(atol(argv[2]));
    if (argc == 3 && strcmp(argv[1], "noisy") == 0)
        return noisy_output(atol(argv[2]));
    if (argc == 3 && strcmp(argv[1], "fifo") == 0) {
        int fd = open(argv[2], O_RDONLY);
        return fd < 0 ? 1 : drain(fd);
    }
    if (argc == 2 && strcmp(argv[1], "echo") == 0) {
        const char *address = getenv("TCPREMOTEIP");
        const char *port = getenv("TCPREMOTEPORT");
        char line[80];
        int length = snprintf(line, sizeof line, "%s %s\n", address != nullptr ? address : "?",
                              port != nullptr ? port : "?");
        return write_all(line, static_cast<size_t>(length)) ? echo() : 1;
    }
    if (argc == 4 && strcmp(argv[1], "record") == 0)
        return record(argv[2], atol(argv[3]));
    if (argc == 2 && strcmp(argv[1], "script") == 0)
        return run_script();
    return 4;
}
