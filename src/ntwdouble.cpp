// TEMPORARY STUB: replaced by the module implementation.
#include "ntw.h"

int try_test_double(const NtwParam *param) { return -1; }
int try_test_double_zemsharepath(const NtwParam *param) { return -1; }
int try_test_double_targetpath(const NtwParam *param) { return -1; }
int try_double_open_zemsharepath(const NtwParam *param) { return -1; }
int try_double_open_targetpath(const NtwParam *param) { return -1; }
int try_double_open_test(int timeout, const char *sync_dir, const char *dir, const char *owner, const char *group) { return -1; }
int try_double_lock_zemsharepath(const NtwParam *param) { return -1; }
int try_double_lock_targetpath(const NtwParam *param) { return -1; }
int try_double_lock_test(int timeout, const char *sync_dir, const char *dir, int share_flag) { return -1; }
int try_double_delete_targetpath(const NtwParam *param) { return -1; }
int test_no_35(utlntw_sync_info *sync, int own_fd, int other_fd, int timeout) { return -1; }
int test_no_36(utlntw_sync_info *sync, int own_fd, int other_fd, int timeout) { return -1; }
int test_no_29(utlntw_sync_info *sync, int other_fd, int timeout) { return -1; }
int test_no_30(utlntw_sync_info *sync, int other_fd, int timeout) { return -1; }
int test_no_32(utlntw_sync_info *sync, int other_fd, int timeout) { return -1; }
int test_no_31(utlntw_sync_info *sync, const char *own_path, int own_fd, int other_fd, int timeout) { return -1; }
int test_no_33(utlntw_sync_info *sync, const char *own_path, int own_fd, int other_fd, int timeout) { return -1; }
int test_no_34(utlntw_sync_info *sync, const char *own_path, int own_fd, int other_fd, int timeout) { return -1; }
int double_child(int own_fd, const char *own_path, int exclusive, int wait, int timeout) { return -1; }
void receive(int signum) {}
