// The ceiling with no network at all: W workers, each running the command
// with fork, execve and waitpid, its output on /dev/null, one after another.
// It shows what the machine's process creation alone allows.
//
//   forkloop -n total -w workers command ...
//     prints "connections=N seconds=S cps=R" in the load generator's format.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

[[noreturn]] static void die(const char *message)
{
    (void)fprintf(stderr, "forkloop: %s\n", message);
    exit(20);
}

static double now_seconds()
{
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) == -1)
        die("unable to read the clock");
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

static void run_once(char **command)
{
    pid_t pid = fork();
    if (pid == -1)
        die("fork failed");
    if (pid == 0) {
        execve(command[0], command, environ);
        _exit(20);
    }
    int status;
    if (waitpid(pid, &status, 0) == -1)
        die("waitpid failed");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        die("command failed");
}

static void run_worker(long count, char **command)
{
    for (long i = 0; i < count; i++)
        run_once(command);
}

int main(int argc, char **argv)
{
    long total = 0;
    int workers = 1;
    int option;
    while ((option = getopt(argc, argv, "+n:w:")) != -1) {
        if (option == 'n')
            total = atol(optarg);
        else if (option == 'w')
            workers = atoi(optarg);
        else
            die("usage: forkloop -n total -w workers command ...");
    }
    if (optind >= argc || total <= 0 || workers <= 0)
        die("usage: forkloop -n total -w workers command ...");

    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd == -1 || dup2(null_fd, 1) == -1)
        die("unable to open /dev/null");
    double begin = now_seconds();
    for (int w = 0; w < workers; w++) {
        pid_t pid = fork();
        if (pid == -1)
            die("fork failed");
        if (pid == 0) {
            run_worker(total / workers, argv + optind);
            _exit(0);
        }
    }
    long done = total / workers * workers;
    for (int w = 0; w < workers; w++) {
        int status;
        if (wait(&status) == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            die("a worker failed");
    }
    double seconds = now_seconds() - begin;
    (void)fprintf(stderr, "connections=%ld seconds=%.3f cps=%.1f\n", done, seconds, static_cast<double>(done) / seconds);
    return 0;
}
