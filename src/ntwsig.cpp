// ntwsig: terminating signals, blocking sections, the main-process id and
// the children that must not outlive the main process.
//
// SIGINT, SIGHUP, SIGTERM and SIGPIPE end the run with status 1, a signal
// line in the report and every registered file removed.  The handler is
// installed with sigaction and without SA_RESTART: with glibc's signal() an
// interrupted call is restarted, so a process waiting in F_SETLKW (or any
// other blocked call) would never notice the signal.  Writing the report
// and running exit() from a handler is unsafe when the signal lands inside
// stdio or malloc, so the handler normally only records the signal, and the
// process ends at the next safe point (sig_exit_if_signalled, called on
// every report line and around every blocking call).  A process that is
// inside a blocking section runs nothing but that one system call, so there
// the handler ends the process itself with async-signal-safe calls: the
// pre-converted signal line, kill and reap of the registered children,
// unlink of the registered files, _exit(1).
//
// This module sits below the messages and the file primitives: what it
// writes and removes on the way out, it reaches through the actions that
// run control hands it at start-up.
#include "ntw.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

pid_t g_pid;

namespace {

constexpr int k_terminating_signals[] = {SIGINT, SIGHUP, SIGTERM, SIGPIPE};
constexpr int k_max_children = 32;

volatile sig_atomic_t s_pending_signal;
volatile sig_atomic_t s_in_blocking;
volatile sig_atomic_t s_exiting;
volatile pid_t s_children[k_max_children];
SigExitActions s_actions;

// Kills and reaps every registered child; safe in a signal handler.
void end_registered_children()
{
    for (volatile pid_t &slot : s_children) {
        pid_t pid = slot;
        if (pid <= 0)
            continue;
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
        }
        slot = 0;
    }
}

[[noreturn]] void exit_from_handler(int signum)
{
    if (s_actions.signal_line_async_safe != nullptr)
        s_actions.signal_line_async_safe(signum);
    if (sig_is_main_process()) {
        end_registered_children();
        if (s_actions.remove_files_async_safe != nullptr)
            s_actions.remove_files_async_safe();
    }
    _exit(1);
}

} // namespace

void sig_record_main_process(void)
{
    g_pid = getpid();
}

int sig_is_main_process(void)
{
    return g_pid == 0 || getpid() == g_pid;
}

void sig_set_exit_actions(const SigExitActions *actions)
{
    s_actions = *actions;
}

// A signal that the invoking process set to be ignored (nohup, background
// jobs of a shell) is meant to pass the checker by: it stays ignored.
void sig_install_handlers(void)
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = ntw_sig_exit;
    sa.sa_flags = 0;
    sigemptyset(&sa.sa_mask);
    for (int sig : k_terminating_signals)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : k_terminating_signals) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sigaction(sig, &sa, nullptr);
    }
}

void ntw_sig_exit(int signum)
{
    if (s_exiting)
        return;
    if (s_in_blocking) {
        s_exiting = 1;
        exit_from_handler(signum);
    }
    if (s_pending_signal == 0)
        s_pending_signal = signum;
}

void sig_exit_if_signalled(void)
{
    if (s_pending_signal == 0 || s_exiting)
        return;
    s_exiting = 1;
    if (s_actions.signal_line != nullptr)
        s_actions.signal_line(static_cast<int>(s_pending_signal));
    std::exit(1);
}

void sig_blocking_begin(void)
{
    int saved_errno = errno;
    if (s_actions.flush != nullptr)
        s_actions.flush();
    sig_exit_if_signalled();
    s_in_blocking = 1;
    // A signal recorded just before the section was entered must not wait
    // for the blocking call to end.
    if (s_pending_signal != 0) {
        s_in_blocking = 0;
        sig_exit_if_signalled();
    }
    errno = saved_errno;
}

void sig_blocking_end(void)
{
    int saved_errno = errno;
    s_in_blocking = 0;
    sig_exit_if_signalled();
    errno = saved_errno;
}

void sig_add_child(pid_t pid)
{
    for (volatile pid_t &slot : s_children) {
        if (slot == 0) {
            slot = pid;
            return;
        }
    }
}

void sig_remove_child(pid_t pid)
{
    for (volatile pid_t &slot : s_children) {
        if (slot == pid)
            slot = 0;
    }
}

pid_t sig_reap_child(pid_t pid)
{
    pid_t r;
    int err;
    do {
        sig_blocking_begin();
        r = waitpid(pid, nullptr, 0);
        err = errno;
        sig_blocking_end();
    } while (r == -1 && err == EINTR);
    if (r == pid || (r == -1 && err == ECHILD))
        sig_remove_child(pid);
    errno = err;
    return r;
}

void sig_end_children(void)
{
    s_exiting = 1;
    end_registered_children();
}
