// TEMPORARY STUB: replaced by the module implementation.
#include "ntw.h"

int get_is_timeout(void) { return -1; }
void set_is_timeout(void) {}
void alarm_handler(int signum) {}
void wait_sync_processing(void) {}
int is_timeout_occured(time_t start, int limit) { return -1; }
int create_path(int kind, const char *dir, int number, char *out, int pid) { return -1; }
int open_file(const char *path, int flags, int mode, int timeout, int expect_failure) { return -1; }
int open_operator_file(const char *path, int flags, int mode, int timeout, int expect_failure) { return -1; }
int close_file(int fd) { return -1; }
int delete_file(const char *path) { return -1; }
int change_owner(const char *path, const char *owner, const char *group) { return -1; }
int link_file(const char *oldpath, const char *newpath, int expect_failure) { return -1; }
int read_file(int fd, int timeout) { return -1; }
int write_file(int fd, int timeout) { return -1; }
int wait_file_exists(const char *path, time_t start, int limit) { return -1; }
int wait_file_no_exists(const char *path, time_t start, int limit) { return -1; }
int lock_file(int fd, int exclusive, int wait, int timeout, int expect_failure) { return -1; }
int unlock_file(int fd, int timeout) { return -1; }
int lockf_file(int fd, int command, int timeout, int expect_failure) { return -1; }
void add_deletefilename(const char *name) {}
void delete_allfile(void) {}
void delete_allfile_async_safe(void) {}
int get_dirname(const char *path, char *out, unsigned size) { return -1; }
