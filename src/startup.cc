#include "sockherd.h"

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

namespace sockherd {

int listen_fd = -1;
char **command_argv = nullptr;
int self_pipe[2] = {-1, -1};
sigset_t sigchld_set;
sigset_t startup_signal_mask;

void sigchld_handler(int)
{
    int saved_errno = errno;
    ssize_t written = write(self_pipe[1], "c", 1);
    (void)written;  // a full pipe is still readable, so the byte is not missed
    errno = saved_errno;
}

void open_standard_descriptors()
{
    // A daemon started with 2 closed would get its listening socket there,
    // write its log lines into it and hand it to every command as standard
    // error. Lower numbers are open by the time a number is tried, so open()
    // takes exactly that number.
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        if (open("/dev/null", O_RDWR) == -1)
            return;  // nothing better to offer: start as we were started
    }
}

void drop_privileges()
{
    if (settings.change_gid) {
        // Root's supplementary groups would survive setgid and setuid, and
        // every command would keep them.
        gid_t only_group = static_cast<gid_t>(settings.gid);
        if (geteuid() == 0 && setgroups(1, &only_group) == -1)
            die("unable to setgroups");
        if (setgid(only_group) < 0)
            die("unable to setgid");
    }
    if (settings.change_uid && setuid(static_cast<uid_t>(settings.uid)) < 0)
        die("unable to setuid");
}

static void make_self_pipe()
{
    if (pipe(self_pipe) < 0)
        die("unable to create self-pipe");
    check_fits_select(self_pipe[0]);  // the loop watches only the read end
    // The handler must never wait on a full pipe; the reader may block, as it
    // reads only what select reported.
    if (set_nonblocking(self_pipe[1]) == -1)
        die("unable to set O_NONBLOCK");
    set_cloexec(self_pipe[0]);
    set_cloexec(self_pipe[1]);
}

static void catch_sigchld()
{
    // Blocked before the handler exists, so it can only run inside the
    // loop's wait. The old mask is kept for the commands we start.
    sigemptyset(&sigchld_set);
    sigaddset(&sigchld_set, SIGCHLD);
    if (sigprocmask(SIG_BLOCK, &sigchld_set, &startup_signal_mask) < 0)
        die("unable to block SIGCHLD");

    struct sigaction action = {};
    action.sa_handler = sigchld_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_NOCLDSTOP;  // no SA_RESTART: the wait must end with EINTR
    // Cannot fail for SIGCHLD with a valid handler. If it did, no byte would
    // ever reach the pipe and ended children would stay zombies.
    (void)sigaction(SIGCHLD, &action, nullptr);
    // A child that the exec'ing shell left behind may have ended before the
    // handler existed, and its signal is gone: a byte now makes the loop's
    // first pass collect it, or it would stay a zombie until some command ends.
    sigchld_handler(SIGCHLD);
}

// As the first process of a PID namespace (a container's entry point) the
// kernel gives us no default action for these: without a handler, a stop
// would wait and then kill, and Ctrl-C would do nothing. Signals we were
// started with ignored or caught stay as they were.
static const int init_stop_signals[] = {SIGTERM, SIGINT};
static sigset_t caught_as_init;  // those of SIGTERM and SIGINT that got end_on_signal

static void end_on_signal(int signal_number)
{
    _exit(128 + signal_number);  // what a shell reports for a process the signal ended
}

static void stop_on_signals_as_init()
{
    sigemptyset(&caught_as_init);
    if (getpid() != 1)
        return;
    for (int signal_number : init_stop_signals) {
        struct sigaction current;
        if (sigaction(signal_number, nullptr, &current) == -1 || current.sa_handler != SIG_DFL)
            continue;
        struct sigaction action = {};
        action.sa_handler = end_on_signal;
        sigemptyset(&action.sa_mask);
        if (sigaction(signal_number, &action, nullptr) == 0)
            sigaddset(&caught_as_init, signal_number);
    }
}

void restore_signal_actions()
{
    (void)signal(SIGCHLD, SIG_DFL);
    for (int signal_number : init_stop_signals)
        if (sigismember(&caught_as_init, signal_number) == 1)
            (void)signal(signal_number, SIG_DFL);
}

void run_startup(char **argv, int first_operand)
{
    if (settings.socket_from_manager) {
        listen_fd = take_manager_socket();
        command_argv = argv + first_operand;
    } else {
        listen_fd = make_listen_socket(argv[first_operand], argv[first_operand + 1]);
        command_argv = argv + first_operand + 2;
    }
    prepare_command_environment();
    prepare_child_table();
    drop_privileges();
    make_self_pipe();
    catch_sigchld();
    stop_on_signals_as_init();
    notify_service_manager();  // only now do we serve every client that connects
    main_loop(listen_fd);
}

}  // namespace sockherd
