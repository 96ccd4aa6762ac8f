// zemntwchk: the declarations that the modules share.
//
// Modules and prefixes:
//   ntwmain   run control        check_arg, ntw_*
//   ntwsig    signals            sig_*, ntw_sig_exit, g_pid
//   ntwmsg    messages           msg_*
//   ntwcom    file primitives    open_file ... lockf_file, create_path, ...
//   ntwwork   work-file record   work_*
//   ntwsync   two-party sync     utlntw_sync_*, syncronize, s_lock, ...
//   ntwpeer   the partner        peer_*: presence files, why a pairing failed,
//                                what the partner can do
//   ntwsingle single-host tests  try_test_single, try_single_*, test_single_*
//                                and the result convention of all three trees:
//                                test_failure_value, test_named_step, ...
//   ntwdouble mutual tests       try_test_double, try_double_*, test_no_*
//   ntwdata   data records       data_*: what the mutual data steps write and
//                                how a reader judges what it read
//   ntwuser   operator tests     try_test_usrapl, usrapl_*, usr_apl_*
//
// Modules call downward only: run control calls the test trees (ntwdouble
// through ntwdata for its data records), which call ntwsync, which calls
// ntwpeer, which calls ntwcom, which calls ntwwork and ntwmsg (the test
// trees may call ntwpeer directly too); ntwsig is below them all
// and reaches the report and the deletion registry only through the exit
// actions that run control hands it at start-up.
//
// Conventions: operations return 0 (or a descriptor) on success and -1 on
// failure, and report their own failures; tests return NTW_OK, NTW_NG or
// NTW_ABORT.
#pragma once

#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <sys/stat.h>
#include <sys/types.h>

#include "ntwtext.h"

// ---------------------------------------------------------------------------
// Parameters and results

constexpr int NTW_MODE_SINGLE = 1;
constexpr int NTW_MODE_DOUBLE = 3;
constexpr int NTW_MODE_USERAPL = 4;

constexpr int NTW_CODE_EUCJP = 1;
constexpr int NTW_CODE_SJIS = 2;
constexpr int NTW_CODE_UTF8 = 3;

constexpr int NTW_TIMEOUT_DEFAULT = 30;
constexpr int NTW_TIMEOUT_MIN = 10;
constexpr int NTW_TIMEOUT_MAX = 600;

constexpr int NTW_PATH_LEN = 200; // longest path option value
constexpr int NTW_NAME_LEN = 14;  // longest -O / -G value

// Test results.  Any positive value is NG, any negative value an abort.
constexpr int NTW_OK = 0;
constexpr int NTW_NG = 1;
constexpr int NTW_ABORT = -1;

// Size of the buffers that hold a work-file name.
constexpr int NTW_WORKNAME_LEN = 512;

// Permission bits of every file the checker creates; the file-creation mask
// is cleared while it creates them, so they get exactly these.
constexpr int NTW_FILE_MODE = 0666;

struct NtwParam {
    int32_t mode;
    int32_t timeout;
    char share_path[NTW_PATH_LEN + 1];
    char target_path[NTW_PATH_LEN + 1];
    char target_file[NTW_PATH_LEN + 1];
    char log_file[NTW_PATH_LEN + 1];
    char owner[NTW_NAME_LEN + 1];
    char group[NTW_NAME_LEN + 1];
    int32_t code_set;
};

// ---------------------------------------------------------------------------
// ntwmain: run control

int check_arg(int argc, char **argv, NtwParam *param);
int ntw_init(int argc, char **argv, NtwParam *param);
int ntw_is_env_bad_condition(const NtwParam *param);
void ntw_finish(void);
// The whole run: start-up, the mode's driver, exit status value (0 or -1).
int ntw_main(int argc, char **argv);

// ---------------------------------------------------------------------------
// ntwsig: terminating signals, blocking sections, children

extern pid_t g_pid; // the main process; forked children compare against it

// Records the calling process as the main process.
void sig_record_main_process(void);
// Whether the calling process is the main process (every process is, until
// the main process has been recorded).
int sig_is_main_process(void);

// What the way out of a signal writes and removes, supplied by run control
// (the modules that do it lie above this one).  Null members do nothing.
struct SigExitActions {
    void (*flush)(void);                        // write out buffered report lines
    void (*signal_line)(int signum);            // the signal line, at a safe point
    void (*signal_line_async_safe)(int signum); // the same from a handler
    void (*remove_files_async_safe)(void);      // unlink the registered files
};
void sig_set_exit_actions(const SigExitActions *actions);
void sig_install_handlers(void);
// The handler of SIGINT, SIGHUP, SIGTERM and SIGPIPE (installed without
// SA_RESTART); a signal ignored at start-up stays ignored.
void ntw_sig_exit(int signum);

// Terminating signals.  The handler only records the signal, unless the
// process is inside a blocking section (below), where it ends the process
// itself with async-signal-safe calls only.  Everywhere else the process
// ends at the next safe point: sig_exit_if_signalled() writes the signal
// line, and exit(1) runs the clean-up.
void sig_exit_if_signalled(void);
// A blocking section brackets one system call that may block for long (a
// waiting lock, open, read, write, sleep, wait).  Nothing but that call may
// run inside it.  sig_blocking_begin flushes standard output first, so the
// handler can write its line directly without reordering the report.
void sig_blocking_begin(void);
void sig_blocking_end(void);

// Children of the main process that must not outlive it (forked partners,
// lock-holding children).  Registered right after fork in the parent and
// removed once reaped; a main process that ends by a signal kills and reaps
// the registered children.
void sig_add_child(pid_t pid);
void sig_remove_child(pid_t pid);
// Reaps one child, restarting on EINTR and honouring pending signals;
// returns the waitpid result.
pid_t sig_reap_child(pid_t pid);
// At exit: no handler acts any more; every registered child is killed and
// reaped.
void sig_end_children(void);

// ---------------------------------------------------------------------------
// ntwmsg: messages, log file, code-set conversion

int msg_init(const NtwParam *param);
void msg_finish(void);
// Converts EUC-JP text to the output code set; dest holds 2048 bytes.
int iconv_conv(const char *src, char *dest);
int msg_output(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int msg_output_stderr(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void msg_statusmsg(int err, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void msg_errmsg(int err, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void msg_test_start(const char *name);
int msg_test_end(const char *name, int result);
// Writes out buffered report lines; called before fork, so that a child
// never holds a copy of a pending line.
void msg_flush(void);
// Writes the signal line using only async-signal-safe calls (the text is
// converted at msg_init).  Writes nothing when the module is not active.
void msg_signal_line_async_safe(int signum);

// ---------------------------------------------------------------------------
// ntwcom: time-out flag, work-file names, checked file operations, locks,
// deletion registry

// The time-out flag, set by the SIGALRM handler and by is_timeout_occured.
int get_is_timeout(void);
void set_is_timeout(void);
void alarm_handler(int signum);
// The holder of a lock that a partner's waiting request meets pauses this
// long before it releases the lock.
constexpr int NTW_SYNC_PAUSE_SECONDS = 3;
void wait_sync_processing(void);
int is_timeout_occured(time_t start, int limit);
int create_path(int kind, const char *dir, int number, char *out, int pid);

// Every name that the checker opens lies in a directory that others may
// write (the target file of mode userapl too, once the checker created it).
// open_file never follows a final symbolic link, never waits on a FIFO, and
// refuses (as a failed open with an error number) anything but a regular
// file with at most one link; open_file_max_links allows more links where
// the checker made them itself (the two names of the link test).
// change_owner acts on a descriptor of a file verified the same way.
int open_file(const char *path, int flags, int mode, int timeout, int expect_failure);
int open_file_max_links(const char *path, int flags, int mode, int timeout, int expect_failure,
                        int max_links);
// Creates a new file under a name that nobody may have planted first:
// exclusive creation, never through a link, mode exactly 0666, under the
// time guard.  Silent: the caller decides what a failure means.  The
// descriptor, or -1 with errno set (EEXIST: the name was there).
int create_private_file(const char *path, int timeout);
// The work files: the checker acts only on files it created itself.
// create_work_file creates one exclusively (the open line first, unless
// NTW_WORK_SILENT).  A name found taken is a leftover of an earlier run
// only when it holds a regular file with one link that has the owner of the
// checker's own files: it is removed (a progress line) and created afresh;
// anything else there fails with a line that names it.  With
// NTW_WORK_PARTNER_FIRST (a name that the partner of a pairing may open
// before this instance creates it) such a file is taken as it is.  Opens,
// owner changes and deletions of a name created so compare the file met
// with the one created (device, inode, owner).  With NTW_WORK_NEW_ONLY any
// file found under the name fails the creation (no leftover is removed).
constexpr int NTW_WORK_SILENT = 1;
constexpr int NTW_WORK_PARTNER_FIRST = 2;
constexpr int NTW_WORK_NEW_ONLY = 4;
int create_work_file(const char *path, int timeout, int how);
// Opens the partner's work file (mode double): a regular file with one link
// that has the owner of this instance's own files; remembered from then on.
int open_partner_file(const char *path, int flags, int timeout);
// Whether the name still holds what the partner's work file may be (a
// regular file with one link and the owner of this instance's files), or
// nothing; 0, or -1 after a line that names the foreign file.
int check_partner_name(const char *path);
// Unlinks a work file when the name still holds the file created, silently.
void remove_work_file(const char *path);
int close_file(int fd);
int delete_file(const char *path);
int change_owner(const char *path, const char *owner, const char *group);
int link_file(const char *oldpath, const char *newpath, int expect_failure);
int read_file(int fd, int timeout);
int write_file(int fd, int timeout);
// The data steps' records, at the start of the file, under the time guard,
// silent unless they fail.  read_data returns the bytes read (fewer than
// `size` at the end of the file) or -1; write_data writes all and flushes.
int read_data(int fd, char *buf, int size, int timeout);
int write_data(int fd, const char *buf, int size, int timeout);
// The read-back of data that write_file flushed: from the file system, not
// from this host's cache, and the file holds exactly the test data.
int read_back_file(int fd, int timeout);
int wait_file_exists(const char *path, time_t start, int limit);
int wait_file_no_exists(const char *path, time_t start, int limit);

// Lock requests: 0 when granted.  A request that the caller expects to be
// refused (expect_refusal) returns NTW_LOCK_REFUSED when a conflicting lock
// refused it (EACCES or EAGAIN, a progress line); any other failure, and a
// refusal that was not expected, is -1 with an error line (a time-out also
// sets the time-out flag).
constexpr int NTW_LOCK_REFUSED = 1;
int lock_file(int fd, int exclusive, int wait, int timeout, int expect_refusal);
int unlock_file(int fd, int timeout);
int lockf_file(int fd, int command, int timeout, int expect_refusal);

void add_deletefilename(const char *name);
void delete_allfile(void);
// Unlinks every registered name without freeing anything: for the signal
// handler.
void delete_allfile_async_safe(void);
int get_dirname(const char *path, char *out, unsigned size);

// ---------------------------------------------------------------------------
// ntwwork: the record of the work files (device, inode and owner by name)

// The owner that the checker's own files get on the file system `dev` (the
// running user until a creation there showed another).
uid_t work_own_owner(dev_t dev);
// Remembers the file under the name; work_remember_created also learns the
// owner of the checker's own files from it.  -1 when the table is full.
int work_remember(const char *path, const struct stat *st);
void work_remember_created(const char *path, const struct stat *st);
// Remembers under `alias` the file remembered under `path` (a hard link the
// checker made).
void work_remember_alias(const char *path, const char *alias);
int work_is_remembered(const char *path);
// Whether `st` is the file remembered under the name with the owner it had
// (a name not remembered: whether it has the owner of the checker's files).
int work_matches(const char *path, const struct stat *st);
// Whether `st` is the file remembered under the name (device and inode).
int work_same_file(const char *path, const struct stat *st);
void work_owner_changed(const char *path, uid_t uid);
void work_forget(const char *path);

// ---------------------------------------------------------------------------
// ntwsync: two-party synchronisation

struct utlntw_sync_info {
    int32_t lock_no;
    int32_t fd;
    int32_t timeout;
    int32_t save_umask;
    int32_t my_alive_no;
    int32_t other_alive_no;
    int32_t my_file_no;
    int32_t other_file_no;
    char sync_filename[256];
    char endwait_filename[256];
    // When a test ends without its last barrier (utlntw_sync_leave_out,
    // utlntw_sync_wait_last):
    int32_t left_out;         // 1 the previous barrier's bytes are let go
                              // already; -1 that failed: the pairing is broken
    int32_t marked;           // this party shows the mark of a barrier left out
    int32_t partner_finished; // the partner finished the pairing instead of
                              // coming to this party's barrier
    int32_t aborted;          // this party shows its abort mark
};

int file_control(int fd, int type, int offset);
int s_lock(int fd, int type, int offset);
int s_unlock(int fd, int offset);
int lock_sync_file(utlntw_sync_info *info, time_t start);
int s_unlock_sync_file(utlntw_sync_info *info);
int is_alive_other_process(utlntw_sync_info *info);
int syncronize(utlntw_sync_info *info);
// Registers for deletion at exit the names that a pairing on these
// arguments uses, without opening anything: a parent calls it before it
// forks a partner, so that its own exit clean-up knows every name the
// partner may create.
int utlntw_sync_register_names(const char *dir, int kind, int number);
// Registers for deletion at exit the presence file that process `party`
// shows while it is in a pairing on these arguments: a parent calls it for
// the partner it has just forked, whose own exit deletes nothing.
int utlntw_sync_register_presence(const char *dir, int kind, int number, pid_t party);
int utlntw_sync_init(utlntw_sync_info *info, const char *dir, int timeout, int kind, int number);
// 0 both parties have reached this barrier; 1 the partner has finished
// the pairing instead (its test ended early): nothing of the pairing is
// left to do with it; -1 failure.
int utlntw_sync_wait(utlntw_sync_info *info);
// The last barrier of a test that the partner may leave out (it ends the
// test early).  went_on(arg) tells whether the partner, known to have let go
// of its previous barrier, shows the first step of its next test.  0 both
// have reached the barrier; 1 the partner has finished the pairing; 2 the
// partner left this barrier out, and so does this party: the two stay in
// step; -1 failure.
int utlntw_sync_wait_last(utlntw_sync_info *info, int (*went_on)(const void *), const void *arg);
// A test that ends without its last barrier says so before its next step:
// it marks the barrier left out for a partner of this release and waits,
// as a barrier does, until the partner has come to that barrier (so its
// steps before it are done).  0, or -1 ("同期処理が失敗しました。"
// printed; the next barrier fails).
int utlntw_sync_leave_out(utlntw_sync_info *info);
// A test that aborts says so before it finishes the pairing: the partner's
// barrier, waiting for it or finding it finished, then fails at once
// instead of ending its test early.  0, or -1 (no mark shown).
int utlntw_sync_abort(utlntw_sync_info *info);
int utlntw_sync_finish(utlntw_sync_info *info);
// Finishes a pairing whose partner process this party has ended itself.
int utlntw_sync_finish_alone(utlntw_sync_info *info);
int cleanup(utlntw_sync_info *info, int delete_flag, time_t start, int timeout);
int usrapl_sync_wait(const char *target_file, int timeout);

// ---------------------------------------------------------------------------
// ntwpeer: what this party learns about its partner beyond the protocol

constexpr size_t PEER_PRESENCE_NAME_LEN = 512;

// The presence file name of process `pid` in the pairing on this sync file.
int peer_presence_name(const char *sync_filename, pid_t pid, char *out, size_t size);
// Shows this party in the pairing whose sync file is open.
void peer_start(const utlntw_sync_info *info);
// One pause of a waiting party: keeps its presence file fresh and, while it
// has not met its partner yet, looks for the partner's.
void peer_keep_shown(bool looking_for_partner);
// Judges the partner from now on only by what it shows from now on.
void peer_forget_sightings(void);
// Removes the own presence file (before any lock of the pairing goes).
void peer_end_own(void);
// This party has left its pairing.
void peer_leave(void);
// The partner's liveness byte is free: it has ended, or its locks are not
// seen although it shows itself running.  Prints the line that says which.
void peer_report_absent(void);
// The first handshake ran out of time: prints why the parties did not meet.
void peer_report_unmet(void);
// Removes the presence files of a partner that has ended.
void peer_remove_stale(void);
// The same for a partner that this party ended itself.
void peer_remove_ended_partner(void);
// Called when this party gets its role: shows, for the whole pairing, that
// it runs the mutual data steps.
void peer_show_data_capability(const utlntw_sync_info *info);
// After the first barrier: 1 both parties run the data steps, 0 they do
// not (the partner, or this party, does not show the capability), -1 the
// partner's byte could not be probed (reported).  Both parties reach the
// same answer.
int peer_has_data_capability(const utlntw_sync_info *info);

// ---------------------------------------------------------------------------
// ntwsingle: single-environment check

// The result convention that the test trees of all three modes share.

// What a failed checked operation means for a test: after a time-out the
// chain aborts; any other failure is a verdict (NG) on the file system.
int test_failure_value(void);

// A named test step: its start line, the body, its end line with the body's
// result, which it returns.
template <typename Body> int test_named_step(ntw_text_id title, Body body)
{
    const char *name = msg_text(title);
    msg_test_start(name);
    int result = body();
    msg_test_end(name, result);
    return result;
}

// A waiting request on a byte that the partner holds with a conflicting
// lock and releases after its pause (wait_sync_processing): OK when granted
// after the partner's release, NG (a lock granted while the partner still
// held its own) when granted clearly before.
int test_lock_on_release(int fd, int exclusive, int timeout);

// A driver: inside its named step, runs the parts in order, keeps the last
// non-zero result and stops at the first abort.
int test_driver_parts(ntw_text_id title, const NtwParam *param,
                      std::initializer_list<int (*)(const NtwParam *)> parts);

// Creates or opens a work file for reading and writing, errors reported.
int test_open_work_file(const char *path, int timeout);

struct singletest_info {
    int32_t started;
    utlntw_sync_info sync;
    int32_t work_fd[2];
    int32_t is_child;
    char work_file[2][NTW_WORKNAME_LEN];
};

int try_test_single(const NtwParam *param);
int try_test_single_zemsharepath(const NtwParam *param);
int try_test_single_targetpath(const NtwParam *param);
int try_single_open_zemsharepath(const NtwParam *param);
int try_single_lock_zemsharepath(const NtwParam *param);
int try_single_open_targetpath(const NtwParam *param);
int try_single_link_targetpath(const NtwParam *param);
int try_single_lock_targetpath(const NtwParam *param);
int try_single_rw_targetpath(const NtwParam *param);
int try_single_delete_targetpath(const NtwParam *param);
int fork_singletest_start(const char *work_dir, const char *sync_dir, singletest_info *info,
                          int timeout, int pid);
int fork_singletest_end(singletest_info *info);
int test_single_open_zemsharepath(const char *dir, int timeout);
int test_single_one_lock_zemsharepath(const char *dir, int timeout);
int test_single_two_lock_zemsharepath(utlntw_sync_info *sync, int fd1, int fd2, int timeout,
                                      int is_child);
int test_single_open_targetpath(const char *dir, const char *owner, const char *group, int timeout);
int test_single_link_targetpath(const char *dir, int timeout);
int test_single_one_lock_targetpath(const char *dir, int timeout);
int test_single_two_lock_targetpath(utlntw_sync_info *sync, int fd1, int fd2, int timeout,
                                    int is_child);
int test_single_rw_targetpath(const char *dir, int timeout);
int test_single_delete_targetpath(const char *dir, int timeout);

// ---------------------------------------------------------------------------
// ntwdouble: mutual check between two instances

int try_test_double(const NtwParam *param);
int try_test_double_zemsharepath(const NtwParam *param);
int try_test_double_targetpath(const NtwParam *param);
int try_double_open_zemsharepath(const NtwParam *param);
int try_double_open_targetpath(const NtwParam *param);
int try_double_open_test(int timeout, const char *sync_dir, const char *dir, const char *owner,
                         const char *group);
int try_double_lock_zemsharepath(const NtwParam *param);
int try_double_lock_targetpath(const NtwParam *param);
int try_double_lock_test(int timeout, const char *sync_dir, const char *dir, int share_flag);
int try_double_delete_targetpath(const NtwParam *param);
int test_no_35(utlntw_sync_info *sync, int own_fd, int other_fd, int timeout);
int test_no_36(utlntw_sync_info *sync, int own_fd, int other_fd, int timeout);
int test_no_29(utlntw_sync_info *sync, int other_fd, int timeout);
int test_no_30(utlntw_sync_info *sync, int other_fd, int timeout);
int test_no_32(utlntw_sync_info *sync, int other_fd, int timeout);
int test_no_31(utlntw_sync_info *sync, const char *own_path, int own_fd, int other_fd, int timeout);
int test_no_33(utlntw_sync_info *sync, const char *own_path, int own_fd, int other_fd, int timeout);
int test_no_34(utlntw_sync_info *sync, const char *own_path, int own_fd, int other_fd, int timeout);
int double_child(int own_fd, const char *own_path, int exclusive, int wait, int timeout);
void receive(int signum);

// ---------------------------------------------------------------------------
// ntwdata: records of the mutual data steps

// Who wrote a record: host name and process id, as the record spells them.
struct data_writer_info {
    char host[64];
    char pid[12];
};

// This process as a writer.
void data_own_writer(data_writer_info *writer);
// Writes this process's record of the test ('S' shared path, 'T' target
// path) and the write (1 or 2) at the start of its own work file (number
// `file_no`) and flushes it; 0, or -1 reported.
int data_write_record(int fd, char test, int write_no, int file_no, int timeout);
// Reads the partner's record from the start of its work file and judges
// it: NTW_OK it is the record of that writer (an empty `writer`: any
// writer, which is then filled in), file, test and write; NTW_NG a short or
// different record, reported with what was expected and what was found;
// NTW_ABORT a read that ran into the time-out.
int data_read_record(int fd, char test, int write_no, int file_no, data_writer_info *writer,
                     int timeout);

// ---------------------------------------------------------------------------
// ntwuser: checks against an external application

int try_test_usrapl(const NtwParam *param);
int usr_apl_filetest(const char *target_file, int timeout);
int usrapl_filopen_test(const char *target_file, int timeout);
int file_open_test_no45(const char *target_file, int timeout);
int usrapl_file_open_test_no46(const char *target_file, int timeout);
int usrapl_fillock_test(const char *target_file, int timeout);
