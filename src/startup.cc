#include "sockherd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

namespace sockherd {

int listen_fd = -1;
char **command_argv = nullptr;
int self_pipe[2] = {-1, -1};
sigset_t loop_signals;
sigset_t startup_signal_mask;
volatile std::sig_atomic_t signal_arrived[NSIG];

void loop_signal_handler(int signal_number)
{
    int saved_errno = errno;
    signal_arrived[signal_number] = 1;
    ssize_t written = write(self_pipe[1], "c", 1);
    (void)written;  // a full pipe is still readable, so the byte is not missed
    errno = saved_errno;
}

bool take_signal(int signal_number)
{
    if (signal_arrived[signal_number] == 0)
        return false;
    signal_arrived[signal_number] = 0;
    return true;
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

// Every signal whose action the daemon changes, with the action it was
// started with, so that each command starts with that one again.
struct changed_action {
    int signal_number;
    struct sigaction original;
};
static changed_action changed_actions[6];
static size_t changed_count;

// A signal changed twice (SIGINT as the first process of a PID namespace,
// then in a drain) keeps the action it had first.
static int set_action(int signal_number, void (*handler)(int), int flags)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    for (size_t i = 0; i < changed_count; i++)
        if (changed_actions[i].signal_number == signal_number)
            return sigaction(signal_number, &action, nullptr);
    changed_action *changed = &changed_actions[changed_count];
    if (sigaction(signal_number, &action, &changed->original) == -1)
        return -1;
    changed->signal_number = signal_number;
    changed_count++;
    return 0;
}

static bool started_ignored(int signal_number)
{
    struct sigaction current;
    return sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

void catch_during_drain(int signal_number)
{
    if (started_ignored(signal_number))
        return;
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal_number);
    // Blocked like the others the loop hears, so that it arrives only in the wait.
    if (sigprocmask(SIG_BLOCK, &one, nullptr) == 0 && set_action(signal_number, loop_signal_handler, 0) == 0)
        sigaddset(&loop_signals, signal_number);
}

// The signals the loop hears: blocked from here on but inside its wait, so
// a handler runs only there and one that comes early waits for the first
// wait instead of being lost. SIGUSR1 asks for the counts when there is a
// log to write them to, and for the metrics with -M. They are caught before
// the rules file is read, which may take seconds, and so before the port
// line and readiness tell anyone that the daemon may be signalled.
static void catch_loop_signals()
{
    sigemptyset(&loop_signals);
    sigaddset(&loop_signals, SIGCHLD);
    bool metrics = settings.metrics_file != nullptr;
    if (settings.verbose || metrics)
        sigaddset(&loop_signals, SIGUSR1);
    // With -G, SIGTERM starts a drain; with -M alone the metrics are written
    // a last time before it ends the daemon as it would have. Neither when
    // we were started with it ignored.
    bool catch_term = (settings.drain_seconds > 0 || metrics) && !started_ignored(SIGTERM);
    if (catch_term)
        sigaddset(&loop_signals, SIGTERM);
    // With rules, SIGHUP reads them again.
    if (settings.access_file != nullptr)
        sigaddset(&loop_signals, SIGHUP);
    // The old mask is kept for the commands we start.
    if (sigprocmask(SIG_BLOCK, &loop_signals, &startup_signal_mask) < 0)
        die("unable to block SIGCHLD");
    // Cannot fail for this signal with a valid handler; if it did, the
    // counts would not be had.
    if (settings.verbose || metrics)
        (void)set_action(SIGUSR1, loop_signal_handler, 0);
    if (catch_term)
        (void)set_action(SIGTERM, loop_signal_handler, 0);
    if (settings.access_file != nullptr)
        (void)set_action(SIGHUP, loop_signal_handler, 0);
}

// Last of start-up, once the pipe exists. Cannot fail for SIGCHLD with a
// valid handler. If it did, no byte would ever reach the pipe and ended
// children would stay zombies. No SA_RESTART: the wait must end with EINTR.
static void catch_sigchld()
{
    (void)set_action(SIGCHLD, loop_signal_handler, SA_NOCLDSTOP);
    // A child that the exec'ing shell left behind may have ended before the
    // handler existed, and its signal is gone: a byte now makes the loop's
    // first pass collect it, or it would stay a zombie until some command ends.
    loop_signal_handler(SIGCHLD);
}

// As the first process of a PID namespace (a container's entry point) the
// kernel gives us no default action for these: without a handler, a stop
// would wait and then kill, and Ctrl-C would do nothing. Signals we were
// started with ignored or caught stay as they were.
[[noreturn]] static void end_on_signal(int signal_number)
{
    _exit(128 + signal_number);  // what a shell reports for a process the signal ended
}

void end_by_signal(int signal_number)
{
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal_number);
    (void)signal(signal_number, SIG_DFL);
    (void)sigprocmask(SIG_UNBLOCK, &one, nullptr);
    (void)raise(signal_number);
    // Still here: the first process of a PID namespace, which the kernel
    // never ends by a default action. It ends as its handler would.
    end_on_signal(signal_number);
}

static void stop_on_signals_as_init()
{
    static const int stop_signals[] = {SIGTERM, SIGINT};
    if (getpid() != 1)
        return;
    for (int signal_number : stop_signals) {
        struct sigaction current;
        if (sigaction(signal_number, nullptr, &current) == -1 || current.sa_handler != SIG_DFL)
            continue;  // started ignored or caught, or caught already for a drain
        (void)set_action(signal_number, end_on_signal, 0);
    }
}

void restore_signal_actions()
{
    for (size_t i = 0; i < changed_count; i++) {
        // Whatever the daemon was started with, a command that waits for its
        // own children must get SIGCHLD's default action.
        if (changed_actions[i].signal_number == SIGCHLD)
            (void)signal(SIGCHLD, SIG_DFL);
        else
            (void)sigaction(changed_actions[i].signal_number, &changed_actions[i].original, nullptr);
    }
}

// With -J the log's readers learn where and as whom the daemon serves.
static void announce_listening()
{
    socket_address bound = {};
    socklen_t length = sizeof bound;
    if (settings.json_log && getsockname(listen_fd, &bound.any, &length) == 0)
        log_listening(&bound);
}

// -t: the file loaded exactly as at start-up, and only that.
[[noreturn]] static void check_access_file()
{
    access_table *table = load_access_table(settings.access_file, die);
    (void)printf("%s: %zu rules\n", settings.access_file, access_rule_count(table));
    free_access_table(table);
    exit(0);
}

// Before any socket exists, so that a bad file never binds a port.
static void load_startup_rules()
{
    if (settings.access_file == nullptr)
        return;
    access_rules = load_access_table(settings.access_file, die);
}

void run_startup(char **argv, int first_operand)
{
    if (settings.check_access)
        check_access_file();
    catch_loop_signals();
    load_startup_rules();
    start_counting();
    if (settings.socket_from_manager) {
        listen_fd = take_manager_socket();
        command_argv = argv + first_operand;
    } else {
        listen_fd = make_listen_socket(argv[first_operand], argv[first_operand + 1]);
        command_argv = argv + first_operand + 2;
    }
    if (prepare_command_environment(access_rules) == -1)
        die("out of memory");
    prepare_child_table();
    if (rating_sources())
        prepare_rate_table();
    drop_privileges();
    start_metrics();  // as the user we serve as, who must be able to write the file
    make_self_pipe();
    catch_sigchld();
    stop_on_signals_as_init();
    announce_listening();
    notify_service_manager();  // only now do we serve every client that connects
    main_loop();
}

}  // namespace sockherd
