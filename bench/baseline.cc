// The reference server of the benchmark: the least a forking super-server can
// do. A blocking accept, one fork, the connection on descriptors 0 and 1,
// execve; the kernel reaps the children (SIGCHLD ignored), so the parent never
// waits for anything but the next client.
//
// With -w TEXT it forks nothing: it accepts, writes TEXT once and closes. That
// is the floor for a server that turns clients away.
//
//   baseline [-1] [-b backlog] [-w text] address port [command ...]
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

extern char **environ;

[[noreturn]] static void die(const char *message)
{
    (void)fprintf(stderr, "baseline: %s\n", message);
    exit(20);
}

// \r, \n and \t decoded, as the daemon decodes its refusal text.
static char *decode_escapes(const char *text)
{
    char *out = static_cast<char *>(malloc(strlen(text) + 1));
    if (out == nullptr)
        die("out of memory");
    char *to = out;
    for (const char *from = text; *from != '\0'; from++) {
        if (*from != '\\' || from[1] == '\0') {
            *to++ = *from;
            continue;
        }
        from++;
        *to++ = *from == 'n' ? '\n' : *from == 'r' ? '\r' : *from == 't' ? '\t' : *from;
    }
    *to = '\0';
    return out;
}

static int listen_on(const char *address, const char *port, int backlog, bool print_port)
{
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(atoi(port)));
    if (inet_pton(AF_INET, address, &where.sin_addr) != 1)
        die("not an IPv4 address");
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        die("unable to create socket");
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == -1)
        die("unable to set SO_REUSEADDR");
    if (bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) == -1)
        die("unable to bind");
    if (listen(fd, backlog) == -1)
        die("unable to listen");
    if (print_port) {
        socklen_t length = sizeof where;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&where), &length) == -1)
            die("unable to get local address");
        (void)printf("%d\n", ntohs(where.sin_port));
        if (fflush(stdout) == EOF)
            die("unable to print port");
    }
    return fd;
}

static void serve_command(int conn, char **command)
{
    pid_t pid = fork();
    if (pid == -1) {
        (void)fprintf(stderr, "baseline: fork failed\n");
    } else if (pid == 0) {
        // accept4 made conn close-on-exec; the copies on 0 and 1 are not.
        if (dup2(conn, 0) == -1 || dup2(conn, 1) == -1)
            _exit(20);
        execve(command[0], command, environ);
        _exit(20);
    }
    (void)close(conn);
}

static void serve_text(int conn, const char *text, size_t length)
{
    // A short text fits the fresh socket's send buffer; a short write is the
    // client's loss, as it would be for any server that does not queue.
    // MSG_NOSIGNAL rather than ignoring SIGPIPE, which exec would hand on.
    if (send(conn, text, length, MSG_NOSIGNAL) == -1 && errno != EPIPE && errno != ECONNRESET)
        (void)fprintf(stderr, "baseline: write failed\n");
    (void)close(conn);
}

int main(int argc, char **argv)
{
    int backlog = 1024;
    bool print_port = false;
    const char *text = nullptr;
    int option;
    while ((option = getopt(argc, argv, "+1b:w:")) != -1) {
        if (option == '1')
            print_port = true;
        else if (option == 'b')
            backlog = atoi(optarg);
        else if (option == 'w')
            text = decode_escapes(optarg);
        else
            die("usage: baseline [-1] [-b backlog] [-w text] address port [command ...]");
    }
    if (argc - optind < (text != nullptr ? 2 : 3))
        die("usage: baseline [-1] [-b backlog] [-w text] address port [command ...]");

    // Children vanish without a wait. Linux hands the ignored SIGCHLD on
    // through exec; the hello command never waits, so it does not care.
    if (signal(SIGCHLD, SIG_IGN) == SIG_ERR)
        die("unable to ignore SIGCHLD");
    int listening = listen_on(argv[optind], argv[optind + 1], backlog, print_port);
    size_t text_length = text != nullptr ? strlen(text) : 0;
    for (;;) {
        int conn = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn == -1) {
            if (errno != EINTR && errno != ECONNABORTED)
                (void)fprintf(stderr, "baseline: accept failed\n");
            continue;
        }
        if (text != nullptr)
            serve_text(conn, text, text_length);
        else
            serve_command(conn, argv + optind + 2);
    }
}
