#include "sockherd.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sockherd {

// The counts, what became of the commands and how long they ran, in
// Prometheus's text exposition format (version 0.0.4), for node_exporter's
// textfile collector. node_exporter reads the file whenever it is scraped,
// so each write goes to FILE.new and is renamed over FILE: a reader sees the
// old text or the new one, never half of either.

// At most one write in this many seconds while the figures change.
constexpr int metrics_interval_seconds = 10;

// The histogram's upper bounds in nanoseconds (0.01, 0.1, 1, 10, 60, 600
// and 3600 seconds), and their text; +Inf follows them.
constexpr size_t duration_bounds = 7;
static const long long bound_nanoseconds[duration_bounds] = {
    10000000LL, 100000000LL, 1000000000LL, 10000000000LL, 60000000000LL, 600000000000LL, 3600000000000LL,
};
static const char *const bound_text[duration_bounds] = {"0.01", "0.1", "1", "10", "60", "600", "3600"};

// Commands whose duration fell in each bucket (not yet cumulative: the last
// is those above every bound), and the sum of the durations.
static long long duration_counts[duration_bounds + 1];
static long long duration_sum;  // nanoseconds: 292 years of command time fit

// Every figure the file shows. All of one type, so that two of them compare
// byte for byte with no padding between the fields.
struct metrics_figures {
    long long accepted, started, refused[4], denied, dropped, bad_headers, spawn_failed[2], accept_failed;
    long long ended[4], reloads[2], revoked, penalties, killed, rate_table_full;
    long long running, limit, max_running, pending_refusals, waiting_headers;
    long long durations[duration_bounds + 1], duration_sum;
};

static const char *const refusal_reasons[4] = {"limit", "source limit", "rate limit", "penalty"};
static const char *const spawn_stages[2] = {"fork", "exec"};
static const char *const outcomes[4] = {"exit_zero", "exit_nonzero", "signal", "timed_out"};
static const char *const reload_results[2] = {"ok", "failed"};

static char *new_path;        // FILE.new, made once at start-up
static char listen_label[64]; // the listening socket's own address: "[ADDRESS]:PORT" for IPv6
static long long started_at;  // Unix seconds
static metrics_figures written;  // as the file last showed them
static timespec written_at;      // CLOCK_MONOTONIC, of the last attempt, whether it worked or not
static timespec next_write_at;
static bool failing;  // the last attempt failed, and said so

// The text is made here for every write, never allocated: about 7 KiB with
// the longest label.
static char text[16384];
static size_t text_length;

[[gnu::format(printf, 1, 2)]] static void append(const char *format, ...)
{
    if (text_length >= sizeof text)
        return;
    va_list arguments;
    va_start(arguments, format);
    int added = vsnprintf(text + text_length, sizeof text - text_length, format, arguments);
    va_end(arguments);
    text_length += added < 0 ? sizeof text : static_cast<size_t>(added);
}

static void family(const char *name, const char *type, const char *help)
{
    append("# HELP sockherd_%s %s\n# TYPE sockherd_%s %s\n", name, help, name, type);
}

static void sample(const char *name, long long value)
{
    append("sockherd_%s{listen=\"%s\"} %lld\n", name, listen_label, value);
}

static void one(const char *name, const char *type, const char *help, long long value)
{
    family(name, type, help);
    sample(name, value);
}

// A family with one series per value of its label.
static void labelled(const char *name, const char *help, const char *label, const char *const *label_values,
                     const long long *values, size_t count)
{
    family(name, "counter", help);
    for (size_t i = 0; i < count; i++)
        append("sockherd_%s{listen=\"%s\",%s=\"%s\"} %lld\n", name, listen_label, label, label_values[i], values[i]);
}

static void histogram(const metrics_figures *f)
{
    const char *name = "command_duration_seconds";
    family(name, "histogram", "How long each command ran, from its start to its collection.");
    long long below = 0;
    for (size_t i = 0; i < duration_bounds; i++) {
        below += f->durations[i];
        append("sockherd_%s_bucket{listen=\"%s\",le=\"%s\"} %lld\n", name, listen_label, bound_text[i], below);
    }
    below += f->durations[duration_bounds];
    append("sockherd_%s_bucket{listen=\"%s\",le=\"+Inf\"} %lld\n", name, listen_label, below);
    append("sockherd_%s_sum{listen=\"%s\"} %lld.%09lld\n", name, listen_label, f->duration_sum / 1000000000LL,
           f->duration_sum % 1000000000LL);
    append("sockherd_%s_count{listen=\"%s\"} %lld\n", name, listen_label, below);
}

static void counters(const metrics_figures *f)
{
    one("connections_accepted_total", "counter", "Connections accepted.", f->accepted);
    one("commands_started_total", "counter", "Commands started, those that then failed to execute included.",
        f->started);
    labelled("clients_refused_total", "Clients refused, by reason.", "reason", refusal_reasons, f->refused, 4);
    one("clients_denied_total", "counter", "Clients denied by the access rules.", f->denied);
    one("connections_dropped_total", "counter", "Connections closed at once, beyond the descriptors select watches.",
        f->dropped);
    one("bad_proxy_headers_total", "counter", "Connections closed for a missing or bad PROXY header.",
        f->bad_headers);
    labelled("spawn_failures_total", "Commands that could not be started, by the stage that failed.", "stage",
             spawn_stages, f->spawn_failed, 2);
    one("accept_failures_total", "counter", "Failed accepts.", f->accept_failed);
    labelled("commands_ended_total", "Commands collected, by how they ended.", "outcome", outcomes, f->ended, 4);
    labelled("reloads_total", "Reloads of the access rules, by result.", "result", reload_results, f->reloads, 2);
    one("commands_revoked_total", "counter", "Commands sent SIGTERM because reloaded rules deny their client.",
        f->revoked);
    one("penalties_total", "counter", "Penalties started.", f->penalties);
    one("commands_killed_total", "counter", "Commands sent SIGKILL 2 seconds after their time limit's SIGTERM.",
        f->killed);
    one("rate_table_full_total", "counter", "Clients whose source found no free entry in the table of rates.",
        f->rate_table_full);
}

static void make_text(const metrics_figures *f)
{
    text_length = 0;
    counters(f);
    one("commands_running", "gauge", "Commands running.", f->running);
    one("commands_limit", "gauge", "The most commands that may run at once (-c).", f->limit);
    one("commands_running_max", "gauge", "The most commands that ran at once.", f->max_running);
    one("refusals_pending", "gauge", "Refused clients still being sent the refusal text or lingering.",
        f->pending_refusals);
    one("proxy_headers_waiting", "gauge", "Connections waiting for their PROXY header.", f->waiting_headers);
    one("start_time_seconds", "gauge", "When the daemon started, in seconds since the Unix epoch.", started_at);
    histogram(f);
}

static void current_figures(metrics_figures *f)
{
    *f = {};
    f->accepted = static_cast<long long>(counts.accepted);
    f->started = static_cast<long long>(counts.served);
    const unsigned long long refused[4] = {counts.refused, counts.source_refused, counts.rate_refused,
                                           counts.penalty_refused};
    const unsigned long long ended[4] = {tallies.exit_zero, tallies.exit_nonzero, tallies.signalled,
                                         tallies.ended_timed_out};
    for (size_t i = 0; i < 4; i++) {
        f->refused[i] = static_cast<long long>(refused[i]);
        f->ended[i] = static_cast<long long>(ended[i]);
    }
    f->denied = static_cast<long long>(counts.denied);
    f->dropped = static_cast<long long>(counts.dropped);
    f->bad_headers = static_cast<long long>(counts.bad_headers);
    f->spawn_failed[0] = static_cast<long long>(counts.fork_failed);
    f->spawn_failed[1] = static_cast<long long>(counts.exec_failed);
    f->accept_failed = static_cast<long long>(counts.accept_failed);
    f->reloads[0] = static_cast<long long>(tallies.reloads);
    f->reloads[1] = static_cast<long long>(tallies.reloads_failed);
    f->revoked = static_cast<long long>(tallies.revoked);
    f->penalties = static_cast<long long>(counts.penalties);
    f->killed = static_cast<long long>(counts.killed);
    f->rate_table_full = static_cast<long long>(counts.rate_table_full);
    f->running = running_children;
    f->limit = settings.max_children;
    f->max_running = counts.max_running;
    f->pending_refusals = pending_refusals;
    f->waiting_headers = waiting_headers;
    memcpy(f->durations, duration_counts, sizeof f->durations);
    f->duration_sum = duration_sum;
}

// The mode, then every byte; 0, or -1 with errno.
static int fill(int fd)
{
    // node_exporter reads the file as a user of its own, whatever umask the
    // daemon (and so every command) was given.
    if (fchmod(fd, 0644) == -1)
        return -1;
    for (size_t done = 0; done < text_length;) {
        ssize_t wrote = write(fd, text + done, text_length - done);
        if (wrote == -1)
            return -1;
        done += static_cast<size_t>(wrote);
    }
    return 0;
}

// 0, or -1 with errno from the call that failed. No fsync: a file lost in
// a crash is written again as soon as the daemon starts again.
static int write_text()
{
    if (text_length >= sizeof text) {
        errno = EOVERFLOW;  // cannot happen with the figures' widths; better said than cut
        return -1;
    }
    int fd = open(new_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1)
        return -1;
    if (fill(fd) == -1) {
        int error = errno;
        (void)close(fd);
        errno = error;
        return -1;
    }
    if (close(fd) == -1)  // where a full disk or a lost NFS server may show first
        return -1;
    return rename(new_path, settings.metrics_file);
}

static void report_failure(void (*report)(const char *message), int error)
{
    // The longest path the system opens and the longest reason.
    char message[4096 + 128];
    (void)snprintf(message, sizeof message, "unable to write %s: %s", settings.metrics_file, strerror(error));
    report(message);
}

// One attempt; a failure is told once, until an attempt works again.
static void write_figures(const metrics_figures *f, const timespec *now, void (*report)(const char *message))
{
    written_at = *now;
    make_text(f);
    if (write_text() == -1) {
        int error = errno;
        (void)unlink(new_path);  // a half-written FILE.new would only mislead whoever looks
        if (!failing)
            report_failure(report, error);
        failing = true;
        return;
    }
    written = *f;
    failing = false;
}

void observe_command_duration(long long nanoseconds)
{
    size_t bucket = 0;
    while (bucket < duration_bounds && nanoseconds > bound_nanoseconds[bucket])
        bucket++;
    duration_counts[bucket]++;
    duration_sum += nanoseconds;
}

// The listening socket's own address and port, as every series is labelled.
static void make_listen_label()
{
    socket_address bound = {};
    socklen_t length = sizeof bound;
    if (getsockname(listen_fd, &bound.any, &length) == -1)
        die("unable to get bound address");
    const char *address = address_text(&bound);
    const char *format = strchr(address, ':') != nullptr ? "[%s]:%d" : "%s:%d";
    (void)snprintf(listen_label, sizeof listen_label, format, address, address_port(&bound));
}

// Now, whatever changed: at start-up, on SIGUSR1 and on the way out.
static void write_now(void (*report)(const char *message))
{
    metrics_figures f;
    current_figures(&f);
    timespec now = {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);  // without a clock no write is ever due but these
    write_figures(&f, &now, report);
}

void start_metrics()
{
    if (settings.metrics_file == nullptr)
        return;
    size_t length = strlen(settings.metrics_file);
    new_path = static_cast<char *>(malloc(length + sizeof ".new"));
    if (new_path == nullptr)
        die("out of memory");
    memcpy(new_path, settings.metrics_file, length);
    memcpy(new_path + length, ".new", sizeof ".new");
    make_listen_label();
    timespec now = {};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    started_at = now.tv_sec;
    write_now(die);
}

void write_metrics()
{
    if (settings.metrics_file != nullptr)
        write_now(warn);
}

const timespec *metrics_due()
{
    if (settings.metrics_file == nullptr)
        return nullptr;
    metrics_figures f;
    current_figures(&f);
    if (memcmp(&f, &written, sizeof f) == 0)
        return nullptr;
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) == -1)
        return nullptr;
    next_write_at = written_at;
    next_write_at.tv_sec += metrics_interval_seconds;
    if (time_before(&now, &next_write_at))
        return &next_write_at;
    write_figures(&f, &now, warn);
    return nullptr;
}

}  // namespace sockherd
