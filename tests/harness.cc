#include "harness.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace harness {

namespace {

using clock_type = std::chrono::steady_clock;

int remaining_ms(clock_type::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

clock_type::time_point deadline_in(int ms)
{
    return clock_type::now() + std::chrono::milliseconds(ms);
}

std::string temp_path(const char *stem)
{
    char name[] = "/tmp/sockherd-test-XXXXXX";
    int fd = mkstemp(name);
    if (fd == -1)
        return std::string("/tmp/") + stem;
    close(fd);
    return name;
}

// The environment of the started program: this process's, less unset_env
// and the names set_env sets, plus set_env.
std::vector<char *> environment_for(const launch_options &options)
{
    std::vector<char *> environment;
    for (char **entry = environ; *entry != nullptr; entry++) {
        std::string name(*entry, strcspn(*entry, "="));
        std::string prefix = name + "=";  // once per entry: set_env may hold 100,000 entries
        bool dropped = false;
        for (const auto &unset : options.unset_env)
            dropped = dropped || name == unset;
        for (const auto &set : options.set_env)
            dropped = dropped || set.compare(0, prefix.size(), prefix) == 0;
        if (!dropped)
            environment.push_back(*entry);
    }
    for (const auto &set : options.set_env)
        environment.push_back(const_cast<char *>(set.c_str()));
    environment.push_back(nullptr);
    return environment;
}

// In the child between fork and exec: only calls that are safe after a fork
// of a process with threads. The program gets a clean signal state (blocked
// and ignored signals survive exec) and the descriptors asked for.
[[noreturn]] void exec_child(const char *path, char *const *argv, char *const *envp, const launch_options &options,
                             int out_fd, int err_fd)
{
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    if (options.extra_fds_from >= 0)
        for (int fd = options.extra_fds_from; fd <= options.extra_fds_to; fd++)
            dup2(null_fd, fd);
    for (int fd = 3; fd < 1024; fd++)
        if ((fd < options.extra_fds_from || fd > options.extra_fds_to) && fd != options.descriptor_3)
            close(fd);
    if (null_fd > 2 && (null_fd < options.extra_fds_from || null_fd > options.extra_fds_to))
        close(null_fd);
    // dup2 leaves the copy inheritable, but does nothing when both are 3.
    if (options.descriptor_3 == 3)
        fcntl(3, F_SETFD, 0);
    else if (options.descriptor_3 > 3 && dup2(options.descriptor_3, 3) == 3)
        close(options.descriptor_3);

    signal(SIGPIPE, SIG_DFL);
    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : options.blocked_signals)
        sigaddset(&mask, sig);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    if (options.before_exec)
        options.before_exec();
    if (options.close_standard_fds)
        for (int fd = 0; fd <= 2; fd++)
            close(fd);
    execve(path, argv, envp);
    _exit(127);
}

void fill_status(run_result &result, int wait_status)
{
    if (WIFEXITED(wait_status))
        result.status = WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        result.signal = WTERMSIG(wait_status);
}

// Whether a user who is neither owner nor group member may run path: the
// file executable and every directory on the way searchable by others.
bool others_may_run(const std::string &path)
{
    struct stat info;
    if (stat(path.c_str(), &info) == -1 || (info.st_mode & S_IXOTH) == 0)
        return false;
    for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
         slash = path.rfind('/', slash - 1))
        if (stat(path.substr(0, slash).c_str(), &info) == -1 || (info.st_mode & S_IXOTH) == 0)
            return false;
    return true;
}

std::string copies_dir;
pid_t copies_owner = -1;

// Death tests fork this process and leave by exit: only the process that
// made the copies removes them.
void remove_copies()
{
    if (getpid() != copies_owner)
        return;
    if (DIR *dir = opendir(copies_dir.c_str())) {
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.')
                unlink((copies_dir + "/" + entry->d_name).c_str());
        closedir(dir);
    }
    rmdir(copies_dir.c_str());
}

}  // namespace

std::string runnable_by_anyone(const std::string &path)
{
    if (others_may_run(path))
        return path;
    if (copies_dir.empty()) {
        char name[] = "/tmp/sockherd-bin-XXXXXX";
        if (mkdtemp(name) == nullptr || chmod(name, 0755) == -1)
            return path;
        copies_dir = name;
        copies_owner = getpid();
        atexit(remove_copies);
    }
    std::string copy = copies_dir + "/" + path.substr(path.rfind('/') + 1);
    if (access(copy.c_str(), X_OK) == 0)
        return copy;
    {
        std::ifstream in(path, std::ios::binary);
        std::ofstream out(copy, std::ios::binary);
        out << in.rdbuf();
    }
    chmod(copy.c_str(), 0755);
    return copy;
}

pid_t spawn(const std::vector<std::string> &args, const launch_options &options, int out_fd, int err_fd)
{
    // Everything the child needs is built before fork: the test may run threads.
    std::string path = options.program.empty() ? SOCKHERD_BIN : options.program;
    std::vector<char *> argv = {path.data()};
    for (const auto &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp = environment_for(options);
    pid_t pid = fork();
    if (pid == 0)
        exec_child(path.c_str(), argv.data(), envp.data(), options, out_fd, err_fd);
    return pid;
}

launched launch(const std::vector<std::string> &args, const launch_options &options)
{
    launched program;
    program.out_path = temp_path("out");
    program.err_path = temp_path("err");
    int out_fd = open(program.out_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    int err_fd = open(program.err_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    program.pid = spawn(args, options, out_fd, err_fd);
    close(out_fd);
    close(err_fd);
    return program;
}

void remove_files(const launched &program)
{
    unlink(program.out_path.c_str());
    unlink(program.err_path.c_str());
}

void kill_and_reap(pid_t pid, int signal_number)
{
    if (pid <= 0)
        return;
    kill(pid, signal_number);
    int wait_status;
    waitpid(pid, &wait_status, 0);
}

bool wait_for_exit(pid_t pid, int &wait_status, int deadline_ms)
{
    auto deadline = deadline_in(deadline_ms);
    for (;;) {
        pid_t got = waitpid(pid, &wait_status, WNOHANG);
        if (got == pid)
            return true;
        if (got == -1 || remaining_ms(deadline) == 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

text_file::text_file(const std::string &content) : path(temp_path("file"))
{
    (void)write(content);
}

text_file::~text_file()
{
    unlink(path.c_str());
}

bool text_file::write(const std::string &content) const
{
    return write_file(path, content);
}

bool write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    return !out.fail();
}

run_result run_sockherd(const std::vector<std::string> &args, const launch_options &options, int deadline_ms)
{
    run_result result;
    launched program = launch(args, options);
    int wait_status = 0;
    if (program.pid > 0 && !wait_for_exit(program.pid, wait_status, deadline_ms)) {
        result.timed_out = true;
        kill(program.pid, SIGKILL);
        waitpid(program.pid, &wait_status, 0);
    }
    fill_status(result, wait_status);
    result.out = read_file(program.out_path);
    result.err = read_file(program.err_path);
    remove_files(program);
    return result;
}

daemon_process::~daemon_process()
{
    stop();
    if (out_fd != -1)
        close(out_fd);
    if (!err_path.empty())
        unlink(err_path.c_str());
}

bool daemon_process::start(const std::vector<std::string> &args, const launch_options &options)
{
    int out_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) == -1)
        return false;
    err_path = temp_path("err");
    int err_fd = open(err_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    pid = spawn(args, options, out_pipe[1], err_fd);
    close(out_pipe[1]);
    close(err_fd);
    out_fd = out_pipe[0];
    if (pid <= 0)
        return false;
    bool wants_port = false;
    for (const auto &arg : args)
        wants_port = wants_port || arg == "-1";
    if (!wants_port)
        return true;
    std::string line;
    while (line.find('\n') == std::string::npos) {
        std::string more = read_some(out_fd, 1);
        if (more.empty())
            return false;
        line += more;
    }
    port = atoi(line.c_str());
    // The port line comes before the privilege drop and the self-pipe; wait
    // until the SIGCHLD handler is in, so the daemon is complete.
    return port > 0 && eventually([&] { return catches_sigchld(pid); });
}

std::string daemon_process::err() const
{
    return read_file(err_path);
}

bool daemon_process::wait_for_err(const std::string &needle, int count, int deadline_ms) const
{
    return eventually([&] { return count_occurrences(err(), needle) >= count; }, deadline_ms);
}

bool daemon_process::wait_exit(int &status, int deadline_ms, int *signal_number)
{
    int wait_status = 0;
    if (pid <= 0 || !wait_for_exit(pid, wait_status, deadline_ms))
        return false;
    pid = -1;
    run_result result;
    fill_status(result, wait_status);
    status = result.status;
    if (signal_number != nullptr)
        *signal_number = result.signal;
    return true;
}

bool daemon_process::alive() const
{
    if (pid <= 0)
        return false;
    int wait_status;
    return waitpid(pid, &wait_status, WNOHANG) == 0;
}

void daemon_process::stop()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        int wait_status;
        waitpid(pid, &wait_status, 0);
        pid = -1;
    }
}

std::string bounded_text(const std::string &text)
{
    const size_t limit = 4096;
    std::string shown;
    size_t start = 0;
    while (start < text.size() && shown.size() <= limit) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        long repeats = 1;
        while (end < text.size() && text.compare(end, line.size(), line) == 0) {
            end += line.size();
            repeats++;
        }
        shown += line;
        if (repeats > 1)
            shown += "[the line above " + std::to_string(repeats) + " times in a row]\n";
        start = end;
    }
    if (shown.size() > limit || start < text.size()) {
        shown.resize(std::min(shown.size(), limit));
        shown += "\n[cut short; the whole text has " + std::to_string(text.size()) + " bytes]\n";
    }
    return shown;
}

int count_occurrences(const std::string &text, const std::string &needle)
{
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        count++;
    return count;
}

int connect_loopback(int port, int family, int receive_buffer, int max_segment)
{
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return -1;
    if (receive_buffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    if (max_segment > 0)
        setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &max_segment, sizeof max_segment);
    int rc;
    if (family == AF_INET6) {
        sockaddr_in6 address = {};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        address.sin6_addr = in6addr_loopback;
        rc = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    } else {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        rc = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    if (rc == -1) {
        close(fd);
        return -1;
    }
    return fd;
}

int connect_from(const std::string &source, int port)
{
    union {
        sockaddr any;
        sockaddr_in v4;
        sockaddr_in6 v6;
    } from = {}, to = {};
    socklen_t length;
    if (inet_pton(AF_INET6, source.c_str(), &from.v6.sin6_addr) == 1) {
        from.v6.sin6_family = to.v6.sin6_family = AF_INET6;
        to.v6.sin6_port = htons(static_cast<uint16_t>(port));
        to.v6.sin6_addr = in6addr_loopback;
        length = sizeof from.v6;
    } else if (inet_pton(AF_INET, source.c_str(), &from.v4.sin_addr) == 1) {
        from.v4.sin_family = to.v4.sin_family = AF_INET;
        to.v4.sin_port = htons(static_cast<uint16_t>(port));
        to.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof from.v4;
    } else {
        return -1;
    }
    int fd = socket(from.any.sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return -1;
    // The port is chosen at connect, for the pair of addresses: thousands of
    // clients of one source address cannot run out of ports at bind.
    int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    if (bind(fd, &from.any, length) == -1 || connect(fd, &to.any, length) == -1) {
        close(fd);
        return -1;
    }
    return fd;
}

int local_port_of(int fd)
{
    sockaddr_storage address = {};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == -1)
        return -1;
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in *>(&address)->sin_port);
}

std::string read_some(int fd, size_t count, int deadline_ms)
{
    std::string data;
    auto deadline = deadline_in(deadline_ms);
    while (data.size() < count) {
        pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, remaining_ms(deadline)) <= 0)
            break;
        char buffer[4096];
        size_t want = count - data.size() < sizeof buffer ? count - data.size() : sizeof buffer;
        ssize_t got = read(fd, buffer, want);
        if (got <= 0)
            break;
        data.append(buffer, static_cast<size_t>(got));
    }
    return data;
}

std::string read_to_eof(int fd, bool *eof, int deadline_ms)
{
    std::string data;
    auto deadline = deadline_in(deadline_ms);
    if (eof)
        *eof = false;
    for (;;) {
        pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, remaining_ms(deadline)) <= 0)
            return data;
        char buffer[4096];
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno == ECONNRESET)) {
            if (eof)
                *eof = got == 0;
            return data;
        }
        if (got < 0)
            return data;
        data.append(buffer, static_cast<size_t>(got));
    }
}

bool write_all(int fd, const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t put = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (put <= 0)
            return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

bool stays_silent(int fd, int wait_ms)
{
    pollfd ready = {fd, POLLIN, 0};
    return poll(&ready, 1, wait_ms) == 0;
}

void reset_close(int fd)
{
    linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

int borrow_fd(pid_t pid, int fd)
{
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd == -1)
        return -1;
    int copy = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
    close(pidfd);
    return copy;
}

bool shrink_send_buffer(pid_t pid, int fd, int bytes)
{
    int copy = borrow_fd(pid, fd);
    if (copy == -1)
        return false;
    bool done = setsockopt(copy, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
    close(copy);
    return done;
}

std::string raise_descriptor_limit(long wanted)
{
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == -1)
        return "cannot read the descriptor limit";
    rlim_t need = static_cast<rlim_t>(wanted);
    if (files.rlim_cur >= need)
        return "";
    rlimit raised = {need, files.rlim_max > need ? files.rlim_max : need};
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
        return "";
    return "needs " + std::to_string(wanted) + " descriptors; the hard limit is " + std::to_string(files.rlim_max) +
           " and raising it needs CAP_SYS_RESOURCE";
}

std::string proc_status_field(pid_t pid, const std::string &field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            size_t start = line.find_first_not_of(" \t", field.size() + 1);
            size_t end = line.find_last_not_of(" \t");
            return start == std::string::npos ? "" : line.substr(start, end + 1 - start);
        }
    return "";
}

int count_open_fds(pid_t pid)
{
    DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            count++;
    closedir(dir);
    return count;
}

bool catches_sigchld(pid_t pid)
{
    std::string caught = proc_status_field(pid, "SigCgt");
    return !caught.empty() && (strtoull(caught.c_str(), nullptr, 16) & (1ULL << (SIGCHLD - 1)));
}

std::string describe_fds(pid_t pid)
{
    std::string dir_path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(dir_path.c_str());
    if (dir == nullptr)
        return "(no " + dir_path + ")";
    std::string text;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[256];
        ssize_t length = readlink((dir_path + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        target[length > 0 ? length : 0] = '\0';
        text += std::string(entry->d_name) + " -> " + target + "\n";
    }
    closedir(dir);
    return text;
}

long rss_kib(pid_t pid)
{
    return atol(proc_status_field(pid, "VmRSS").c_str());
}

long cpu_ticks(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close_paren + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int index = 3; fields >> field; index++) {
        if (index == 14)
            utime = atol(field.c_str());
        if (index == 15) {
            stime = atol(field.c_str());
            break;
        }
    }
    return utime + stime;
}

std::vector<pid_t> children_of(pid_t pid, bool zombies_only)
{
    std::vector<pid_t> found;
    std::string list = read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::istringstream ids(list);
    pid_t child;
    while (ids >> child) {
        std::string state = proc_status_field(child, "State");
        if (!zombies_only || (!state.empty() && state[0] == 'Z'))
            found.push_back(child);
    }
    return found;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::string mask_text(const std::vector<int> &signals)
{
    unsigned long long mask = 0;
    for (int sig : signals)
        mask |= 1ULL << (sig - 1);
    char text[17];
    snprintf(text, sizeof text, "%016llx", mask);
    return text;
}

bool eventually(const std::function<bool()> &predicate, int deadline_ms)
{
    auto deadline = deadline_in(deadline_ms);
    for (;;) {
        if (predicate())
            return true;
        if (remaining_ms(deadline) == 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace harness

namespace {
// A test that writes to a closed connection must see EPIPE, not die.
const bool sigpipe_ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}  // namespace
