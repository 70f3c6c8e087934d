#include "sockherd.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace sockherd {

settings_record settings;

static const char *const usage_lines[] = {
    "sockherd version 23",
    "",
    "Usage: sockherd [options] address port command ...",
    "  address  Address to bind to (0 for all local addresses)",
    "  port     TCP port to bind to (0 for any available port)",
    "  command  Command to execute",
    "Options:",
    "  -c N     limit to at most N children running (default 40).",
    "           Further connections will be deferred unless -r",
    "           is specified.",
    "  -C N     limit to at most N children running for one",
    "           client address (an IPv6 client: its /64)",
    "  -R N/B   at most N commands a second for one client",
    "           address, B at once after a pause",
    "  -P spec  refuse a client address for a while after its",
    "           commands end badly (see manual)",
    "  -A file  allow or deny clients by network, with",
    "           variables and limits per network (see manual)",
    "  -6       bind to an IPv6 address (default IPv4)",
    "  -g gid   setgid(gid) after binding",
    "  -u uid   setuid(uid) after binding",
    "  -U       setuid($UID) and setgid($GID) after binding",
    "  -1       print local port number to stdout after binding",
    "  -b N     set listen() backlog to N",
    "  -L       take the listening socket from the service",
    "           manager; then give no address and port",
    "  -D       set TCP_NODELAY option on sockets",
    "  -K N     TCP keepalive on sockets: probe after N",
    "           seconds idle, drop after 3 unanswered",
    "  -T N     end a command that runs longer than N seconds",
    "           (SIGTERM, then SIGKILL 2 seconds later)",
    "  -G N     on SIGTERM stop accepting, let running commands",
    "           finish for up to N seconds, then exit 0",
    "  -e       redirect stderr of children to socket",
    "  -p       expect a PROXY protocol header (v1 or v2)",
    "           before each client's data",
    "  -v       be verbose",
    "  -Q       don't be verbose (default)",
    "  -J       be verbose, one JSON object per line",
    "  -M file  write metrics for Prometheus to file",
    "  -r resp  once -c limit is reached, refuse clients",
    "           with 'resp' rather than deferring them.",
    "           resp may contain \\r, \\n, \\t.",
    "  -h       show this usage message",
    "  -t       check the -A file and exit",
    "",
    "Report bugs to <sockherd-bugs@lists.example.org>.",
};

void usage(int status)
{
    for (const char *line : usage_lines)
        (void)fprintf(stderr, "%s\n", line);
    exit(status);
}

void usage_error(const char *option, const char *argument, const char *wants)
{
    // Two writes, as the argument may be of any length; nothing else is
    // written meanwhile.
    if (argument != nullptr)
        (void)fprintf(stderr, "%s %s: ", option, argument);
    else
        (void)fprintf(stderr, "%s ", option);
    (void)fprintf(stderr, "%s\n", wants);
    usage(failure_status);
}

bool starts_with_number(const char *text)
{
    while (isspace(static_cast<unsigned char>(*text)))
        text++;
    if (*text == '+' || *text == '-')
        text++;
    return isdigit(static_cast<unsigned char>(*text)) != 0;
}

char *decode_escapes(const char *argument)
{
    char *text = static_cast<char *>(malloc(strlen(argument) + 1));
    if (text == nullptr)
        die("out of memory");
    char *out = text;
    for (const char *in = argument; *in != '\0'; in++) {
        if (*in != '\\') {
            *out++ = *in;
            continue;
        }
        in++;
        switch (*in) {
        case 'n': *out++ = '\n'; break;
        case 'r': *out++ = '\r'; break;
        case 't': *out++ = '\t'; break;
        default:  // also a backslash at the very end
            free(text);
            usage(failure_status);
        }
    }
    *out = '\0';
    return text;
}

// A group or user name would silently become ID 0, that is root: refuse it.
static int id_argument(const char *option, const char *argument, const char *wants)
{
    if (!starts_with_number(argument))
        usage_error(option, argument, wants);
    return atoi(argument);
}

// The kernel takes 1 to 32767 seconds for the keepalive timers. Read as atoi
// reads, but as a long, so that no large number wraps into the range.
static int keepalive_argument(const char *argument)
{
    long seconds = strtol(argument, nullptr, 10);
    if (seconds < 1 || seconds > 32767)
        usage_error("-K", argument, "a number of seconds from 1 to 32767");
    return static_cast<int>(seconds);
}

// Up to a day (-G, -T), read as atoi reads, but as a long, so that no large
// number wraps into the range.
static int day_seconds_argument(const char *option, const char *argument)
{
    long seconds = strtol(argument, nullptr, 10);
    if (seconds < 1 || seconds > 86400)
        usage_error(option, argument, "a number of seconds from 1 to 86400");
    return static_cast<int>(seconds);
}

// The first thing -U found wrong. It is reported once every option is
// read, so that a -J written after -U makes the report JSON.
static const char *id_failure;

// One ID for -U into id; false, with the failure noted, when the variable is
// unset or not a number.
static bool id_from_environment(const char *name, const char *unset_message, const char *not_number_message, int *id)
{
    const char *text = getenv(name);
    const char *failure = text == nullptr ? unset_message : !starts_with_number(text) ? not_number_message : nullptr;
    if (failure != nullptr) {
        if (id_failure == nullptr)
            id_failure = failure;
        return false;
    }
    *id = atoi(text);
    return true;
}

// -U: group from $GID first, then user from $UID, each read where -U stands.
static void ids_from_environment()
{
    if (!id_from_environment("GID", "-U specified but no $GID", "-U specified but $GID is not a number", &settings.gid))
        return;
    settings.change_gid = true;
    if (id_from_environment("UID", "-U specified but no $UID", "-U specified but $UID is not a number", &settings.uid))
        settings.change_uid = true;
}

// Ends the process with what -U found wrong, if anything.
static void report_id_failure()
{
    if (id_failure != nullptr)
        die(id_failure);
}

static void apply_option(int option, const char *argument)
{
    switch (option) {
    case 'c': settings.max_children = atoi(argument); break;
    case 'C':
        settings.limit_per_source = true;
        settings.max_per_source = atoi(argument);
        break;
    case '6': settings.address_family = AF_INET6; break;
    case 'g':
        settings.change_gid = true;
        settings.gid = id_argument("-g", argument, "a numeric group ID");
        break;
    case 'u':
        settings.change_uid = true;
        settings.uid = id_argument("-u", argument, "a numeric user ID");
        break;
    case 'U': ids_from_environment(); break;
    case '1': settings.print_port = true; break;
    case 'b': settings.listen_backlog = atoi(argument); break;
    case 'D': settings.tcp_nodelay = true; break;
    case 'K': settings.keepalive_seconds = keepalive_argument(argument); break;
    case 'G': settings.drain_seconds = day_seconds_argument("-G", argument); break;
    case 'T': settings.timeout_seconds = day_seconds_argument("-T", argument); break;
    case 'R':
        if (!parse_rate(argument, argument + strlen(argument), &settings.source_rate))
            usage_error("-R", argument, "N or N/B, each from 1 to 1000000");
        break;
    case 'P':
        if (!parse_penalties(argument, &settings.penalties))
            usage_error("-P", argument, "WHAT:SECONDS,... with WHAT an exit status, signal, timeout or max");
        break;
    // The last of -Q, -v and -J decides.
    case 'Q':
        settings.verbose = false;
        settings.json_log = false;
        break;
    case 'v':
        settings.verbose = true;
        settings.json_log = false;
        break;
    case 'J':
        settings.verbose = true;
        settings.json_log = true;
        break;
    case 'e': settings.stderr_to_socket = true; break;
    case 'p': settings.proxy_protocol = true; break;
    case 'L': settings.socket_from_manager = true; break;
    case 'A': settings.access_file = argument; break;
    case 'M': settings.metrics_file = argument; break;
    case 't': settings.check_access = true; break;
    case 'h':
        report_id_failure();  // a -U that failed before -h ends the process, as it always has
        usage(0);
    case 'r':
        free(settings.refuse_response);  // a later -r replaces an earlier one
        settings.refuse_response = decode_escapes(argument);
        break;
    default: usage(failure_status);  // getopt has already said what was wrong
    }
}

int parse_command_line(int argc, char **argv)
{
    // "+" stops the scan at the first operand even with GNU getopt, so options
    // written after the command reach the command.
    int option;
    id_failure = nullptr;
    while ((option = getopt(argc, argv, "+c:C:R:P:6g:u:U1b:DK:G:T:QvJM:ehr:pLA:t")) != -1)
        apply_option(option, optarg);
    report_id_failure();
    // -t checks the file and nothing else: operands, if given, are not looked at.
    if (settings.check_access) {
        if (settings.access_file == nullptr)
            usage_error("-t", nullptr, "needs -A FILE");
        return optind;
    }
    // With -L the manager chose address and port: only the command follows.
    if (settings.socket_from_manager) {
        if (optind == argc)
            usage_error("-L", nullptr, "needs a command");
    } else if (argc - optind < 3) {
        usage(failure_status);
    }
    return optind;
}

}  // namespace sockherd
