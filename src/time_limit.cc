#include "sockherd.h"

#include <csignal>
#include <cstdlib>
#include <ctime>

namespace sockherd {

// One command's next signal: SIGTERM at its deadline, then SIGKILL
// kill_grace_seconds after the SIGTERM went out. The heap holds the nearest
// at its root; each command's record knows its place, so a collected command
// leaves it in logarithmic time, wherever it is.
struct deadline {
    timespec at;  // CLOCK_MONOTONIC
    pid_t pid;
    bool term_sent;
};

static deadline *heap;
static size_t heap_count;
static size_t heap_capacity;

int time_limit_of(const connection *c)
{
    // A forked header reader's client is known only to the child: -T's limit.
    const access_verdict *v = &c->verdict;
    if (!c->header_unread && v->matched && v->timeout >= 0)
        return v->timeout;
    return settings.timeout_seconds;
}

int reserve_deadline()
{
    if (heap_count < heap_capacity)
        return 0;
    size_t capacity = heap_capacity > 0 ? 2 * heap_capacity : 64;
    deadline *grown = static_cast<deadline *>(realloc(heap, capacity * sizeof *grown));
    if (grown == nullptr)
        return -1;
    heap = grown;
    heap_capacity = capacity;
    return 0;
}

// Puts entry at place and tells its command's record where it is.
static void place(size_t at, const deadline *entry)
{
    heap[at] = *entry;
    child_record(entry->pid)->deadline_at = static_cast<uint32_t>(at + 1);
}

static void sift_up(size_t at, deadline entry)
{
    while (at > 0) {
        size_t parent = (at - 1) / 2;
        if (!time_before(&entry.at, &heap[parent].at))
            break;
        place(at, &heap[parent]);
        at = parent;
    }
    place(at, &entry);
}

static void sift_down(size_t at, deadline entry)
{
    for (;;) {
        size_t child = 2 * at + 1;
        if (child >= heap_count)
            break;
        if (child + 1 < heap_count && time_before(&heap[child + 1].at, &heap[child].at))
            child++;
        if (!time_before(&heap[child].at, &entry.at))
            break;
        place(at, &heap[child]);
        at = child;
    }
    place(at, &entry);
}

// Takes the entry at place out; the last one fills the hole, moved up or down.
static void remove_at(size_t at)
{
    deadline last = heap[--heap_count];
    if (at == heap_count)
        return;
    if (at > 0 && time_before(&last.at, &heap[(at - 1) / 2].at))
        sift_up(at, last);
    else
        sift_down(at, last);
}

void arm_time_limit(pid_t pid, int seconds)
{
    child_facts *facts = child_record(pid);
    if (facts == nullptr || seconds <= 0)
        return;
    deadline entry = {facts->started, pid, false};
    entry.at.tv_sec += seconds;
    heap_count++;
    sift_up(heap_count - 1, entry);
}

void disarm_time_limit(const child_facts *facts)
{
    if (facts->deadline_at != 0)
        remove_at(facts->deadline_at - 1);
}

const timespec *next_deadline()
{
    return heap_count > 0 ? &heap[0].at : nullptr;
}

// A command that the signal no longer reaches (it made itself another
// user's) is not said to have been signalled; its SIGKILL is still tried.
// Every entry's command is recorded: one collected has left the heap.
static void send_next_signal(const timespec *now)
{
    deadline entry = heap[0];
    child_facts *facts = child_record(entry.pid);
    if (entry.term_sent) {
        if (kill(entry.pid, SIGKILL) == 0)
            log_killed(entry.pid, &facts->started);
        facts->deadline_at = 0;
        remove_at(0);
        return;
    }
    if (kill(entry.pid, SIGTERM) == 0) {
        facts->timed_out = true;
        log_timed_out(entry.pid, &facts->started);
    }
    entry.term_sent = true;
    entry.at = *now;
    entry.at.tv_sec += kill_grace_seconds;
    sift_down(0, entry);
}

void enforce_time_limits()
{
    if (heap_count == 0)
        return;
    timespec now;
    // Without a clock the nearest deadline is taken as come, as the loop's
    // wait for it has ended: late rather than never, and never a spin.
    if (clock_gettime(CLOCK_MONOTONIC, &now) == -1)
        now = heap[0].at;
    while (heap_count > 0 && !time_before(&now, &heap[0].at))
        send_next_signal(&now);
}

}  // namespace sockherd
