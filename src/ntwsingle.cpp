// TEMPORARY STUB: replaced by the module implementation.
#include "ntw.h"

int try_test_single(const NtwParam *param) { return -1; }
int try_test_single_zemsharepath(const NtwParam *param) { return -1; }
int try_test_single_targetpath(const NtwParam *param) { return -1; }
int try_single_open_zemsharepath(const NtwParam *param) { return -1; }
int try_single_lock_zemsharepath(const NtwParam *param) { return -1; }
int try_single_open_targetpath(const NtwParam *param) { return -1; }
int try_single_link_targetpath(const NtwParam *param) { return -1; }
int try_single_lock_targetpath(const NtwParam *param) { return -1; }
int try_single_rw_targetpath(const NtwParam *param) { return -1; }
int try_single_delete_targetpath(const NtwParam *param) { return -1; }
int fork_singletest_start(const char *work_dir, const char *sync_dir, singletest_info *info, int timeout, int pid) { return -1; }
int fork_singletest_end(singletest_info *info) { return -1; }
int test_single_open_zemsharepath(const char *dir, int timeout) { return -1; }
int test_single_one_lock_zemsharepath(const char *dir, int timeout) { return -1; }
int test_single_two_lock_zemsharepath(utlntw_sync_info *sync, int fd1, int fd2, int timeout, int is_child) { return -1; }
int test_single_open_targetpath(const char *dir, const char *owner, const char *group, int timeout) { return -1; }
int test_single_link_targetpath(const char *dir, int timeout) { return -1; }
int test_single_one_lock_targetpath(const char *dir, int timeout) { return -1; }
int test_single_two_lock_targetpath(utlntw_sync_info *sync, int fd1, int fd2, int timeout, int is_child) { return -1; }
int test_single_rw_targetpath(const char *dir, int timeout) { return -1; }
int test_single_delete_targetpath(const char *dir, int timeout) { return -1; }
