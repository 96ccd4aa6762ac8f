// Mode userapl: the checker and an external application, driven by an
// operator, share one target file.  The checker prints an instruction, waits
// until the operator deletes the stop file, and judges only its own opens and
// whole-file locks; what the application achieved is for the operator to see.
//
// The target's directory is usually writable by others (the application
// re-creates the file at O2), so once the checker has created the file
// exclusively at O1, whatever is found under the name may have been swapped
// in: every open of it is made as for a name the checker formed (open_file:
// no final symbolic link followed, a regular file with one link only), and
// a refused open is that step's failed open.
#include "ntw.h"

#include <fcntl.h>
#include <unistd.h>

// Whether this run made the target file.  The name is the operator's: when
// the exclusive creation of the first open test fails, someone else created
// the file after the environment check, and it is left alone.  Once this run
// has created it, the file under that name belongs to the check (the operator
// re-creates it on request for the later tests) and is removed at the end.
static bool s_target_owned = false;

static void usrapl_remove_target(const char *target_file)
{
    if (s_target_owned)
        unlink(target_file);
}

int try_test_usrapl(const NtwParam *param)
{
    return test_named_step(MT_TITLE_USRAPL,
                           [&] { return usr_apl_filetest(param->target_file, param->timeout); });
}

int usr_apl_filetest(const char *target_file, int timeout)
{
    s_target_owned = false;
    int result = test_named_step(MT_TITLE_TARGET_FILE, [&] {
        int r1 = usrapl_filopen_test(target_file, timeout);
        if (r1 < 0)
            return NTW_ABORT;
        // The first non-zero result of the two halves wins: an NG of the
        // open tests stays the verdict even when the lock tests abort.
        int r2 = usrapl_fillock_test(target_file, timeout);
        return r1 == NTW_OK ? r2 : r1;
    });
    usrapl_remove_target(target_file);
    return result;
}

// O3 and O4: the checker opens the application's file with the given access.
// Any failure, a time-out included, is NG.
static int usrapl_open_access_test(const char *target_file, int flags, ntw_text_id announce,
                                   int timeout)
{
    msg_statusmsg(0, "%s", msg_text(MT_UA_OPEN_TEST_START));
    msg_statusmsg(0, msg_text(announce), target_file);
    int fd = open_file(target_file, flags, NTW_FILE_MODE, timeout, 0);
    if (fd < 0)
        return NTW_NG;
    return close_file(fd) == 0 ? NTW_OK : NTW_NG;
}

int usrapl_filopen_test(const char *target_file, int timeout)
{
    return test_named_step(MT_TITLE_KIND_OPEN, [&] {
        int r =
            test_named_step(MT_STEP_O1, [&] { return file_open_test_no45(target_file, timeout); });
        if (r < 0)
            return r;
        r = test_named_step(MT_STEP_O2,
                            [&] { return usrapl_file_open_test_no46(target_file, timeout); });
        if (r < 0)
            return r;
        // O1 and O2 end OK or abort, so from here the first NG wins.
        int result = test_named_step(MT_STEP_O3, [&] {
            return usrapl_open_access_test(target_file, O_WRONLY, MT_UA_OPEN_WRITE, timeout);
        });
        int w = test_named_step(MT_STEP_O4, [&] {
            return usrapl_open_access_test(target_file, O_RDWR, MT_UA_OPEN_RDWR, timeout);
        });
        return result != NTW_OK ? result : w;
    });
}

int file_open_test_no45(const char *target_file, int timeout)
{
    int fd = open_file(target_file, O_RDWR | O_CREAT | O_EXCL, NTW_FILE_MODE, timeout, 0);
    if (fd < 0)
        return NTW_ABORT;
    // Registered as soon as it exists, so that a failing close or a signal
    // cannot leave it behind.
    s_target_owned = true;
    add_deletefilename(target_file);
    if (close_file(fd) != 0)
        return NTW_ABORT;

    msg_statusmsg(0, "%s", msg_text(MT_UA_ASK_APP_OPEN));
    msg_statusmsg(0, "%s", msg_text(MT_UA_ASK_CLOSE_AFTER_CHECK));
    int r = usrapl_sync_wait(target_file, timeout);
    if (r != 0)
        return r;
    // The operator creates the file anew for the next test.
    unlink(target_file);
    return NTW_OK;
}

int usrapl_file_open_test_no46(const char *target_file, int timeout)
{
    msg_statusmsg(0, msg_text(MT_UA_ASK_CREATE), target_file);
    msg_statusmsg(0, "%s", msg_text(MT_UA_ASK_CLOSE_AFTER_CREATE));
    msg_statusmsg(0, "%s", msg_text(MT_UA_ASK_WITHIN_TIMEOUT));
    int r = usrapl_sync_wait(target_file, timeout);
    if (r != 0)
        return r;

    msg_statusmsg(0, "%s", msg_text(MT_UA_OPEN_TEST_START));
    msg_statusmsg(0, msg_text(MT_UA_OPEN_READ), target_file);
    int fd = open_file(target_file, O_RDONLY, NTW_FILE_MODE, timeout, 0);
    if (fd < 0)
        return NTW_ABORT;
    return close_file(fd) == 0 ? NTW_OK : NTW_ABORT;
}

// L1: the checker holds an exclusive lock while the operator tries to lock
// the file with the application.  Returns the operator's confirmation.
static int usrapl_lock_step_l1(const char *target_file, int timeout)
{
    return test_named_step(MT_STEP_L1, [&] {
        msg_statusmsg(0, "%s", msg_text(MT_UA_ASK_LOCK));
        return usrapl_sync_wait(target_file, timeout);
    });
}

// L2: the application holds its lock, so a lock that does not wait must be
// refused by the conflict.  Any other failure is NG; a request that the
// time-out ended was not refused: it aborts.
static int usrapl_lock_step_l2(int fd, int timeout)
{
    return test_named_step(MT_STEP_L2, [&] {
        int r = lockf_file(fd, F_TLOCK, timeout, 1);
        if (r == 0)
            return NTW_NG;
        return r == NTW_LOCK_REFUSED ? NTW_OK : test_failure_value();
    });
}

// L3: a waiting lock on the file that the application holds locked.  Granted
// after the application's release and still waiting at the time-out are both
// OK; any other failure aborts.
static int usrapl_lock_step_l3(int fd, int timeout)
{
    return test_named_step(MT_STEP_L3, [&] { return lockf_file(fd, F_LOCK, timeout, 0); });
}

// The lock steps from the checker's first lock to the end of L3, on the
// descriptor *fd (which is replaced by a fresh one for L3; -1 when closed).
static int usrapl_lock_steps(const char *target_file, int *fd, int timeout)
{
    if (lockf_file(*fd, F_TLOCK, timeout, 0) != 0)
        return NTW_ABORT;
    if (usrapl_lock_step_l1(target_file, timeout) != 0)
        return NTW_ABORT;
    if (lockf_file(*fd, F_ULOCK, timeout, 0) != 0)
        return NTW_ABORT;
    msg_statusmsg(0, "%s", msg_text(MT_UA_ASK_LOCK));
    if (usrapl_sync_wait(target_file, timeout) != 0)
        return NTW_ABORT;

    int result = usrapl_lock_step_l2(*fd, timeout);
    if (result < 0)
        return result;

    // L3 asks on a new descriptor, so that nothing of L2 carries over.
    int closed = close_file(*fd);
    *fd = -1;
    if (closed != 0)
        return NTW_ABORT;
    *fd = open_file(target_file, O_RDWR | O_CREAT, NTW_FILE_MODE, timeout, 0);
    if (*fd < 0)
        return NTW_ABORT;

    int r = usrapl_lock_step_l3(*fd, timeout);
    return r != NTW_OK ? r : result;
}

int usrapl_fillock_test(const char *target_file, int timeout)
{
    int result = test_named_step(MT_TITLE_KIND_WHOLE_LOCK, [&] {
        int fd = open_file(target_file, O_RDWR, NTW_FILE_MODE, timeout, 0);
        if (fd < 0)
            return NTW_ABORT;
        int r = usrapl_lock_steps(target_file, &fd, timeout);
        return close_file(fd) != 0 ? NTW_ABORT : r;
    });
    usrapl_remove_target(target_file);
    return result;
}
