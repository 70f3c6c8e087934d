#include "sockherd.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

namespace sockherd {

// Every line the daemon writes about a client, and what it counts, is made
// here: the places where things happen name the event and nothing about its
// format. A text line is one fprintf; a JSON object is built whole and
// written with one write, so that lines from the daemon and its children
// never interleave.

counts_record counts;
tallies_record tallies;
static timespec started_at;  // CLOCK_MONOTONIC, for the uptime

// Room for any event; only a message can be long (a file name in it), and
// a message is cut rather than the line broken.
constexpr size_t json_line_size = 4096;
// Always kept free for what closes a line: a quote, a brace, a newline.
constexpr size_t json_closing_room = 4;

struct json_line {
    char text[json_line_size];
    size_t length;
};

static bool json_room(const json_line *line, size_t count)
{
    return line->length + count + json_closing_room <= sizeof line->text;
}

static void json_raw(json_line *line, const char *bytes, size_t count)
{
    if (!json_room(line, count))
        return;
    memcpy(line->text + line->length, bytes, count);
    line->length += count;
}

static void json_raw(json_line *line, const char *text)
{
    json_raw(line, text, strlen(text));
}

// The length of the valid UTF-8 sequence at text, or 0: no overlong form,
// no surrogate, nothing above U+10FFFF, as a strict parser demands.
static size_t utf8_sequence(const unsigned char *text)
{
    unsigned char lead = text[0];
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4)
        return 0;
    // The second byte's range narrows where the lead alone could spell an
    // overlong form, a surrogate or too large a code point.
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (text[1] < low || text[1] > high)
        return 0;
    for (size_t i = 2; i < length; i++)
        if ((text[i] & 0xC0) != 0x80)
            return 0;
    return length;
}

// A string value: quotes, backslashes and control characters escaped, and
// bytes that are not UTF-8 (a file name may hold any) replaced, so that a
// strict parser takes every line. Cut where the line is full.
static void json_string(json_line *line, const char *value)
{
    line->text[line->length++] = '"';  // json_room always leaves this much
    for (const unsigned char *at = reinterpret_cast<const unsigned char *>(value); *at != '\0';) {
        char escaped[8];
        size_t sequence = *at >= 0x80 ? utf8_sequence(at) : 1;
        if (sequence > 1) {
            if (!json_room(line, sequence))
                break;
            json_raw(line, reinterpret_cast<const char *>(at), sequence);
            at += sequence;
            continue;
        }
        if (*at == '"' || *at == '\\')
            (void)snprintf(escaped, sizeof escaped, "\\%c", *at);
        else if (*at < 0x20)
            (void)snprintf(escaped, sizeof escaped, "\\u%04x", *at);
        else if (*at >= 0x80)
            (void)snprintf(escaped, sizeof escaped, "\\ufffd");
        else
            (void)snprintf(escaped, sizeof escaped, "%c", *at);
        if (!json_room(line, strlen(escaped)))
            break;
        json_raw(line, escaped);
        at++;
    }
    line->text[line->length++] = '"';
}

// ,"name": — only when the value can follow it: a field is written whole or
// not at all.
static bool json_name(json_line *line, const char *name, size_t value_room)
{
    if (!json_room(line, strlen(name) + 4 + value_room))
        return false;
    json_raw(line, ",\"");
    json_raw(line, name);
    json_raw(line, "\":");
    return true;
}

static void json_number(json_line *line, const char *name, long long value)
{
    char digits[24];
    (void)snprintf(digits, sizeof digits, "%lld", value);
    if (json_name(line, name, strlen(digits)))
        json_raw(line, digits);
}

static void json_text(json_line *line, const char *name, const char *value)
{
    if (json_name(line, name, 2))
        json_string(line, value);
}

static void json_address(json_line *line, const char *name, const char *port_name, const socket_address *address)
{
    json_text(line, name, address_text(address));
    json_number(line, port_name, address_port(address));
}

// Opens the object with the time, in UTC with microseconds, and the event.
static void json_begin(json_line *line, const char *event)
{
    timespec now = {};
    tm utc = {};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    (void)gmtime_r(&now.tv_sec, &utc);
    char stamp[80];
    (void)snprintf(stamp, sizeof stamp, "{\"time\":\"%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ\"", utc.tm_year + 1900,
                   utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, now.tv_nsec / 1000);
    line->length = 0;
    json_raw(line, stamp);
    json_text(line, "event", event);
}

static void json_end(json_line *line)
{
    line->text[line->length++] = '}';
    line->text[line->length++] = '\n';
    ssize_t written = write(STDERR_FILENO, line->text, line->length);
    (void)written;  // nowhere left to report a failure
}

// The running count and the limit, as every line about a command shows them.
static void json_slots(json_line *line)
{
    json_number(line, "running", slots_in_use());
    json_number(line, "limit", settings.max_children);
}

void start_counting()
{
    (void)clock_gettime(CLOCK_MONOTONIC, &started_at);
}

void log_message(const char *event, const char *message)
{
    if (!settings.json_log) {
        (void)fprintf(stderr, "%s\n", message);
        return;
    }
    json_line line;
    json_begin(&line, event);
    json_text(&line, "message", message);
    json_end(&line);
}

void log_listening(const socket_address *bound)
{
    if (!settings.json_log)
        return;
    json_line line;
    json_begin(&line, "listening");
    json_number(&line, "pid", getpid());
    json_address(&line, "address", "port", bound);
    json_number(&line, "limit", settings.max_children);
    json_end(&line);
}

void log_accepted()
{
    counts.accepted++;
}

void log_rate_table_full()
{
    counts.rate_table_full++;
}

void log_accept_failed()
{
    counts.accept_failed++;
    warn("accept failed");
}

void log_fork_failed()
{
    counts.fork_failed++;
    warn("fork failed");
}

static void text_connected(pid_t pid, const connection *c)
{
    (void)fprintf(stderr, "%ld connected from %s port %d (%d/%d)\n", static_cast<long>(pid), address_text(&c->peer),
                  address_port(&c->peer), slots_in_use(), settings.max_children);
    if (c->proxied)
        log_proxied(pid, &c->client);
}

void log_connected(pid_t pid, const connection *c)
{
    counts.served++;
    if (running_children > counts.max_running)
        counts.max_running = running_children;
    if (!settings.verbose)
        return;
    if (!settings.json_log) {
        text_connected(pid, c);
        return;
    }
    json_line line;
    json_begin(&line, "connected");
    json_number(&line, "pid", pid);
    json_address(&line, "remote", "remote_port", &c->client);
    json_address(&line, "local", "local_port", &c->local);
    json_slots(&line);
    if (settings.proxy_protocol && !c->header_unread)
        json_address(&line, "balancer", "balancer_port", &c->peer);
    char network[network_text_size];
    if (c->verdict.matched)
        json_text(&line, "rule", verdict_network_text(&c->verdict, network));
    json_end(&line);
}

void log_exec_failed(pid_t pid, int error)
{
    counts.exec_failed++;
    if (!settings.json_log) {
        warn("unable to execute command");
        return;
    }
    json_line line;
    json_begin(&line, "exec failed");
    json_number(&line, "pid", pid);
    json_number(&line, "errno", error);
    json_end(&line);
}

// A forked header reader's own line: the daemon spawned it before anyone
// knew the client.
void log_proxied(pid_t pid, const socket_address *client)
{
    if (!settings.verbose)
        return;
    if (!settings.json_log) {
        (void)fprintf(stderr, "%ld proxied from %s port %d\n", static_cast<long>(pid), address_text(client),
                      address_port(client));
        return;
    }
    json_line line;
    json_begin(&line, "proxied");
    json_number(&line, "pid", pid);
    json_address(&line, "remote", "remote_port", client);
    json_end(&line);
}

// Nanoseconds from started until now; -1 without a clock.
static long long nanoseconds_since(const timespec *started)
{
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) == -1)
        return -1;
    return (now.tv_sec - started->tv_sec) * 1000000000LL + (now.tv_nsec - started->tv_nsec);
}

// ,"name":S.UUUUUU: a duration, left out when it is not known.
static void json_seconds(json_line *line, const char *name, long long nanoseconds)
{
    if (nanoseconds < 0)
        return;
    char seconds[32];
    (void)snprintf(seconds, sizeof seconds, "%lld.%06lld", nanoseconds / 1000000000LL,
                   nanoseconds % 1000000000LL / 1000);
    if (json_name(line, name, strlen(seconds)))
        json_raw(line, seconds);
}

static void json_seconds_since(json_line *line, const char *name, const timespec *started)
{
    json_seconds(line, name, nanoseconds_since(started));
}

// How the process ended, and for one of ours how long it ran.
static void json_closed(pid_t pid, int wait_status, bool ours, long long ran)
{
    json_line line;
    json_begin(&line, "closed");
    json_number(&line, "pid", pid);
    json_slots(&line);
    if (WIFSIGNALED(wait_status))
        json_number(&line, "signal", WTERMSIG(wait_status));
    else
        json_number(&line, "status", WEXITSTATUS(wait_status));
    if (!ours)
        json_raw(&line, ",\"foreign\":true");
    else
        json_seconds(&line, "duration", ran);
    json_end(&line);
}

// A command that its time limit sent SIGTERM ended by the limit, whether
// the signal ended it or it ended on its own after it.
static void count_outcome(int wait_status, const child_facts *facts)
{
    if (facts->timed_out)
        tallies.ended_timed_out++;
    else if (WIFSIGNALED(wait_status))
        tallies.signalled++;
    else if (WEXITSTATUS(wait_status) == 0)
        tallies.exit_zero++;
    else
        tallies.exit_nonzero++;
}

void log_closed(pid_t pid, int wait_status, const child_facts *facts)
{
    // One reading of the clock serves the histogram and the JSON duration alike.
    long long ran = -1;
    if (facts != nullptr) {
        count_outcome(wait_status, facts);
        if (settings.json_log || settings.metrics_file != nullptr)
            ran = nanoseconds_since(&facts->started);
        if (settings.metrics_file != nullptr && ran >= 0)
            observe_command_duration(ran);
    }
    if (!settings.verbose)
        return;
    if (settings.json_log)
        json_closed(pid, wait_status, facts != nullptr, ran);
    else
        (void)fprintf(stderr, "%ld closed (%d/%d)\n", static_cast<long>(pid), slots_in_use(), settings.max_children);
}

// A signal a command's time limit sent it, in JSON: how long it had run.
static void json_time_limit(const char *event, pid_t pid, const timespec *started)
{
    json_line line;
    json_begin(&line, event);
    json_number(&line, "pid", pid);
    json_seconds_since(&line, "after", started);
    json_end(&line);
}

void log_timed_out(pid_t pid, const timespec *started)
{
    counts.timed_out++;
    if (settings.json_log)
        json_time_limit("timed out", pid, started);
    else if (settings.verbose)
        (void)fprintf(stderr, "%ld timed out (%d/%d)\n", static_cast<long>(pid), slots_in_use(),
                      settings.max_children);
}

void log_killed(pid_t pid, const timespec *started)
{
    counts.killed++;
    if (settings.json_log)
        json_time_limit("killed", pid, started);
    else if (settings.verbose)
        (void)fprintf(stderr, "%ld killed (%d/%d)\n", static_cast<long>(pid), slots_in_use(), settings.max_children);
}

void log_penalty(const source_key *source, int seconds, int wait_status, bool timed_out)
{
    counts.penalties++;
    if (!settings.verbose)
        return;
    if (!settings.json_log) {
        (void)fprintf(stderr, "- penalty for %s: %d s\n", source_text(source), seconds);
        return;
    }
    json_line line;
    json_begin(&line, "penalty");
    json_text(&line, "source", source_text(source));
    json_number(&line, "seconds", seconds);
    if (timed_out)
        json_raw(&line, ",\"timeout\":true");
    else if (WIFSIGNALED(wait_status))
        json_number(&line, "signal", WTERMSIG(wait_status));
    else
        json_number(&line, "status", WEXITSTATUS(wait_status));
    json_end(&line);
}

// The lines about a client that no command serves: remote and its port,
// and a field of its own.
static void json_turned_away(const char *event, const socket_address *remote, const char *name, const char *value)
{
    json_line line;
    json_begin(&line, event);
    json_address(&line, "remote", "remote_port", remote);
    if (name != nullptr)
        json_text(&line, name, value);
    json_end(&line);
}

static unsigned long long *refusal_count(refusal_reason reason)
{
    switch (reason) {
    case refused_over_source: return &counts.source_refused;
    case refused_over_rate: return &counts.rate_refused;
    case refused_for_penalty: return &counts.penalty_refused;
    case refused_at_limit: break;
    }
    return &counts.refused;
}

static void text_refused(const socket_address *remote, refusal_reason reason)
{
    const char *address = address_text(remote);
    int port = address_port(remote);
    switch (reason) {
    case refused_over_source:
        (void)fprintf(stderr, "- refused from %s port %d (source limit)\n", address, port);
        return;
    case refused_over_rate:
        (void)fprintf(stderr, "- refused from %s port %d (rate limit)\n", address, port);
        return;
    case refused_for_penalty:
        (void)fprintf(stderr, "- refused from %s port %d (penalty)\n", address, port);
        return;
    case refused_at_limit: break;
    }
    (void)fprintf(stderr, "- refused from %s port %d\n", address, port);
}

void log_refused(const socket_address *remote, refusal_reason reason)
{
    static const char *const reasons[] = {"limit", "source limit", "rate limit", "penalty"};
    (*refusal_count(reason))++;
    if (!settings.verbose)
        return;
    if (settings.json_log)
        json_turned_away("refused", remote, "reason", reasons[reason]);
    else
        text_refused(remote, reason);
}

void log_dropped(const socket_address *remote)
{
    counts.dropped++;
    if (!settings.verbose)
        return;
    if (settings.json_log)
        json_turned_away("dropped", remote, nullptr, nullptr);
    else
        (void)fprintf(stderr, "- dropped from %s port %d\n", address_text(remote), address_port(remote));
}

// Whatever -v says: a balancer that sends bad headers is misconfigured, and
// an operator must hear of it.
void log_bad_header(pid_t pid, const socket_address *peer)
{
    counts.bad_headers++;
    if (settings.json_log)
        json_turned_away("bad proxy header", peer, nullptr, nullptr);
    else if (pid == 0)
        (void)fprintf(stderr, "- bad proxy header from %s port %d\n", address_text(peer), address_port(peer));
    else
        (void)fprintf(stderr, "%ld bad proxy header from %s port %d\n", static_cast<long>(pid), address_text(peer),
                      address_port(peer));
}

void log_denied(const socket_address *remote, const access_verdict *verdict)
{
    counts.denied++;
    if (!settings.verbose)
        return;
    char network[network_text_size];
    if (settings.json_log)
        json_turned_away("denied", remote, "rule", verdict_network_text(verdict, network));
    else
        (void)fprintf(stderr, "- denied from %s port %d\n", address_text(remote), address_port(remote));
}

// The lines of a reload, which name no client.
static void json_count_event(const char *event, const char *name, long long value)
{
    json_line line;
    json_begin(&line, event);
    if (name != nullptr)
        json_number(&line, name, value);
    json_end(&line);
}

void log_reloaded(size_t rules)
{
    tallies.reloads++;
    if (settings.json_log)
        json_count_event("reloaded", "rules", static_cast<long long>(rules));
    else if (settings.verbose)
        (void)fprintf(stderr, "- reloaded %d rules\n", static_cast<int>(rules));
}

void log_rules_unchanged()
{
    tallies.reloads_failed++;
    if (settings.json_log)
        json_count_event("rules unchanged", nullptr, 0);
    else
        (void)fprintf(stderr, "- rules unchanged\n");
}

void log_revoked(int commands)
{
    tallies.revoked += static_cast<unsigned long long>(commands);
    if (settings.json_log)
        json_count_event("revoked", "commands", commands);
    else if (settings.verbose)
        (void)fprintf(stderr, "- revoked %d commands\n", commands);
}

// The counts, in the order the text line and the JSON object give them.
struct count_field {
    const char *name;
    long long value;
};

static size_t collect_counts(count_field *fields)
{
    timespec now = {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    size_t n = 0;
    fields[n++] = {"accepted", static_cast<long long>(counts.accepted)};
    fields[n++] = {"served", static_cast<long long>(counts.served)};
    fields[n++] = {"refused", static_cast<long long>(counts.refused)};
    fields[n++] = {"source_refused", static_cast<long long>(counts.source_refused)};
    fields[n++] = {"rate_refused", static_cast<long long>(counts.rate_refused)};
    fields[n++] = {"penalty_refused", static_cast<long long>(counts.penalty_refused)};
    fields[n++] = {"denied", static_cast<long long>(counts.denied)};
    fields[n++] = {"dropped", static_cast<long long>(counts.dropped)};
    fields[n++] = {"bad_headers", static_cast<long long>(counts.bad_headers)};
    fields[n++] = {"fork_failed", static_cast<long long>(counts.fork_failed)};
    fields[n++] = {"exec_failed", static_cast<long long>(counts.exec_failed)};
    fields[n++] = {"timed_out", static_cast<long long>(counts.timed_out)};
    fields[n++] = {"killed", static_cast<long long>(counts.killed)};
    fields[n++] = {"penalties", static_cast<long long>(counts.penalties)};
    fields[n++] = {"rate_table_full", static_cast<long long>(counts.rate_table_full)};
    fields[n++] = {"accept_failed", static_cast<long long>(counts.accept_failed)};
    fields[n++] = {"max_running", counts.max_running};
    fields[n++] = {"running", running_children};
    fields[n++] = {"limit", settings.max_children};
    fields[n++] = {"pending_refusals", pending_refusals};
    fields[n++] = {"waiting_headers", waiting_headers};
    fields[n++] = {"uptime", static_cast<long long>(now.tv_sec - started_at.tv_sec)};
    return n;
}

void log_counts()
{
    count_field fields[32];
    size_t n = collect_counts(fields);
    if (settings.json_log) {
        json_line line;
        json_begin(&line, "counts");
        for (size_t i = 0; i < n; i++)
            json_number(&line, fields[i].name, fields[i].value);
        json_end(&line);
        return;
    }
    char text[1024];
    size_t length = static_cast<size_t>(snprintf(text, sizeof text, "- counts"));
    for (size_t i = 0; i < n && length < sizeof text; i++)
        length += static_cast<size_t>(
            snprintf(text + length, sizeof text - length, " %s=%lld", fields[i].name, fields[i].value));
    (void)fprintf(stderr, "%s\n", text);
}

void log_draining(int running)
{
    if (settings.json_log)
        json_count_event("draining", "running", running);
    else if (settings.verbose)
        (void)fprintf(stderr, "- draining (%d running)\n", running);
}

void log_drained()
{
    if (settings.json_log)
        json_count_event("drained", nullptr, 0);
    else if (settings.verbose)
        (void)fprintf(stderr, "- drained\n");
}

void log_drain_ended(int signalled)
{
    if (settings.json_log)
        json_count_event("drain ended", "signalled", signalled);
    else if (settings.verbose)
        (void)fprintf(stderr, "- drain ended (%d commands sent SIGTERM)\n", signalled);
}

void format_status(char *text, size_t size)
{
    (void)snprintf(text, size, "%d/%d running; %llu served, %llu refused, %llu denied, %llu dropped, %llu failed",
                   running_children, settings.max_children, static_cast<unsigned long long>(counts.served),
                   static_cast<unsigned long long>(counts.refused + counts.source_refused + counts.rate_refused +
                                                   counts.penalty_refused),
                   static_cast<unsigned long long>(counts.denied), static_cast<unsigned long long>(counts.dropped),
                   static_cast<unsigned long long>(counts.fork_failed + counts.exec_failed));
}

}  // namespace sockherd
