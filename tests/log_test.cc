// The log: the strict reader that judges -J lines, the JSON text of a
// message, every event under -J against the text line it replaces under -v
// and against the client's own addresses, the counts SIGUSR1 asks for, and
// the metrics of -M as Prometheus's own parser reads them.
#include "harness.h"
#include "json_line.h"
#include "sockherd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using harness::daemon_process;
using harness::launch_options;

namespace {

TEST(StrictJson, TakesJsonAndRefusesAllElse)
{
    const std::vector<std::string> accepted = {
        "{}",
        R"({"a":"x","b":-0,"c":1.5e-3,"d":true,"e":false,"f":null,"g":20,"h":0.300000})",
        " {\t\"a\" : 1 ,\"b\":2\r\n} ",
        R"({"s":"\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00"})",
        "{\"s\":\"caf\xc3\xa9 \xf0\x9f\x98\x80 \x7f\"}",
    };
    for (const auto &line : accepted) {
        json::object parsed;
        EXPECT_EQ(json::parse_object(line, parsed), "") << line;
    }
    json::object parsed;
    ASSERT_EQ(json::parse_object(accepted[3], parsed), "");
    EXPECT_EQ(parsed.fields[0].text, "\"\\/\b\f\n\r\t\xc3\xa9\xf0\x9f\x98\x80");
    ASSERT_EQ(json::parse_object(accepted[1], parsed), "");
    EXPECT_EQ(parsed.fields.size(), 8u);
    EXPECT_EQ(parsed.find("h")->text, "0.300000") << "a number as written";

    const std::vector<std::string> refused = {
        "",
        "[1]",
        "{\"a\":1",
        "{\"a\":1,}",
        "{,\"a\":1}",
        "{\"a\":1,,\"b\":2}",
        "{\"a\":1}}",
        "{\"a\":1} x",
        "{\"a\" 1}",
        "{a:1}",
        "{'a':1}",
        "{\"a\":{\"b\":1}}",
        "{\"a\":[1]}",
        "{\"a\":1,\"a\":2}",
        "{\"a\":NaN}",
        "{\"a\":Infinity}",
        "{\"a\":-}",
        "{\"a\":01}",
        "{\"a\":+1}",
        "{\"a\":.5}",
        "{\"a\":1.}",
        "{\"a\":1e}",
        "{\"a\":True}",
        "{\"a\":\"x}",
        "{\"a\":\"tab\there\"}",
        std::string("{\"a\":\"nul\0here\"}", 16),
        "{\"a\":\"\\x41\"}",
        "{\"a\":\"\\u12\"}",
        "{\"a\":\"\\ud800\"}",
        "{\"a\":\"\\ud800\\u0041\"}",
        "{\"a\":\"\\udc00\"}",
        "{\"a\":\"\xff\"}",
        "{\"a\":\"\x80\"}",
        "{\"a\":\"\xc0\x80\"}",
        "{\"a\":\"\xe0\x80\x80\"}",
        "{\"a\":\"\xed\xa0\x80\"}",
        "{\"a\":\"\xf4\x90\x80\x80\"}",
        "{\"a\":\"\xe2\x82\"}",
    };
    for (const auto &line : refused)
        EXPECT_NE(json::parse_object(line, parsed), "") << line;
}

// "2026-12-09T22:33:01.123456Z", within the seconds of the run.
std::string check_time(const json::field &time, time_t from, time_t to)
{
    const std::string &text = time.text;
    const char *shape = "dddd-dd-ddTdd:dd:dd.ddddddZ";
    bool fits = time.type == json::kind::string && text.size() == strlen(shape);
    for (size_t i = 0; fits && i < text.size(); i++)
        fits = shape[i] == 'd' ? isdigit(static_cast<unsigned char>(text[i])) != 0 : text[i] == shape[i];
    if (!fits)
        return "time \"" + text + "\" is not UTC RFC 3339 with microseconds";
    tm utc = {};
    if (strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &utc) == nullptr)
        return "time \"" + text + "\" is no date";
    time_t seconds = timegm(&utc);
    if (seconds < from - 1 || seconds > to + 1)
        return "time \"" + text + "\" is not the time of the run";
    return "";
}

// A message holds whatever it is given: under -J each one is a string that a
// strict parser takes and decodes to the message, bytes that are not UTF-8
// replaced, a long one cut without breaking the line or a character.
TEST(JsonMessages, AreStringsThatDecodeToTheMessage)
{
    struct message_case {
        const char *what;
        std::string message;
        std::string decoded;  // empty: cut, a prefix of the message that fills the line
    };
    const std::string replacement = "\xef\xbf\xbd";
    std::string controls;
    for (char c = 1; c < 0x20; c++)
        controls += c;
    std::string accents;
    for (int i = 0; i < 3000; i++)
        accents += "\xc3\xa9";
    const std::vector<message_case> cases = {
        {"quotes and backslashes", "say \"hi\" \\ there / 100% %s", "say \"hi\" \\ there / 100% %s"},
        {"control characters", controls + "\x7f", controls + "\x7f"},
        {"UTF-8", "caf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x98\x80"},
        {"bytes that are not UTF-8", "\xff\xfe|\x80|\xc0\x80|\xe2\x82|\xc3",
         replacement + replacement + "|" + replacement + "|" + replacement + replacement + "|" + replacement +
             replacement + "|" + replacement},
        {"a surrogate, overlong forms and beyond U+10FFFF", "\xed\xa0\x80|\xe0\x80\x80|\xf0\x80\x80\x80|\xf4\x90\x80\x80",
         replacement + replacement + replacement + "|" + replacement + replacement + replacement + "|" + replacement +
             replacement + replacement + replacement + "|" + replacement + replacement + replacement + replacement},
        {"long", std::string(5000, 'x'), ""},
        {"long, every byte escaped", std::string(3000, '"'), ""},
        {"long, of two-byte characters", accents, ""},
    };
    struct json_log_on {
        json_log_on() { sockherd::settings.json_log = true; }
        ~json_log_on() { sockherd::settings = sockherd::settings_record{}; }
    } json_log;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        time_t from = time(nullptr);
        testing::internal::CaptureStderr();
        sockherd::warn(c.message.c_str());
        std::string written = testing::internal::GetCapturedStderr();
        ASSERT_FALSE(written.empty());
        EXPECT_EQ(written.find('\n'), written.size() - 1) << "one line";
        EXPECT_LE(written.size(), 4096u);
        json::object parsed;
        ASSERT_EQ(json::parse_object(written.substr(0, written.size() - 1), parsed), "") << written;
        ASSERT_EQ(parsed.fields.size(), 3u) << written;
        EXPECT_EQ(parsed.fields[0].name, "time");
        EXPECT_EQ(check_time(parsed.fields[0], from, time(nullptr)), "");
        EXPECT_EQ(parsed.fields[1].name, "event");
        EXPECT_EQ(parsed.fields[1].text, "error");
        EXPECT_EQ(parsed.fields[2].name, "message");
        const std::string &message = parsed.fields[2].text;
        if (!c.decoded.empty()) {
            EXPECT_EQ(message, c.decoded);
        } else {
            EXPECT_GE(written.size(), 4000u) << "cut long before the line is full";
            EXPECT_EQ(c.message.compare(0, message.size(), message), 0) << "not a prefix";
        }
    }
}

// ---- every event, as JSON and as the text line it replaces -----------------

enum class log_mode { none, text, json };

const char *option_of(log_mode mode)
{
    return mode == log_mode::text ? "-v" : mode == log_mode::json ? "-J" : "";
}

const char *name_of(log_mode mode)
{
    return mode == log_mode::text ? "-v" : mode == log_mode::json ? "-J" : "no log";
}

struct endpoint {
    std::string address;
    int port;
};

std::string text_of(const endpoint &end)
{
    return end.address + " port " + std::to_string(end.port);
}

// A process: the n-th one the log names (bound where it first appears, and
// different from every other), or one the test knows.
struct pid_ref {
    int index = 0;
    long known = 0;
};

enum class rule { exact, pid, duration, whole_number };

struct expected_field {
    std::string name;
    json::kind type = json::kind::number;
    std::string text{};  // for rule::exact
    rule check = rule::exact;
    pid_ref pid{};
    double at_least = 0, at_most = 0;  // duration and whole_number
};

struct text_line {
    bool has_pid;  // the line starts with the pid
    pid_ref pid;
    std::string rest;
};

struct expected_event {
    std::string event;
    std::vector<expected_field> fields{};  // after time and event
    std::vector<text_line> text{};         // what -v writes for it
    bool printed_without_log = false;
    bool repeats = false;  // one or more in a row
};

expected_field string_field(const std::string &name, const std::string &value)
{
    return {name, json::kind::string, value};
}

expected_field number_field(const std::string &name, long long value)
{
    return {name, json::kind::number, std::to_string(value)};
}

expected_field pid_field(pid_ref pid)
{
    expected_field field{"pid"};
    field.check = rule::pid;
    field.pid = pid;
    return field;
}

expected_field range_field(const std::string &name, rule check, double at_least, double at_most)
{
    expected_field field{name};
    field.check = check;
    field.at_least = at_least;
    field.at_most = at_most;
    return field;
}

void add_address(expected_event &event, const char *name, const char *port_name, const endpoint &end)
{
    event.fields.push_back(string_field(name, end.address));
    event.fields.push_back(number_field(port_name, end.port));
}

expected_event listening(long daemon_pid, const endpoint &bound, int limit)
{
    expected_event event{"listening"};
    event.fields.push_back(pid_field({0, daemon_pid}));
    add_address(event, "address", "port", bound);
    event.fields.push_back(number_field("limit", limit));
    return event;
}

std::string slots_text(int running, int limit)
{
    return " (" + std::to_string(running) + "/" + std::to_string(limit) + ")";
}

// Under -p, when a header named the client: remote is the client, and the
// text log names the balancer first and the client in a line of its own.
expected_event connected(pid_ref pid, const endpoint &remote, const endpoint &local, int running, int limit,
                         const endpoint *balancer = nullptr, const char *rule = nullptr)
{
    expected_event event{"connected"};
    event.fields.push_back(pid_field(pid));
    add_address(event, "remote", "remote_port", remote);
    add_address(event, "local", "local_port", local);
    event.fields.push_back(number_field("running", running));
    event.fields.push_back(number_field("limit", limit));
    const endpoint &peer = balancer != nullptr ? *balancer : remote;
    event.text.push_back({true, pid, " connected from " + text_of(peer) + slots_text(running, limit)});
    if (balancer != nullptr) {
        add_address(event, "balancer", "balancer_port", *balancer);
        event.text.push_back({true, pid, " proxied from " + text_of(remote)});
    }
    if (rule != nullptr)
        event.fields.push_back(string_field("rule", rule));
    return event;
}

// A header that a forked reader took, above select's descriptors.
expected_event proxied(pid_ref pid, const endpoint &remote)
{
    expected_event event{"proxied"};
    event.fields.push_back(pid_field(pid));
    add_address(event, "remote", "remote_port", remote);
    event.text.push_back({true, pid, " proxied from " + text_of(remote)});
    return event;
}

struct outcome {
    const char *how;  // "status" or "signal"
    int number;
    bool foreign = false;
    double at_least = 0;
    double at_most = 60;
};

expected_event closed(pid_ref pid, int running, int limit, const outcome &ended)
{
    expected_event event{"closed"};
    event.fields.push_back(pid_field(pid));
    event.fields.push_back(number_field("running", running));
    event.fields.push_back(number_field("limit", limit));
    event.fields.push_back(number_field(ended.how, ended.number));
    if (ended.foreign)
        event.fields.push_back({"foreign", json::kind::literal, "true"});
    else
        event.fields.push_back(range_field("duration", rule::duration, ended.at_least, ended.at_most));
    event.text.push_back({true, pid, " closed" + slots_text(running, limit)});
    return event;
}

// A time limit's signal, after seconds from at_least to at_least + 0.5.
expected_event time_limit(const char *event_name, pid_ref pid, int running, int limit, double at_least)
{
    expected_event event{event_name};
    event.fields.push_back(pid_field(pid));
    event.fields.push_back(range_field("after", rule::duration, at_least, at_least + 0.5));
    event.text.push_back({true, pid, " " + std::string(event_name) + slots_text(running, limit)});
    return event;
}

expected_event exec_failed(pid_ref pid, int error)
{
    expected_event event{"exec failed"};
    event.fields.push_back(pid_field(pid));
    event.fields.push_back(number_field("errno", error));
    event.text.push_back({false, {}, "unable to execute command"});
    event.printed_without_log = true;
    return event;
}

expected_event refused(const endpoint &remote, const std::string &reason)
{
    expected_event event{"refused"};
    add_address(event, "remote", "remote_port", remote);
    event.fields.push_back(string_field("reason", reason));
    event.text.push_back({false, {}, "- refused from " + text_of(remote) + (reason == "limit" ? "" : " (" + reason + ")")});
    return event;
}

// cause: "status" or "signal" with its number, or "timeout".
expected_event penalty(const std::string &source, int seconds, const char *cause, int number = 0)
{
    expected_event event{"penalty"};
    event.fields.push_back(string_field("source", source));
    event.fields.push_back(number_field("seconds", seconds));
    if (std::string(cause) == "timeout")
        event.fields.push_back({"timeout", json::kind::literal, "true"});
    else
        event.fields.push_back(number_field(cause, number));
    event.text.push_back({false, {}, "- penalty for " + source + ": " + std::to_string(seconds) + " s"});
    return event;
}

expected_event dropped(const endpoint &remote)
{
    expected_event event{"dropped"};
    add_address(event, "remote", "remote_port", remote);
    event.text.push_back({false, {}, "- dropped from " + text_of(remote)});
    return event;
}

expected_event bad_header(const endpoint &balancer)
{
    expected_event event{"bad proxy header"};
    add_address(event, "remote", "remote_port", balancer);
    event.text.push_back({false, {}, "- bad proxy header from " + text_of(balancer)});
    event.printed_without_log = true;
    return event;
}

expected_event denied(const endpoint &remote, const std::string &rule)
{
    expected_event event{"denied"};
    add_address(event, "remote", "remote_port", remote);
    event.fields.push_back(string_field("rule", rule));
    event.text.push_back({false, {}, "- denied from " + text_of(remote)});
    return event;
}

// A reload's lines, which name no client: "- reloaded 2 rules".
expected_event reload_count(const char *event_name, const char *field, int count, const char *noun)
{
    expected_event event{event_name};
    event.fields.push_back(number_field(field, count));
    event.text.push_back({false, {}, "- " + std::string(event_name) + " " + std::to_string(count) + " " + noun});
    return event;
}

expected_event rules_unchanged()
{
    expected_event event{"rules unchanged"};
    event.text.push_back({false, {}, "- rules unchanged"});
    event.printed_without_log = true;
    return event;
}

expected_event error(const std::string &message, bool repeats)
{
    expected_event event{"error"};
    event.fields.push_back(string_field("message", message));
    event.text.push_back({false, {}, message});
    event.printed_without_log = true;
    event.repeats = repeats;
    return event;
}

using pid_bindings = std::map<int, long>;

// A pid as the line has it against what is expected; binds a new one.
std::string check_pid(const std::string &digits, pid_ref pid, pid_bindings &bound)
{
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos || digits[0] == '0')
        return "pid " + digits + " is not a process id";
    long value = atol(digits.c_str());
    if (pid.index == 0)
        return value == pid.known ? "" : "pid " + digits + ", not " + std::to_string(pid.known);
    auto found = bound.find(pid.index);
    if (found != bound.end())
        return value == found->second ? "" : "pid " + digits + ", not " + std::to_string(found->second);
    for (const auto &other : bound)
        if (other.second == value)
            return "pid " + digits + " was another process's";
    bound[pid.index] = value;
    return "";
}

std::string check_range(const expected_field &expected, const json::field &actual)
{
    const std::string &text = actual.text;
    if (expected.check == rule::duration) {
        size_t point = text.find('.');
        if (point == std::string::npos || point == 0 || text.size() - point != 7 ||
            text.find_first_not_of("0123456789.") != std::string::npos)
            return expected.name + " " + text + " is not seconds with six decimals";
    } else if (text.find_first_not_of("0123456789") != std::string::npos) {
        return expected.name + " " + text + " is not a whole number";
    }
    double value = strtod(text.c_str(), nullptr);
    if (value < expected.at_least || value > expected.at_most)
        return expected.name + " " + text + " is outside " + std::to_string(expected.at_least) + " to " +
               std::to_string(expected.at_most);
    return "";
}

// The fields after time and event, by name, order, type and value.
std::string check_fields(const expected_event &expected, const json::object &actual, pid_bindings &bound)
{
    std::string names;
    for (size_t i = 2; i < actual.fields.size(); i++)
        names += " " + actual.fields[i].name;
    std::string wanted;
    for (const auto &field : expected.fields)
        wanted += " " + field.name;
    if (names != wanted)
        return "fields" + names + " instead of" + wanted;
    for (size_t i = 0; i < expected.fields.size(); i++) {
        const expected_field &want = expected.fields[i];
        const json::field &got = actual.fields[i + 2];
        if (got.type != want.type)
            return want.name + " is of another type";
        std::string why;
        if (want.check == rule::pid)
            why = check_pid(got.text, want.pid, bound);
        else if (want.check == rule::exact)
            why = got.text == want.text ? "" : want.name + " is " + got.text + ", not " + want.text;
        else
            why = check_range(want, got);
        if (!why.empty())
            return why;
    }
    return "";
}

// Matches lines one by one to what is expected; an expected line that
// repeats takes every like line after it. "" or the first mismatch.
template <typename expected_type, typename matcher>
std::string match_in_order(const std::vector<expected_type> &expected, const std::vector<std::string> &lines,
                           matcher match)
{
    size_t next = 0;
    bool repeating = false;
    pid_bindings bound;
    for (size_t i = 0; i < lines.size(); i++) {
        std::string where = "line " + std::to_string(i + 1) + " \"" + lines[i] + "\": ";
        pid_bindings trial = bound;
        if (repeating && match(expected[next - 1], lines[i], trial) == "")
            continue;
        repeating = false;
        if (next == expected.size())
            return where + "more than expected";
        std::string why = match(expected[next], lines[i], trial);
        if (!why.empty())
            return where + why;
        bound = trial;
        repeating = expected[next].repeats;
        next++;
    }
    if (next < expected.size())
        return "the log ends before line " + std::to_string(next + 1) + " of what is expected";
    return "";
}

std::string check_json_log(const std::vector<expected_event> &expected, const std::string &log, time_t from,
                           time_t to)
{
    return match_in_order(expected, harness::split_lines(log),
                          [&](const expected_event &want, const std::string &line, pid_bindings &bound) {
                              json::object actual;
                              std::string why = json::parse_object(line, actual);
                              if (!why.empty())
                                  return "not JSON: " + why;
                              if (actual.fields.size() < 2 || actual.fields[0].name != "time" ||
                                  actual.fields[1].name != "event" || actual.fields[1].type != json::kind::string)
                                  return std::string("does not start with time and event");
                              why = check_time(actual.fields[0], from, to);
                              if (!why.empty())
                                  return why;
                              if (actual.fields[1].text != want.event)
                                  return "event " + actual.fields[1].text + ", not " + want.event;
                              return check_fields(want, actual, bound);
                          });
}

struct expected_text {
    text_line line;
    bool repeats;
};

std::string check_text_log(const std::vector<expected_event> &expected, const std::string &log, log_mode mode)
{
    std::vector<expected_text> lines;
    for (const auto &event : expected)
        if (mode == log_mode::text || event.printed_without_log)
            for (const auto &line : event.text)
                lines.push_back({line, event.repeats});
    return match_in_order(lines, harness::split_lines(log),
                          [](const expected_text &want, const std::string &line, pid_bindings &bound) {
                              if (!want.line.has_pid)
                                  return line == want.line.rest ? std::string() : "not \"" + want.line.rest + "\"";
                              size_t digits = line.find_first_not_of("0123456789");
                              if (digits == std::string::npos || line.substr(digits) != want.line.rest)
                                  return "not \"PID" + want.line.rest + "\"";
                              return check_pid(line.substr(0, digits), want.line.pid, bound);
                          });
}

// A daemon of one row in one mode, and what its scenario waits for.
struct log_run {
    daemon_process &daemon;
    log_mode mode;
    std::string rules;  // the path of the -A file, for a row that changes it

    // Waits until the log shows count events of kind; at once for one
    // that this mode does not print.
    bool wait_for(const std::string &kind, int count = 1) const
    {
        static const std::map<std::string, std::string> text_needles = {
            {"connected", " connected from "},   {"closed", " closed ("},
            {"proxied", " proxied from "},       {"refused", "- refused from "},
            {"dropped", "- dropped from "},      {"bad proxy header", "bad proxy header from "},
            {"exec failed", "unable to execute command\n"},
            {"denied", "- denied from "},        {"revoked", "- revoked "},
            {"rules unchanged", "- rules unchanged\n"},
            {"timed out", " timed out ("},      {"killed", " killed ("},
            {"penalty", "- penalty for "},
        };
        bool always = kind == "exec failed" || kind == "bad proxy header" || kind == "rules unchanged";
        if (mode == log_mode::none && !always)
            return true;
        return wait_for_line("\"event\":\"" + kind + "\"", text_needles.at(kind), count);
    }
    bool wait_for_line(const std::string &json_needle, const std::string &text_needle, int count = 1) const
    {
        bool ok = daemon.wait_for_err(mode == log_mode::json ? json_needle : text_needle, count);
        EXPECT_TRUE(ok) << "no " << (mode == log_mode::json ? json_needle : text_needle) << " in time:\n"
                        << harness::bounded_text(daemon.err());
        return ok;
    }
};

endpoint client_end(int fd, const std::string &address)
{
    return {address, harness::local_port_of(fd)};
}

// Each client names what its command does: an exit status, a signal to
// end itself with, a sleep of 0.3 s, or a wait for the client's end.
const char *const ending_script = "read how; case $how in signal*) kill -${how#signal} $$ ;; sleep) sleep 0.3 ;;"
                                  " hang) exec cat ;; *) exit $how ;; esac";

std::vector<expected_event> exit_statuses_signals_and_duration(const log_run &run)
{
    struct ending {
        const char *request;
        outcome result;
    };
    const std::vector<ending> endings = {
        {"0", {"status", 0}},         {"3", {"status", 3}},          {"20", {"status", 20}},
        {"signal9", {"signal", 9}},   {"signal15", {"signal", 15}},  {"sleep", {"status", 0, false, 0.3, 2.0}},
    };
    std::vector<expected_event> expected;
    endpoint local = {"::1", run.daemon.port};
    for (size_t i = 0; i < endings.size(); i++) {
        int client = harness::connect_loopback(run.daemon.port, AF_INET6);
        EXPECT_TRUE(harness::write_all(client, std::string(endings[i].request) + "\n"));
        EXPECT_EQ(harness::read_to_eof(client), "");
        pid_ref pid = {static_cast<int>(i) + 1};
        expected.push_back(connected(pid, client_end(client, "::1"), local, 1, 40));
        expected.push_back(closed(pid, 0, 40, endings[i].result));
        close(client);
        run.wait_for("closed", static_cast<int>(i) + 1);
    }
    return expected;
}

std::vector<expected_event> proxy_header_names_the_client(const log_run &run)
{
    int client = harness::connect_loopback(run.daemon.port);
    EXPECT_TRUE(harness::write_all(client, "PROXY TCP4 192.0.2.7 198.51.100.9 51234 8080\r\n"));
    shutdown(client, SHUT_WR);
    EXPECT_EQ(harness::read_to_eof(client), "");
    run.wait_for("closed");
    endpoint balancer = client_end(client, "127.0.0.1");
    close(client);
    int bad = harness::connect_loopback(run.daemon.port);
    EXPECT_TRUE(harness::write_all(bad, "GET / HTTP/1.0\r\n\r\n"));
    run.wait_for("bad proxy header");
    endpoint bad_balancer = client_end(bad, "127.0.0.1");
    close(bad);
    return {connected({1}, {"192.0.2.7", 51234}, {"198.51.100.9", 8080}, 1, 40, &balancer),
            closed({1}, 0, 40, {"status", 0}), bad_header(bad_balancer)};
}

// -c 2 -C 1: the second client of a source is over its own limit, the client
// after two commands over the daemon's.
std::vector<expected_event> refused_at_each_limit(const log_run &run)
{
    endpoint local = {"127.0.0.1", run.daemon.port};
    std::vector<expected_event> expected;
    int first = harness::connect_from("127.0.0.2", run.daemon.port);
    expected.push_back(connected({1}, client_end(first, "127.0.0.2"), local, 1, 2));
    run.wait_for("connected");
    int same_source = harness::connect_from("127.0.0.2", run.daemon.port);
    expected.push_back(refused(client_end(same_source, "127.0.0.2"), "source limit"));
    EXPECT_EQ(harness::read_to_eof(same_source), "busy\n");
    run.wait_for("refused");
    int second = harness::connect_from("127.0.0.3", run.daemon.port);
    expected.push_back(connected({2}, client_end(second, "127.0.0.3"), local, 2, 2));
    run.wait_for("connected", 2);
    int over = harness::connect_from("127.0.0.4", run.daemon.port);
    expected.push_back(refused(client_end(over, "127.0.0.4"), "limit"));
    EXPECT_EQ(harness::read_to_eof(over), "busy\n");
    run.wait_for("refused", 2);
    close(first);
    expected.push_back(closed({1}, 1, 2, {"status", 0}));
    run.wait_for("closed");
    close(second);
    expected.push_back(closed({2}, 0, 2, {"status", 0}));
    run.wait_for("closed", 2);
    for (int fd : {same_source, over})
        close(fd);
    return expected;
}

// Every connection lands on descriptor 1024: under -p a forked child reads
// the header and names the client itself; at the limit the client is
// dropped, as no refusal can wait there.
std::vector<expected_event> above_the_select_limit(const log_run &run)
{
    std::vector<expected_event> expected;
    int client = harness::connect_loopback(run.daemon.port);
    expected.push_back(connected({1}, client_end(client, "127.0.0.1"), {"127.0.0.1", run.daemon.port}, 1, 1));
    run.wait_for("connected");  // so that the child's line comes after the daemon's
    EXPECT_TRUE(harness::write_all(client, "PROXY TCP4 192.0.2.7 198.51.100.9 51234 8080\r\nx"));
    EXPECT_EQ(harness::read_some(client, 1), "x");
    expected.push_back(proxied({1}, {"192.0.2.7", 51234}));
    run.wait_for("proxied");
    int over = harness::connect_loopback(run.daemon.port);
    expected.push_back(dropped(client_end(over, "127.0.0.1")));
    EXPECT_EQ(harness::read_to_eof(over), "");
    run.wait_for("dropped");
    close(over);
    close(client);
    expected.push_back(closed({1}, 0, 1, {"status", 0}));
    run.wait_for("closed");
    return expected;
}

std::vector<expected_event> exec_fails(const log_run &run, int error)
{
    int client = harness::connect_loopback(run.daemon.port);
    bool eof = false;
    EXPECT_EQ(harness::read_to_eof(client, &eof), "");
    EXPECT_TRUE(eof);
    run.wait_for("exec failed");
    run.wait_for("closed");
    std::vector<expected_event> expected = {
        connected({1}, client_end(client, "127.0.0.1"), {"127.0.0.1", run.daemon.port}, 1, 40),
        exec_failed({1}, error),
        closed({1}, 0, 40, {"status", 20}),
    };
    close(client);
    return expected;
}

std::vector<expected_event> missing_command(const log_run &run)
{
    return exec_fails(run, ENOENT);
}

std::vector<expected_event> command_without_execute_permission(const log_run &run)
{
    return exec_fails(run, EACCES);
}

// Under -T 1: a command that ignores SIGTERM is killed 2 s after it; one
// that ends in time is left alone; one that made its own process group
// is signalled alone, and the child it leaves in that group lives on.
const char *const time_limit_script =
    "read how; case $how in ignore) trap '' TERM; exec cat;; quick) exit 0;;"
    " *) exec setsid sh -c 'sleep 60 </dev/null >/dev/null 2>&1 & echo $!; wait';; esac";

std::vector<expected_event> time_limits(const log_run &run)
{
    endpoint local = {"127.0.0.1", run.daemon.port};
    auto client = [&](const char *how) {
        int fd = harness::connect_loopback(run.daemon.port);
        EXPECT_TRUE(harness::write_all(fd, std::string(how) + "\n"));
        return fd;
    };
    int ignoring = client("ignore");
    run.wait_for("timed out");
    int quick = client("quick");
    run.wait_for("closed");
    int grouped = client("group");
    std::string line = harness::read_some(grouped, 1);
    while (!line.empty() && line.back() != '\n' && line.size() < 16)
        line += harness::read_some(grouped, 1);
    pid_t left_behind = atoi(line.c_str());
    run.wait_for("closed", 2);
    EXPECT_GT(left_behind, 1);
    if (left_behind > 1) {
        std::string state = harness::proc_status_field(left_behind, "State");
        EXPECT_TRUE(!state.empty() && state[0] != 'Z') << "the command's own process group was signalled";
        kill(left_behind, SIGKILL);
    }
    run.wait_for("killed");
    run.wait_for("closed", 3);
    std::vector<expected_event> expected = {
        connected({1}, client_end(ignoring, "127.0.0.1"), local, 1, 40),
        time_limit("timed out", {1}, 1, 40, 1),
        connected({2}, client_end(quick, "127.0.0.1"), local, 2, 40),
        closed({2}, 1, 40, {"status", 0}),
        connected({3}, client_end(grouped, "127.0.0.1"), local, 2, 40),
        time_limit("timed out", {3}, 2, 40, 1),
        closed({3}, 1, 40, {"signal", SIGTERM, false, 1, 1.5}),
        time_limit("killed", {1}, 1, 40, 3),
        closed({1}, 0, 40, {"signal", SIGKILL, false, 3, 3.5}),
    };
    for (int fd : {ignoring, quick, grouped})
        close(fd);
    return expected;
}

// -R 1/2, -P 3:1,signal:1,timeout:1,max:1 and -T 1; 127.0.0.4's rule says
// penalty=no and rate=none. Each client says what its command does: exit
// with a status, end by a signal, or hang until its time is up.
const char *const penalty_rules = "127.0.0.4 allow penalty=no rate=none\n";

std::vector<expected_event> rates_and_penalties(const log_run &run)
{
    endpoint local = {"127.0.0.1", run.daemon.port};
    std::vector<expected_event> expected;
    int pids = 0, closed_lines = 0, penalties = 0;
    std::vector<int> fds;
    // A client served: its command started, and told what to do when how is given.
    auto started = [&](const char *from, const char *how, int running) {
        fds.push_back(harness::connect_from(from, run.daemon.port));
        bool ruled = std::string(from) == "127.0.0.4";
        expected.push_back(connected({++pids}, client_end(fds.back(), from), local, running, 40, nullptr,
                                     ruled ? "127.0.0.4/32" : nullptr));
        run.wait_for("connected", pids);
        if (how != nullptr) {
            EXPECT_TRUE(harness::write_all(fds.back(), std::string(how) + "\n"));
        }
        return pids;
    };
    auto ended = [&](int pid, int running, const outcome &end) {
        expected.push_back(closed({pid}, running, 40, end));
        run.wait_for("closed", ++closed_lines);
    };
    auto penalised = [&](const char *source, const char *cause, int number = 0) {
        expected.push_back(penalty(source, 1, cause, number));
        run.wait_for("penalty", ++penalties);
    };
    auto refused_client = [&](const char *from, const char *reason) {
        fds.push_back(harness::connect_from(from, run.daemon.port));
        expected.push_back(refused(client_end(fds.back(), from), reason));
        EXPECT_EQ(harness::read_to_eof(fds.back()), "busy\n");
    };
    const outcome zero = {"status", 0}, three = {"status", 3};
    // Two commands of one source end badly: the second penalty adds up to max.
    int first = started("127.0.0.2", nullptr, 1), second = started("127.0.0.2", nullptr, 2);
    EXPECT_TRUE(harness::write_all(fds[0], "3\n"));
    ended(first, 1, three);
    penalised("127.0.0.2", "status", 3);
    timespec penalised_at;
    clock_gettime(CLOCK_MONOTONIC, &penalised_at);
    EXPECT_TRUE(harness::write_all(fds[1], "3\n"));
    ended(second, 0, three);
    penalised("127.0.0.2", "status", 3);  // 1 s, not 2: at most max
    refused_client("127.0.0.2", "penalty");
    ended(started("127.0.0.3", "signal9", 1), 0, {"signal", SIGKILL});
    penalised("127.0.0.3", "signal", SIGKILL);
    for (int i = 0; i < 3; i++)  // neither penalised nor held to a rate
        ended(started("127.0.0.4", "3", 1), 0, three);
    ended(started("127.0.0.5", "0", 1), 0, zero);
    ended(started("127.0.0.5", "0", 1), 0, zero);
    refused_client("127.0.0.5", "rate limit");
    int hanging = started("127.0.0.6", "hang", 1);
    run.wait_for("timed out");
    expected.push_back(time_limit("timed out", {hanging}, 1, 40, 1));
    ended(hanging, 0, {"signal", SIGTERM, false, 1, 1.5});
    penalised("127.0.0.6", "timeout");
    timespec now;
    do  // 127.0.0.2's penalty is over 1 s after the second was given
        usleep(20000);
    while (clock_gettime(CLOCK_MONOTONIC, &now) == 0 &&
           (now.tv_sec - penalised_at.tv_sec) * 1000 + (now.tv_nsec - penalised_at.tv_nsec) / 1000000 < 1300);
    ended(started("127.0.0.2", "0", 1), 0, zero);
    for (int fd : fds)
        close(fd);
    return expected;
}

// The rules the row starts with, in the file "@rules" names.
const char *const first_rules = "127.0.0.0/24 allow LABEL=lo\n127.0.0.3 deny\n";

// A client with a rule, one without, one denied; then a reload that denies
// the first, whose command (cat) is ended, and a file that cannot be loaded.
std::vector<expected_event> access_rules_and_reloads(const log_run &run)
{
    endpoint local = {"127.0.0.1", run.daemon.port};
    int held = harness::connect_from("127.0.0.2", run.daemon.port);
    run.wait_for("connected");
    int unmatched = harness::connect_from("127.0.1.1", run.daemon.port);
    shutdown(unmatched, SHUT_WR);
    EXPECT_EQ(harness::read_to_eof(unmatched), "");
    run.wait_for("closed");
    int refused_by_rule = harness::connect_from("127.0.0.3", run.daemon.port);
    EXPECT_EQ(harness::read_to_eof(refused_by_rule), "");
    run.wait_for("denied");
    std::vector<expected_event> expected = {
        connected({1}, client_end(held, "127.0.0.2"), local, 1, 40, nullptr, "127.0.0.0/24"),
        connected({2}, client_end(unmatched, "127.0.1.1"), local, 2, 40),
        closed({2}, 1, 40, {"status", 0}),
        denied(client_end(refused_by_rule, "127.0.0.3"), "127.0.0.3/32"),
        reload_count("reloaded", "rules", 2, "rules"),
        reload_count("revoked", "commands", 1, "commands"),
        closed({1}, 0, 40, {"signal", SIGTERM}),
        error(run.rules + ":2: bits set beyond the prefix length", false),
        rules_unchanged(),
    };
    EXPECT_TRUE(harness::write_file(run.rules, "127.0.0.2 deny\n127.0.0.0/8 allow\n"));
    EXPECT_EQ(kill(run.daemon.pid, SIGHUP), 0);
    run.wait_for("revoked");
    run.wait_for("closed", 2);
    EXPECT_TRUE(harness::write_file(run.rules, "127.0.0.3 allow\n10.0.0.1/8 allow\n"));
    EXPECT_EQ(kill(run.daemon.pid, SIGHUP), 0);
    run.wait_for("rules unchanged");
    for (int fd : {held, unmatched, refused_by_rule})
        close(fd);
    return expected;
}

// With no descriptor left, accept fails, and again each time the pause
// after it ends, while the client waits.
std::vector<expected_event> accept_fails(const log_run &run)
{
    int client = harness::connect_loopback(run.daemon.port);
    run.wait_for_line("\"message\":\"accept failed\"", "accept failed\n");
    close(client);
    return {error("accept failed", true)};
}

// The shell that exec'd the daemon left a sleep behind: a process the daemon
// did not start, collected all the same.
std::vector<expected_event> foreign_process(const log_run &run)
{
    std::vector<pid_t> foreign = harness::children_of(run.daemon.pid, false);
    EXPECT_EQ(foreign.size(), 1u);
    for (pid_t pid : foreign)
        kill(pid, SIGKILL);
    run.wait_for("closed");
    return {closed({0, foreign.empty() ? -1 : foreign[0]}, 0, 40, {"signal", 9, true})};
}

struct event_case {
    const char *name;
    std::vector<std::string> args;  // after the log option and -1; "@plain" is a file without execute permission,
                                    // "@rules" a rules file that holds first_rules
    std::vector<log_mode> modes;
    std::vector<expected_event> (*scenario)(const log_run &);
    const char *bound;  // the listening address's text
    int limit;
    int extra_fds_to = 0;        // inherited descriptors from 6 up to this one
    int descriptor_limit = 0;    // a soft RLIMIT_NOFILE
    bool behind_shell = false;   // exec'd by a shell that leaves a child behind
    const char *rules = first_rules;
};

void PrintTo(const event_case &c, std::ostream *out)
{
    *out << c.name;
}

const std::vector<log_mode> text_and_json = {log_mode::text, log_mode::json};
const std::vector<log_mode> also_without_log = {log_mode::none, log_mode::text, log_mode::json};

class EveryEvent : public testing::TestWithParam<event_case> {};

// Each row's scenario runs once per log option, and says what each of its
// clients caused, with that run's own ports and processes: the same events,
// read strictly as JSON under -J (after listening), and as text lines under
// -v; without a log, only the lines printed whatever -v says.

TEST_P(EveryEvent, SaysInJsonWhatItsTextLineSays)
{
    const auto &c = GetParam();
    if (c.extra_fds_to > 0)
        SKIP_UNLESS_DESCRIPTORS(1100);
    char made[] = "/tmp/sockherd-log-XXXXXX";
    ASSERT_NE(mkdtemp(made), nullptr);
    std::string plain = std::string(made) + "/plain";
    std::string rules = std::string(made) + "/rules";
    {
        int fd = open(plain.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_NE(fd, -1);
        ASSERT_EQ(write(fd, "#!/bin/sh\necho ran\n", 19), 19);
        close(fd);
    }
    struct removed_at_end {
        std::string file, rules, dir;
        ~removed_at_end()
        {
            unlink(file.c_str());
            unlink(rules.c_str());
            rmdir(dir.c_str());
        }
    } fixture{plain, rules, made};

    for (log_mode mode : c.modes) {
        SCOPED_TRACE(name_of(mode));
        std::vector<std::string> args;
        if (mode != log_mode::none)
            args.push_back(option_of(mode));
        args.push_back("-1");
        for (const auto &arg : c.args)
            args.push_back(arg == "@plain" ? plain : arg == "@rules" ? rules : arg);
        ASSERT_TRUE(harness::write_file(rules, c.rules));
        launch_options options;
        if (c.behind_shell) {
            options.program = "/bin/sh";
            args.insert(args.begin(), {"-c", "sleep 60 & exec \"$@\"", "sh", SOCKHERD_BIN});
        }
        if (c.extra_fds_to > 0) {
            options.extra_fds_from = 6;
            options.extra_fds_to = c.extra_fds_to;
        }
        if (c.descriptor_limit > 0) {
            rlim_t limit = static_cast<rlim_t>(c.descriptor_limit);
            options.before_exec = [limit] {
                rlimit files;
                getrlimit(RLIMIT_NOFILE, &files);
                files.rlim_cur = limit;
                setrlimit(RLIMIT_NOFILE, &files);
            };
        }
        time_t from = time(nullptr);
        daemon_process daemon;
        ASSERT_TRUE(daemon.start(args, options));
        std::vector<expected_event> expected = c.scenario({daemon, mode, rules});
        if (mode == log_mode::json)
            expected.insert(expected.begin(), listening(daemon.pid, {c.bound, daemon.port}, c.limit));
        std::string log = daemon.err();
        std::string mismatch = mode == log_mode::json ? check_json_log(expected, log, from, time(nullptr))
                                                      : check_text_log(expected, log, mode);
        EXPECT_EQ(mismatch, "") << harness::bounded_text(log);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Log, EveryEvent,
    testing::Values(
        event_case{"ExitStatusesSignalsAndDuration", {"-6", "::1", "0", "sh", "-c", ending_script}, text_and_json,
                   exit_statuses_signals_and_duration, "::1", 40},
        event_case{"ProxyHeaderNamesTheClient", {"-p", "127.0.0.1", "0", "true"}, text_and_json,
                   proxy_header_names_the_client, "127.0.0.1", 40},
        event_case{"RefusedAtEachLimit", {"-c", "2", "-C", "1", "-r", "busy\\n", "127.0.0.1", "0", "cat"},
                   text_and_json, refused_at_each_limit, "127.0.0.1", 2},
        event_case{"AboveTheSelectLimit", {"-p", "-c", "1", "-r", "busy\\n", "127.0.0.1", "0", "cat"}, text_and_json,
                   above_the_select_limit, "127.0.0.1", 1, 1023},
        event_case{"MissingCommand", {"127.0.0.1", "0", "/nonexistent/sockherd-command"}, also_without_log,
                   missing_command, "127.0.0.1", 40},
        event_case{"CommandWithoutExecutePermission", {"127.0.0.1", "0", "@plain"}, also_without_log,
                   command_without_execute_permission, "127.0.0.1", 40},
        event_case{"AcceptFailsWithoutDescriptors", {"127.0.0.1", "0", "true"}, text_and_json, accept_fails,
                   "127.0.0.1", 40, 0, 6},
        event_case{"ForeignProcess", {"127.0.0.1", "0", "cat"}, text_and_json, foreign_process, "127.0.0.1", 40, 0, 0,
                   true},
        event_case{"AccessRulesAndTheirReloads", {"-A", "@rules", "127.0.0.1", "0", "cat"}, text_and_json,
                   access_rules_and_reloads, "127.0.0.1", 40},
        event_case{"TimeLimits", {"-T", "1", "127.0.0.1", "0", "sh", "-c", time_limit_script}, text_and_json,
                   time_limits, "127.0.0.1", 40},
        event_case{"RatesAndPenalties",
                   {"-R", "1/2", "-P", "3:1,signal:1,timeout:1,max:1", "-T", "1", "-A", "@rules", "-r", "busy\\n",
                    "127.0.0.1", "0", "sh", "-c", ending_script},
                   text_and_json, rates_and_penalties, "127.0.0.1", 40, 0, 0, false, penalty_rules}),
    [](const testing::TestParamInfo<event_case> &param_info) { return std::string(param_info.param.name); });


// ---- the counts ----------------------------------------------------------

std::string proxy_header_from(const std::string &source)
{
    return "PROXY TCP4 " + source + " 192.0.2.100 1000 80\r\n";
}

// A client of cat under -p, its header naming source: served once it echoes.
int served_client(const log_run &run, const std::string &source, int served_before)
{
    int fd = harness::connect_loopback(run.daemon.port);
    EXPECT_TRUE(harness::write_all(fd, proxy_header_from(source) + "x"));
    EXPECT_EQ(harness::read_some(fd, 1), "x") << source;
    run.wait_for("connected", served_before + 1);
    return fd;
}

// One descriptor below select's limit is left for connections: a refusal
// that waits holds it, the client after it is dropped, and the last client,
// served once the three before it are gone, has its header read by a forked
// child. Each client waits until what it caused is over.
TEST(Counts, Sigusr1GivesWhatBecameOfEveryClient)
{
    SKIP_UNLESS_DESCRIPTORS(1100);
    const std::string refusal(100000, 'r');  // more than a client that does not read takes in
    for (log_mode mode : text_and_json) {
        SCOPED_TRACE(name_of(mode));
        launch_options options;
        options.extra_fds_from = 6;
        options.extra_fds_to = 1022;
        time_t from = time(nullptr);
        daemon_process daemon;
        ASSERT_TRUE(daemon.start({option_of(mode), "-1", "-p", "-c", "3", "-C", "1", "-r", refusal, "127.0.0.1", "0",
                                  "cat"},
                                 options));
        log_run run{daemon, mode, ""};
        int idle_fds = harness::count_open_fds(daemon.pid);
        auto back_to_idle = [&] { return harness::count_open_fds(daemon.pid) == idle_fds; };

        std::vector<int> served = {served_client(run, "192.0.2.1", 0)};
        int bad = harness::connect_loopback(daemon.port);
        EXPECT_TRUE(harness::write_all(bad, "GET / HTTP/1.0\r\n\r\n"));
        run.wait_for("bad proxy header");
        close(bad);
        ASSERT_TRUE(harness::eventually(back_to_idle));
        int same_source = harness::connect_loopback(daemon.port);
        EXPECT_TRUE(harness::write_all(same_source, proxy_header_from("192.0.2.1")));
        EXPECT_TRUE(harness::read_to_eof(same_source) == refusal);
        close(same_source);
        ASSERT_TRUE(harness::eventually(back_to_idle));
        served.push_back(served_client(run, "192.0.2.2", 1));
        served.push_back(served_client(run, "192.0.2.3", 2));
        int waiting = harness::connect_loopback(daemon.port, AF_INET, 1024, 536);
        run.wait_for("refused", 2);
        int over = harness::connect_loopback(daemon.port);
        EXPECT_EQ(harness::read_to_eof(over), "");
        run.wait_for("dropped");
        close(over);
        for (int fd : served)
            close(fd);
        run.wait_for("closed", 3);
        int last = served_client(run, "192.0.2.4", 3);
        ASSERT_EQ(harness::count_open_fds(daemon.pid), idle_fds + 1) << "the refusal still waits for its reader";

        ASSERT_EQ(kill(daemon.pid, SIGUSR1), 0);
        run.wait_for_line("\"event\":\"counts\"", "- counts ");
        double uptime_limit = static_cast<double>(time(nullptr) - from) + 1;
        std::vector<std::pair<const char *, int>> figures = {
            {"accepted", 8},       {"served", 4},           {"refused", 1},         {"source_refused", 1},
            {"rate_refused", 0},   {"penalty_refused", 0},  {"denied", 0},         {"dropped", 1},          {"bad_headers", 1},     {"fork_failed", 0},
            {"exec_failed", 0},    {"timed_out", 0},        {"killed", 0},          {"penalties", 0},
            {"rate_table_full", 0},
            {"accept_failed", 0},  {"max_running", 3},      {"running", 1},
            {"limit", 3},          {"pending_refusals", 1}, {"waiting_headers", 0},
        };
        std::vector<std::string> lines = harness::split_lines(daemon.err());
        ASSERT_FALSE(lines.empty());
        if (mode == log_mode::json) {
            expected_event counts{"counts"};
            for (const auto &figure : figures)
                counts.fields.push_back(number_field(figure.first, figure.second));
            counts.fields.push_back(range_field("uptime", rule::whole_number, 0, uptime_limit));
            EXPECT_EQ(check_json_log({counts}, lines.back(), from, time(nullptr)), "");
        } else {
            std::string expected = "- counts";
            for (const auto &figure : figures)
                expected += " " + std::string(figure.first) + "=" + std::to_string(figure.second);
            expected += " uptime=";
            ASSERT_EQ(lines.back().substr(0, expected.size()), expected);
            std::string uptime = lines.back().substr(expected.size());
            EXPECT_EQ(uptime.find_first_not_of("0123456789"), std::string::npos) << uptime;
            EXPECT_LE(atof(uptime.c_str()), uptime_limit);
        }
        EXPECT_TRUE(daemon.alive());
        close(waiting);
        close(last);
    }
}

// ---- the metrics (-M) ----------------------------------------------------

// Debian's Prometheus client library reads the file, prints each counter and
// gauge sample but 0s and the start time, and fails unless each family has
// HELP and TYPE, each series listen="127.0.0.1:PORT", and the histogram is
// what the JSON log's durations (in microseconds) make.
const char *const parse_script = R"(import json, sys, time
from prometheus_client.parser import text_string_to_metric_families
file, port, log, started = sys.argv[1:]
ran = [json.loads(line)["duration"] for line in open(log) if '"duration"' in line]
count = 0
for family in text_string_to_metric_families(open(file).read()):
    assert family.documentation and family.type in ("counter", "gauge", "histogram"), family.name
    for s in family.samples:
        labels = dict(s.labels)
        assert labels.pop("listen") == "127.0.0.1:" + port, s
        count += 1
        if s.name.endswith("_bucket"): assert s.value == sum(d <= float(labels["le"]) for d in ran), (s, ran)
        elif s.name.endswith("_sum"): assert abs(s.value - sum(ran)) < 1e-6 * len(ran), (s, ran)
        elif s.name.endswith("_count"): assert s.value == len(ran), (s, ran)
        elif s.name.endswith("start_time_seconds"): assert int(started) <= s.value <= time.time(), s
        elif s.value: print(s.name[9:], *labels.values(), int(s.value))
print(count, "samples")
)";

// Served twice, one exiting 3, one killed, one denied; a source over -C;
// a client over -c; a reload revoking one command and a reload that fails;
// last, alone, the only client -T limits (the rules exempt the others).
// The file is the one SIGTERM writes on the way out.
TEST(Metrics, KnownMixOfClientsIsWhatTheFileSays)
{
    if (system("/usr/bin/python3 -c 'import prometheus_client' 2> /dev/null") != 0)
        GTEST_SKIP() << "prometheus_client is not installed (Debian package python3-prometheus-client)";
    std::string file = "/tmp/sockherd-metrics-" + std::to_string(getpid()) + ".prom";
    std::string rules_text = "127.0.0.0/24 allow timeout=0\n127.0.0.4 allow\n127.0.0.9 deny\n";
    harness::text_file rules(rules_text);
    time_t from = time(nullptr);
    daemon_process daemon;
    ASSERT_TRUE(daemon.start({"-J", "-1", "-c", "2", "-C", "1", "-T", "1", "-r", "busy", "-A", rules.path, "-M", file,
                              "127.0.0.1", "0", "sh", "-c",
                              "read w; case $w in 3) exit 3;; k) kill -KILL $$;; t) exec sleep 30;; esac; echo ok"}));
    auto client = [&](const char *source, const char *says) {
        int fd = harness::connect_from(source, daemon.port);
        EXPECT_TRUE(harness::write_all(fd, says));
        return fd;
    };
    auto answer = [&](int fd) {
        std::string got = harness::read_to_eof(fd);
        close(fd);
        return got;
    };
    EXPECT_EQ(answer(client("127.0.0.1", "x\n")) + answer(client("127.0.0.2", "3\n")) +
                  answer(client("127.0.0.3", "k\n")) + answer(client("127.0.0.9", "")),
              "ok\n");
    ASSERT_TRUE(daemon.wait_for_err("\"closed\"", 3));
    int revoked = client("127.0.0.5", "");
    ASSERT_TRUE(daemon.wait_for_err("\"connected\"", 4));
    EXPECT_EQ(answer(client("127.0.0.5", "")), "busy");
    int last = client("127.0.0.7", "");
    ASSERT_TRUE(daemon.wait_for_err("\"connected\"", 5));
    EXPECT_EQ(answer(client("127.0.0.6", "")), "busy");
    ASSERT_TRUE(rules.write(rules_text + "127.0.0.5 deny\n") && kill(daemon.pid, SIGHUP) == 0);
    EXPECT_EQ(answer(revoked), "");
    ASSERT_TRUE(rules.write("no rule\n") && kill(daemon.pid, SIGHUP) == 0);
    ASSERT_TRUE(daemon.wait_for_err("\"rules unchanged\""));
    EXPECT_TRUE(harness::write_all(last, "x\n"));
    EXPECT_EQ(answer(last) + answer(client("127.0.0.4", "t\n")), "ok\n");
    ASSERT_TRUE(daemon.wait_for_err("\"closed\"", 6));
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    int status = 0, signal_number = 0;
    ASSERT_TRUE(daemon.wait_exit(status, harness::default_deadline_ms, &signal_number));
    EXPECT_EQ(signal_number, SIGTERM) << "ended by the signal, as without -M";

    harness::launch_options python;
    python.program = "/usr/bin/python3";
    auto parsed = harness::run_sockherd(
        {"-c", parse_script, file, std::to_string(daemon.port), daemon.err_path, std::to_string(from)}, python);
    unlink(file.c_str());
    EXPECT_EQ(parsed.err, "");
    EXPECT_EQ(parsed.out, "connections_accepted_total 9\ncommands_started_total 6\nclients_refused_total limit 1\n"
                          "clients_refused_total source limit 1\nclients_denied_total 1\n"
                          "commands_ended_total exit_zero 2\ncommands_ended_total exit_nonzero 1\n"
                          "commands_ended_total signal 2\ncommands_ended_total timed_out 1\nreloads_total ok 1\n"
                          "reloads_total failed 1\ncommands_revoked_total 1\ncommands_limit 2\n"
                          "commands_running_max 2\n38 samples\n");
}

}  // namespace
