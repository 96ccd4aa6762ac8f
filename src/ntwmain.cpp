// TEMPORARY STUB: replaced by the module implementation.
#include "ntw.h"

pid_t g_pid;
int check_arg(int argc, char **argv, NtwParam *param) { return -1; }
int ntw_init(int argc, char **argv, NtwParam *param) { return -1; }
int ntw_is_env_bad_condition(const NtwParam *param) { return -1; }
void ntw_sig_exit(int signum) {}
void ntw_finish(void) {}
int ntw_main(int argc, char **argv) { return -1; }
void ntw_exit_if_signalled(void) {}
void ntw_blocking_begin(void) {}
void ntw_blocking_end(void) {}
void ntw_add_child(pid_t pid) {}
void ntw_remove_child(pid_t pid) {}
pid_t ntw_reap_child(pid_t pid) { return -1; }
