#include "stress_support.h"

#include "sockherd.h"
#include "json_line.h"
#include "stress_pattern.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace stress {

namespace {

using clock_type = std::chrono::steady_clock;

clock_type::time_point deadline_in(int ms)
{
    return clock_type::now() + std::chrono::milliseconds(ms);
}

int remaining_ms(clock_type::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void pause_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool starts_with(const std::string &text, const char *prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

bool ends_with(const std::string &text, const std::string &suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

const char *command_path()
{
    return STRESS_COMMAND;
}

std::string pattern_text(size_t size)
{
    std::string text(size, '\0');
    for (size_t i = 0; i < size; i++)
        text[i] = stress_pattern_byte(i);
    return text;
}

std::string refusal_text(size_t size)
{
    // Letters and digits only: nothing the daemon would decode as an escape.
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string text = "busy ";
    for (size_t i = 0; text.size() < size; i++)
        text += alphabet[(i * 7 + i / 61) % (sizeof alphabet - 1)];
    text.resize(size);
    return text;
}

long env_long(const char *name, long fallback)
{
    const char *text = getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    return (*end == '\0' && value > 0) ? value : fallback;
}

bool sanitized_build()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_UNDEFINED__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
    return true;
#endif
#endif
    const char *flag = getenv("SOCKHERD_SANITIZED");
    return flag != nullptr && strcmp(flag, "1") == 0;
}

void report(const char *format, ...)
{
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    printf("[ figures  ] %s\n", text);
    fflush(stdout);
}

int hold_command(int port, int deadline_ms)
{
    int fd = harness::connect_loopback(port);
    if (fd == -1)
        return -1;
    if (!harness::write_all(fd, "hold\n") || harness::read_some(fd, 8, deadline_ms) != "holding\n") {
        close(fd);
        return -1;
    }
    return fd;
}

std::string read_slowly(int fd, size_t chunk, int pause, bool *eof, int deadline_ms)
{
    std::string data;
    std::vector<char> buffer(chunk);
    auto deadline = deadline_in(deadline_ms);
    *eof = false;
    for (;;) {
        pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, remaining_ms(deadline)) <= 0)
            return data;
        ssize_t got = read(fd, buffer.data(), chunk);
        if (got == 0) {
            *eof = true;
            return data;
        }
        if (got < 0)
            return data;
        data.append(buffer.data(), static_cast<size_t>(got));
        if (pause > 0)
            pause_ms(pause);
    }
}

int running_in(const std::string &line)
{
    json::object event;
    if (starts_with(line, "{")) {
        const json::field *running = json::parse_object(line, event) == "" ? event.find("running") : nullptr;
        return running != nullptr ? atoi(running->text.c_str()) : -1;
    }
    size_t open = line.rfind('(');
    if (open == std::string::npos || !ends_with(line, ")"))
        return -1;
    return atoi(line.c_str() + open + 1);
}

namespace {

// The JSON event as the -v line it stands for would be counted; listening,
// which -v does not write, is not counted at all.
void count_event(log_counts &counts, const std::string &line)
{
    json::object event;
    std::string kind;
    if (json::parse_object(line, event) == "" && event.fields.size() >= 2 && event.fields[1].name == "event")
        kind = event.fields[1].text;
    const json::field *message = event.find("message");
    if (kind == "error" && message != nullptr)
        kind += ": " + message->text;
    if (kind == "connected") {
        counts.connected++;
        counts.highest_running = std::max(counts.highest_running, running_in(line));
    } else if (kind == "closed") {
        counts.closed++;
        counts.last_closed = line;
    } else if (kind == "refused") {
        counts.refused++;
    } else if (kind == "dropped") {
        counts.dropped++;
    } else if (kind == "error: fork failed") {
        counts.fork_failed++;
    } else if (kind == "error: accept failed") {
        counts.accept_failed++;
    } else if (kind == "exec failed") {
        counts.exec_failed++;
    } else if (kind != "listening") {
        counts.other++;
        if (counts.unknown.size() < 5)
            counts.unknown.push_back(line);
    }
}

}  // namespace

log_counts count_log(const std::string &text)
{
    log_counts counts;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            break;  // a line still being written
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (starts_with(line, "{")) {
            count_event(counts, line);
        } else if (line.find(" connected from ") != std::string::npos) {
            counts.connected++;
            int running = running_in(line);
            if (running > counts.highest_running)
                counts.highest_running = running;
        } else if (line.find(" closed (") != std::string::npos) {
            counts.closed++;
            counts.last_closed = line;
        } else if (starts_with(line, "- refused from ")) {
            counts.refused++;
        } else if (starts_with(line, "- dropped from ")) {
            counts.dropped++;
        } else if (line.find(" proxied from ") != std::string::npos) {
            counts.proxied++;
        } else if (line.find("bad proxy header from ") != std::string::npos) {
            counts.bad_header++;
        } else if (line == "fork failed") {
            counts.fork_failed++;
        } else if (line == "accept failed") {
            counts.accept_failed++;
        } else if (line == "unable to execute command") {
            counts.exec_failed++;
        } else {
            counts.other++;
            if (counts.unknown.size() < 5)
                counts.unknown.push_back(line);
        }
    }
    return counts;
}

bool wait_quiescent(const harness::daemon_process &daemon, long expected_connected, int deadline_ms)
{
    auto deadline = deadline_in(deadline_ms);
    for (;;) {
        log_counts counts = count_log(daemon.err());
        if (counts.connected >= expected_connected && counts.closed == counts.connected &&
            (counts.connected == 0 || running_in(counts.last_closed) == 0))
            return true;
        if (remaining_ms(deadline) == 0)
            return false;
        pause_ms(50);
    }
}

process_sample sample(pid_t pid)
{
    process_sample taken;
    taken.fds = harness::count_open_fds(pid);
    taken.rss_kib = harness::rss_kib(pid);
    taken.cpu_ticks = harness::cpu_ticks(pid);
    return taken;
}

bool end_children(pid_t daemon_pid, int deadline_ms)
{
    for (pid_t child : harness::children_of(daemon_pid, false))
        kill(child, SIGKILL);
    return harness::eventually([&] { return harness::children_of(daemon_pid, false).empty(); }, deadline_ms);
}

// ---- many clients -------------------------------------------------------

namespace {

struct load_state {
    const load_plan &plan;
    clock_type::time_point stop_starting;
    clock_type::time_point deadline;
    std::atomic<long> next{0};
    std::atomic<long> started{0};
    std::vector<std::atomic<long>> started_per_target;
    std::atomic<long> connect_failed{0};
    std::atomic<long> got_output{0};
    std::atomic<long> got_refusal{0};
    std::atomic<long> wrong{0};
    std::atomic<long> silent{0};
    std::atomic<long> reset{0};
    std::atomic<long> slow{0};
    std::atomic<bool> timed_out{false};
    std::mutex lock;  // guards parked and wrong_samples
    std::deque<int> parked;
    std::vector<std::string> wrong_samples;

    explicit load_state(const load_plan &p) : plan(p), started_per_target(p.targets.size()) {}
};

constexpr int client_read_deadline_ms = 120000;

const char *kind_name(client_kind kind)
{
    switch (kind) {
    case client_kind::reader: return "reader";
    case client_kind::slow_reader: return "slow reader";
    case client_kind::silent: return "silent";
    case client_kind::reset_at_once: return "reset at once";
    case client_kind::reset_after_read: return "reset after read";
    case client_kind::proxied: return "proxied";
    }
    return "?";
}

void judge(load_state &state, const load_target &target, client_kind kind, const std::string &data, bool eof,
           const std::string &output)
{
    if (eof && data == output) {
        state.got_output++;
        return;
    }
    if (eof && target.refusals_expected && data == target.refusal) {
        state.got_refusal++;
        return;
    }
    state.wrong++;
    std::lock_guard<std::mutex> hold(state.lock);
    if (state.wrong_samples.size() < 8) {
        char text[256];
        snprintf(text, sizeof text, "%s on port %d: %zu bytes, %s, starting \"%.24s\"", kind_name(kind), target.port,
                 data.size(), eof ? "end of file" : "no end of file", data.c_str());
        state.wrong_samples.push_back(text);
    }
}

// A parked client is closed when newer ones push it out or the run ends;
// with unread data in its buffer the close is a reset for the daemon.
void park(load_state &state, int fd)
{
    int oldest = -1;
    {
        std::lock_guard<std::mutex> hold(state.lock);
        state.parked.push_back(fd);
        if (static_cast<int>(state.parked.size()) > state.plan.silent_parked) {
            oldest = state.parked.front();
            state.parked.pop_front();
        }
    }
    if (oldest != -1)
        close(oldest);
}

// Client index of kind proxied: its header (version 1 and 2 in turn, every
// second version 2 one with a CRC32C) and the bytes after it, and what its
// command answers.
struct proxied_request {
    std::string header;
    std::string payload;
    std::string answer;
};

proxied_request proxied_request_of(long index)
{
    proxied_request request;
    unsigned char address[4] = {198, 18, static_cast<unsigned char>(index >> 8), static_cast<unsigned char>(index)};
    int port = 1024 + static_cast<int>(index % 60000);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, address, text, sizeof text);
    request.answer = std::string(text) + " " + std::to_string(port) + "\n";
    if (index % 2 == 0) {
        request.header = "PROXY TCP4 " + std::string(text) + " 127.0.0.1 " + std::to_string(port) + " 80\r\n";
    } else {
        bool crc = index % 4 == 3;
        size_t noop = static_cast<size_t>(index % 50);
        std::string block(reinterpret_cast<char *>(address), 4);
        block += std::string("\x7f\x00\x00\x01", 4) + static_cast<char>(port >> 8) + static_cast<char>(port & 0xff) +
                 std::string("\x00\x50", 2);
        block += "\x04" + std::string(1, '\0') + static_cast<char>(noop) + std::string(noop, 'n');
        if (crc)
            block += std::string("\x03\x00\x04\0\0\0\0", 7);
        request.header = std::string("\r\n\r\n\0\r\nQUIT\n\x21\x11", 14) + static_cast<char>(block.size() >> 8) +
                         static_cast<char>(block.size() & 0xff) + block;
        if (crc) {
            uint32_t sum = ~sockherd::crc32c_update(
                0xFFFFFFFFU, reinterpret_cast<const unsigned char *>(request.header.data()), request.header.size());
            for (size_t i = 0; i < 4; i++)
                request.header[request.header.size() - 4 + i] = static_cast<char>(sum >> (24 - 8 * i));
        }
    }
    // Bytes that look like a header among others, so that a command given
    // one byte too few or too many shows it.
    size_t size = static_cast<size_t>(index * 37 % 3000);
    request.payload = "PROXY TCP4 \r\n" + pattern_text(size);
    request.answer += request.payload;
    return request;
}

// The header in two pieces, whole, or with the bytes after it in one write.
bool send_proxied(int fd, long index, const proxied_request &request)
{
    int one = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    switch (index % 3) {
    case 0: {
        size_t cut = 1 + static_cast<size_t>(index) % (request.header.size() - 1);
        if (!harness::write_all(fd, request.header.substr(0, cut)))
            return false;
        pause_ms(1);
        return harness::write_all(fd, request.header.substr(cut)) && harness::write_all(fd, request.payload);
    }
    case 1:
        // The command may start before its bytes come: it must wait for them.
        if (!harness::write_all(fd, request.header))
            return false;
        pause_ms(1);
        return harness::write_all(fd, request.payload);
    default:
        return harness::write_all(fd, request.header + request.payload);
    }
}

void run_client(load_state &state, const load_target &target, client_kind kind, const std::string *source,
                long index)
{
    bool small = kind == client_kind::silent || kind == client_kind::slow_reader;
    int fd = source != nullptr ? harness::connect_from(*source, target.port)
                               : harness::connect_loopback(target.port, AF_INET, small ? 1024 : 0, small ? 536 : 0);
    if (fd == -1) {
        state.connect_failed++;
        return;
    }
    bool eof = false;
    switch (kind) {
    case client_kind::reader: {
        std::string data = read_slowly(fd, 65536, 0, &eof, client_read_deadline_ms);
        close(fd);
        judge(state, target, kind, data, eof, target.output);
        break;
    }
    case client_kind::slow_reader: {
        state.slow++;
        std::string data = read_slowly(fd, 2048, 1, &eof, client_read_deadline_ms);
        close(fd);
        judge(state, target, kind, data, eof, target.output);
        break;
    }
    case client_kind::proxied: {
        // A few KiB at most: they fit the socket buffers, so all is sent before anything is read.
        proxied_request request = proxied_request_of(index);
        bool sent = send_proxied(fd, index, request);
        shutdown(fd, SHUT_WR);
        std::string data = sent ? read_slowly(fd, 65536, 0, &eof, client_read_deadline_ms) : "(send failed)";
        close(fd);
        judge(state, target, kind, data, eof, request.answer);
        break;
    }
    case client_kind::silent:
        state.silent++;
        park(state, fd);
        break;
    case client_kind::reset_at_once:
        state.reset++;
        harness::reset_close(fd);
        break;
    case client_kind::reset_after_read:
        state.reset++;
        (void)harness::read_some(fd, 100, client_read_deadline_ms);
        harness::reset_close(fd);
        break;
    }
}

void worker(load_state &state)
{
    const load_plan &plan = state.plan;
    for (;;) {
        auto now = clock_type::now();
        if (now >= state.deadline) {
            state.timed_out = true;
            return;
        }
        if (plan.run_for_ms > 0 && now >= state.stop_starting)
            return;
        long index = state.next++;
        if (plan.run_for_ms == 0 && index >= plan.connections)
            return;
        state.started++;
        size_t targets = plan.targets.size();
        const load_target &target = plan.targets[static_cast<size_t>(index) % targets];
        state.started_per_target[static_cast<size_t>(index) % targets]++;
        client_kind kind = plan.kinds[(static_cast<size_t>(index) / targets) % plan.kinds.size()];
        const std::string *source = nullptr;
        if (!plan.sources.empty())
            source = &plan.sources[static_cast<size_t>(index / plan.source_run) % plan.sources.size()];
        run_client(state, target, kind, source, index);
    }
}

}  // namespace

load_report run_load(const load_plan &plan)
{
    load_state state(plan);
    state.deadline = deadline_in(plan.deadline_ms);
    state.stop_starting = deadline_in(plan.run_for_ms);
    std::vector<std::thread> workers;
    for (int i = 0; i < plan.concurrency; i++)
        workers.emplace_back(worker, std::ref(state));
    for (auto &thread : workers)
        thread.join();
    for (int fd : state.parked)
        close(fd);

    load_report result;
    result.started = state.started;
    for (const auto &count : state.started_per_target)
        result.started_per_target.push_back(count);
    result.connect_failed = state.connect_failed;
    result.got_output = state.got_output;
    result.got_refusal = state.got_refusal;
    result.wrong = state.wrong;
    result.silent = state.silent;
    result.reset = state.reset;
    result.slow = state.slow;
    result.timed_out = state.timed_out;
    result.wrong_samples = state.wrong_samples;
    return result;
}

// ---- processes seen through /proc ------------------------------------------

namespace {

std::set<std::string> socket_inodes(pid_t pid)
{
    std::set<std::string> inodes;
    std::string dir_path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(dir_path.c_str());
    if (dir == nullptr)
        return inodes;
    while (dirent *entry = readdir(dir)) {
        char target[256];
        ssize_t length = readlink((dir_path + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (length <= 0)
            continue;
        target[length] = '\0';
        if (strncmp(target, "socket:[", 8) == 0)
            inodes.insert(std::string(target + 8, strlen(target + 8) - 1));
    }
    closedir(dir);
    return inodes;
}

// /proc/net/tcp prints each 32-bit word of an address as the host-order
// hexadecimal of its network-order bytes: on this little-endian machine
// 127.0.0.1 is 0100007F.
std::string address_from_proc(const std::string &hex, bool v6)
{
    unsigned char bytes[16] = {};
    size_t words = v6 ? 4 : 1;
    for (size_t word = 0; word < words; word++) {
        uint32_t value = static_cast<uint32_t>(strtoul(hex.substr(word * 8, 8).c_str(), nullptr, 16));
        memcpy(bytes + word * 4, &value, 4);
    }
    char text[INET6_ADDRSTRLEN];
    inet_ntop(v6 ? AF_INET6 : AF_INET, bytes, text, sizeof text);
    return text;
}

}  // namespace

std::vector<std::string> listening_addresses(pid_t pid)
{
    std::vector<std::string> found;
    std::set<std::string> inodes = socket_inodes(pid);
    if (inodes.empty())
        return found;
    for (bool v6 : {false, true}) {
        std::ifstream table("/proc/" + std::to_string(pid) + (v6 ? "/net/tcp6" : "/net/tcp"));
        std::string line;
        std::getline(table, line);  // the heading
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            if (state != "0A" || inodes.count(inode) == 0)
                continue;
            size_t colon = local.find(':');
            int port = static_cast<int>(strtol(local.c_str() + colon + 1, nullptr, 16));
            std::string address = address_from_proc(local.substr(0, colon), v6);
            found.push_back(v6 ? "[" + address + "]:" + std::to_string(port) : address + ":" + std::to_string(port));
        }
    }
    return found;
}

bool is_loopback_address(const std::string &address)
{
    return starts_with(address, "127.") || starts_with(address, "[::1]:") || starts_with(address, "[::ffff:127.");
}

bool waits_in_select(pid_t pid)
{
    std::string text = harness::read_file("/proc/" + std::to_string(pid) + "/syscall");
    long number = atol(text.c_str());
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
#ifdef SYS_select
    if (number == SYS_select)
        return true;
#endif
    return number == SYS_pselect6;
}

uid_t unused_uid()
{
    std::set<uid_t> in_use;
    DIR *proc = opendir("/proc");
    if (proc != nullptr) {
        while (dirent *entry = readdir(proc)) {
            struct stat info;
            if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9' &&
                stat((std::string("/proc/") + entry->d_name).c_str(), &info) == 0)
                in_use.insert(info.st_uid);
        }
        closedir(proc);
    }
    uid_t uid = 47110;
    while (in_use.count(uid) != 0)
        uid++;
    return uid;
}

}  // namespace stress
