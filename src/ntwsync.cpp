// TEMPORARY STUB: replaced by the module implementation.
#include "ntw.h"

int file_control(int fd, int type, int offset) { return -1; }
int s_lock(int fd, int type, int offset) { return -1; }
int s_unlock(int fd, int offset) { return -1; }
int lock_sync_file(utlntw_sync_info *info, time_t start) { return -1; }
int s_unlock_sync_file(utlntw_sync_info *info) { return -1; }
int is_alive_other_process(utlntw_sync_info *info) { return -1; }
int syncronize(utlntw_sync_info *info) { return -1; }
int utlntw_sync_init(utlntw_sync_info *info, const char *dir, int timeout, int kind, int number) { return -1; }
int utlntw_sync_wait(utlntw_sync_info *info) { return -1; }
int utlntw_sync_finish(utlntw_sync_info *info) { return -1; }
int cleanup(utlntw_sync_info *info, int delete_flag, time_t start, int timeout) { return -1; }
int usrapl_sync_wait(const char *target_file, int timeout) { return -1; }
