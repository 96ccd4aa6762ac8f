// ntwpeer: what an instance learns about its partner beyond the pairing
// protocol itself: whether the partner shows itself running (presence
// files) and what the partner can do (capabilities).
//
// Presence files.  Locks alone cannot tell a partner that never came from
// one whose locks this party cannot see (a shared path whose files are
// shared between the hosts but whose locks are not).  So each party also
// shows itself through a file of its own next to the sync file,
// "<sync file>.<host>.<pid>.here", made when its start opens the sync file,
// rewritten about once a second while it waits, and removed when it begins
// to finish (before it lets go of any lock) or at exit.  A partner's file
// counts as a running partner only when it has the owner that this party's
// own file got (a server that maps root to another user maps both alike,
// and a file that another user planted does not count) and this party sees
// it change or appear: a file left by a killed party never changes.  The files only
// explain a failed pairing; the protocol never depends on them.
//
// Capabilities.  A partner of an earlier release, or one that keeps to the
// bare protocol, passes fewer barriers in some tests than this release
// does, so the two must agree before such a test goes its own way.  They
// agree through the sync file's locks, which are as coherent as the pairing
// itself (names and contents may be cached by a client, locks are not):
// every party of this release takes, when it gets its role in the first
// handshake, an exclusive lock on the capability byte of that role and
// holds it until it closes the sync file.  A party has passed its first
// handshake before the partner can pass the first barrier, so after that
// barrier the byte shows the partner's capability for certain.  A party
// that could not take its own byte counts the partner as lacking it, like
// the partner, which finds the byte free.
#include "ntw.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t PEER_HOSTNAME_LEN = 68;
// Capability bytes of the sync file: 8 for the party with liveness byte 1,
// 9 for the one with liveness byte 2 (the protocol uses bytes 0 to 7).
constexpr int PEER_DATA_BYTE_BASE = 7;
constexpr long long PRESENCE_REFRESH_MS = 1000;
// Long enough for two refreshes of a waiting partner.
constexpr long long PRESENCE_WATCH_MS = 2500;
constexpr useconds_t PRESENCE_LOOK_US = 250000;
constexpr size_t PRESENCE_ENTRY_LEN = 256;
constexpr int PRESENCE_MAX_SEEN = 8;
constexpr size_t PRESENCE_MARK_LEN = 12; // ten digits, newline, NUL
constexpr size_t PRESENCE_PID_DIGITS = 10;
constexpr char PRESENCE_SUFFIX[] = ".here";

// One presence file of another party of this pairing, as last seen.
struct PresenceSighting {
    char name[PRESENCE_ENTRY_LEN]; // directory entry
    char host[PEER_HOSTNAME_LEN];
    struct timespec mtime;
    char mark[PRESENCE_MARK_LEN];
    bool stale; // watched without a change: its party has ended
};

// The presence of this process in its pairing (one pairing at a time), and
// what it has seen of the partner's since the sightings began.
struct Presence {
    bool active = false;                  // a pairing is under way
    int fd = -1;                          // own presence file
    bool owner_known = false;             // its owner has been read
    uid_t owner;                          // the owner it got: a partner's has it too
    char path[PEER_PRESENCE_NAME_LEN];    // its name
    char dir[PEER_PRESENCE_NAME_LEN];     // directory of the sync file
    char prefix[PRESENCE_ENTRY_LEN];      // "<sync file>.": this pairing's files
    unsigned counter;                     // the mark last written
    long long refreshed_ms;               // when it was last written
    long long since_ms;                   // when the sightings began
    bool looked;                          // the first look since then is made
    bool reported;                        // the partner's unseen locks reported
    char running_host[PEER_HOSTNAME_LEN]; // a partner seen running, "" none
    int seen;
    PresenceSighting sightings[PRESENCE_MAX_SEEN];
};

Presence s_presence;
bool s_data_byte_held; // this party shows the capability in its pairing

// One non-waiting request on one byte of the sync file.
int request_byte(int fd, short type, int byte)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(byte);
    lock.l_len = 1;
    return fcntl(fd, F_SETLK, &lock);
}

void report_progress(ntw_text_id id)
{
    msg_statusmsg(0, "%s", msg_text(id));
}

void report_error(ntw_text_id id)
{
    msg_errmsg(0, "%s", msg_text(id));
}

long long monotonic_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A new mark, flushed, so that the change reaches the partner's host: the
// file system's own clock sets the modification time, so the hosts' clocks
// need not agree.
void presence_write_mark(void)
{
    char mark[PRESENCE_MARK_LEN];
    snprintf(mark, sizeof mark, "%010u\n", ++s_presence.counter);
    sig_blocking_begin();
    ssize_t written = pwrite(s_presence.fd, mark, PRESENCE_MARK_LEN - 1, 0);
    sig_blocking_end();
    (void)written;
    sig_blocking_begin();
    fdatasync(s_presence.fd);
    sig_blocking_end();
}

// Writes a new mark once a second; true when it was time to.
bool presence_refresh_if_due(void)
{
    if (monotonic_ms() - s_presence.refreshed_ms < PRESENCE_REFRESH_MS)
        return false;
    if (s_presence.fd >= 0)
        presence_write_mark();
    s_presence.refreshed_ms = monotonic_ms();
    return true;
}

// Host names as a file name may carry them into the report: nothing else.
bool is_host_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

// The host of "<prefix><host>.<pid>.here" when the entry is a presence file
// of this pairing other than this party's own.
bool presence_host_of(const char *entry, char *host)
{
    size_t prefix_len = strlen(s_presence.prefix);
    size_t len = strlen(entry);
    size_t suffix_len = sizeof PRESENCE_SUFFIX - 1;
    if (len <= prefix_len + suffix_len || strncmp(entry, s_presence.prefix, prefix_len) != 0 ||
        strcmp(entry + len - suffix_len, PRESENCE_SUFFIX) != 0)
        return false;
    const char *own = strrchr(s_presence.path, '/');
    if (own != nullptr && strcmp(entry, own + 1) == 0)
        return false;
    const char *begin = entry + prefix_len;
    const char *end = entry + len - suffix_len;
    const char *dot = end;
    while (dot > begin && dot[-1] != '.')
        --dot;
    size_t digits = static_cast<size_t>(end - dot);
    size_t host_len = dot > begin ? static_cast<size_t>(dot - 1 - begin) : 0;
    if (digits == 0 || digits > PRESENCE_PID_DIGITS || host_len == 0 ||
        host_len >= PEER_HOSTNAME_LEN)
        return false;
    for (const char *p = dot; p < end; ++p)
        if (*p < '0' || *p > '9')
            return false;
    for (const char *p = begin; p < begin + host_len; ++p)
        if (!is_host_char(*p))
            return false;
    memcpy(host, begin, host_len);
    host[host_len] = '\0';
    return true;
}

// What a presence file shows now: its modification time and its mark.
// Only a regular file is opened (never a link, device or FIFO planted under
// such a name); the open also makes a network file system fetch the file's
// current attributes.
bool presence_snapshot(PresenceSighting *seen)
{
    char path[PEER_PRESENCE_NAME_LEN];
    int n = snprintf(path, sizeof path, "%s/%s", s_presence.dir, seen->name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path)
        return false;
    struct stat st;
    sig_blocking_begin();
    int r = lstat(path, &st);
    sig_blocking_end();
    if (r != 0 || !S_ISREG(st.st_mode))
        return false;
    sig_blocking_begin();
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    sig_blocking_end();
    if (fd < 0)
        return false;
    std::memset(seen->mark, 0, sizeof seen->mark);
    // A file of another owner is not a partner's: anyone who can write the
    // directory could have made it.
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && s_presence.owner_known &&
              st.st_uid == s_presence.owner;
    if (ok) {
        sig_blocking_begin();
        ok = pread(fd, seen->mark, PRESENCE_MARK_LEN - 1, 0) >= 0;
        sig_blocking_end();
    }
    close(fd);
    seen->mtime = st.st_mtim;
    return ok;
}

bool presence_changed(const PresenceSighting &before, const PresenceSighting &now)
{
    return before.mtime.tv_sec != now.mtime.tv_sec || before.mtime.tv_nsec != now.mtime.tv_nsec ||
           std::memcmp(before.mark, now.mark, sizeof now.mark) != 0;
}

// A partner's file that changed since the last look, or that appeared after
// the first look, belongs to a running party.
void presence_note(const PresenceSighting &now)
{
    for (int i = 0; i < s_presence.seen; ++i) {
        PresenceSighting &before = s_presence.sightings[i];
        if (strcmp(before.name, now.name) != 0)
            continue;
        if (presence_changed(before, now))
            std::memcpy(s_presence.running_host, now.host, sizeof now.host);
        before = now;
        return;
    }
    if (s_presence.seen == PRESENCE_MAX_SEEN)
        return;
    s_presence.sightings[s_presence.seen++] = now;
    if (s_presence.looked)
        std::memcpy(s_presence.running_host, now.host, sizeof now.host);
}

// One look at the directory for the presence files of this pairing.
void presence_look(void)
{
    sig_blocking_begin();
    DIR *dir = opendir(s_presence.dir);
    sig_blocking_end();
    if (dir == nullptr)
        return;
    for (;;) {
        sig_blocking_begin();
        const struct dirent *entry = readdir(dir);
        sig_blocking_end();
        if (entry == nullptr)
            break;
        PresenceSighting now{};
        if (strlen(entry->d_name) >= sizeof now.name || !presence_host_of(entry->d_name, now.host))
            continue;
        std::memcpy(now.name, entry->d_name, strlen(entry->d_name) + 1);
        if (presence_snapshot(&now))
            presence_note(now);
    }
    closedir(dir);
    s_presence.looked = true;
}

// Whether a partner shows itself running through its presence file: seen
// to change or appear since the sightings began, or, while a presence file
// of this pairing is there, within a short watch from their beginning.
// Files that stayed unchanged throughout are stale: their party has ended.
bool partner_seen_running(void)
{
    if (!s_presence.active)
        return false;
    for (;;) {
        presence_look();
        if (s_presence.running_host[0] != '\0')
            return true;
        if (s_presence.seen == 0 || monotonic_ms() - s_presence.since_ms >= PRESENCE_WATCH_MS)
            break;
        sig_blocking_begin();
        usleep(PRESENCE_LOOK_US);
        sig_blocking_end();
        presence_refresh_if_due();
    }
    for (int i = 0; i < s_presence.seen; ++i)
        s_presence.sightings[i].stale = true;
    return false;
}

void report_locks_unseen(void)
{
    if (s_presence.reported)
        return;
    s_presence.reported = true;
    msg_errmsg(0, msg_text(MT_PARTNER_LOCKS_UNSEEN), s_presence.running_host);
}

} // namespace

// ---------------------------------------------------------------------------
// Presence files

int peer_presence_name(const char *sync_filename, pid_t pid, char *out, size_t size)
{
    char host[PEER_HOSTNAME_LEN];
    if (gethostname(host, sizeof host) != 0)
        return -1;
    host[sizeof host - 1] = '\0';
    int n = snprintf(out, size, "%s.%s.%d%s", sync_filename, host, static_cast<int>(pid),
                     PRESENCE_SUFFIX);
    return n < 0 || static_cast<size_t>(n) >= size ? -1 : 0;
}

void peer_forget_sightings(void)
{
    s_presence.seen = 0;
    s_presence.looked = false;
    s_presence.running_host[0] = '\0';
    s_presence.since_ms = monotonic_ms();
}

// Shows this party in the pairing whose sync file is open: a file of its
// own, freshly made (a name left by an earlier process with the same host
// name and process id is replaced).  Without it the pairing still works;
// only its failure is explained less well.
void peer_start(const utlntw_sync_info *info)
{
    s_presence = Presence{};
    const char *slash = strrchr(info->sync_filename, '/');
    if (slash == nullptr)
        return;
    size_t dir_len = static_cast<size_t>(slash - info->sync_filename);
    int n = snprintf(s_presence.prefix, sizeof s_presence.prefix, "%s.", slash + 1);
    if (dir_len >= sizeof s_presence.dir || n < 0 ||
        static_cast<size_t>(n) >= sizeof s_presence.prefix ||
        peer_presence_name(info->sync_filename, getpid(), s_presence.path,
                           sizeof s_presence.path) != 0)
        return;
    std::memcpy(s_presence.dir, info->sync_filename, dir_len);
    s_presence.dir[dir_len] = '\0';
    if (dir_len == 0)
        std::memcpy(s_presence.dir, "/", 2);
    s_presence.active = true;
    add_deletefilename(s_presence.path);
    int fd = create_private_file(s_presence.path, info->timeout);
    if (fd < 0 && errno == EEXIST) {
        unlink(s_presence.path);
        fd = create_private_file(s_presence.path, info->timeout);
    }
    s_presence.fd = fd;
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0) {
        s_presence.owner_known = true;
        s_presence.owner = st.st_uid;
    }
    if (fd >= 0)
        presence_write_mark();
    s_presence.refreshed_ms = monotonic_ms();
    peer_forget_sightings();
    presence_look();
}

// Removes this party's own presence file; a partner that looks from now on
// finds it gone.
void peer_end_own(void)
{
    if (s_presence.fd < 0)
        return;
    sig_blocking_begin();
    close(s_presence.fd);
    sig_blocking_end();
    s_presence.fd = -1;
    unlink(s_presence.path);
}

// The partner's liveness byte (before the roles are assigned: both) is
// free.  The partner has ended, unless it shows itself running: then it is
// its locks that this party cannot see.
void peer_report_absent(void)
{
    if (partner_seen_running())
        report_locks_unseen();
    else
        report_progress(MT_PARTNER_ENDED);
}

// The first handshake of a pairing ran out of time: either the partner is
// there but its locks are not seen, or no partner is seen at all.
void peer_report_unmet(void)
{
    if (partner_seen_running())
        report_locks_unseen();
    else
        report_error(MT_PARTNER_NOT_SEEN);
}

// The presence files of a partner that has ended go with the pairing's
// other files when this party removes them.
void peer_remove_stale(void)
{
    for (int i = 0; i < s_presence.seen; ++i) {
        const PresenceSighting &seen = s_presence.sightings[i];
        char path[PEER_PRESENCE_NAME_LEN];
        int n = snprintf(path, sizeof path, "%s/%s", s_presence.dir, seen.name);
        if (seen.stale && n > 0 && static_cast<size_t>(n) < sizeof path)
            unlink(path);
    }
}

// The partner was ended by this party: whatever presence file it left is
// stale by definition and goes with the pairing's other files.
void peer_remove_ended_partner(void)
{
    if (s_presence.active) {
        presence_look();
        for (int i = 0; i < s_presence.seen; ++i)
            s_presence.sightings[i].stale = true;
        peer_remove_stale();
    }
    s_presence.active = false;
}

// One pause of a waiting party: its presence file stays fresh and, while it
// is still looking for its partner, it looks for the partner's.
void peer_keep_shown(bool looking_for_partner)
{
    if (s_presence.active && presence_refresh_if_due() && looking_for_partner)
        presence_look();
}

// This party has left its pairing.
void peer_leave(void)
{
    s_presence.active = false;
}

// ---------------------------------------------------------------------------
// Capabilities

void peer_show_data_capability(const utlntw_sync_info *info)
{
    s_data_byte_held =
        request_byte(info->fd, F_WRLCK, PEER_DATA_BYTE_BASE + info->my_alive_no) == 0;
}

int peer_has_data_capability(const utlntw_sync_info *info)
{
    if (!s_data_byte_held)
        return 0;
    const int byte = PEER_DATA_BYTE_BASE + info->other_alive_no;
    if (request_byte(info->fd, F_WRLCK, byte) == 0) {
        request_byte(info->fd, F_UNLCK, byte);
        return 0;
    }
    if (errno == EACCES || errno == EAGAIN)
        return 1;
    msg_errmsg(errno, "%s", msg_text(MT_PARTNER_UNKNOWN));
    return -1;
}
