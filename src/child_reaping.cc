#include "sockherd.h"

#include <sys/wait.h>
#include <unistd.h>

namespace sockherd {

int running_children = 0;

void reap_children()
{
    // One byte per call: signals merge, so bytes and children need not match;
    // the waitpid loop below collects every child that has ended so far.
    char scratch;
    ssize_t got = read(self_pipe[0], &scratch, 1);
    (void)got;

    // Every process is collected, so none stays a zombie, but only those we
    // started were counted: one we had before exec or, as PID 1, an orphan
    // handed to us must not open a slot that no command of ours freed.
    pid_t pid;
    int status = 0;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        child_facts facts;
        bool ours = remove_child_record(pid, &facts);
        if (ours) {
            running_children--;
            disarm_time_limit(&facts);
            resume_accepting();
        }
        log_closed(pid, status, ours ? &facts : nullptr);
        if (ours)
            penalise_source(&facts, status);
    }
}

}  // namespace sockherd
