// TEMPORARY STUB: replaced by the module implementation.
#include "ntw.h"

int try_test_usrapl(const NtwParam *param) { return -1; }
int usr_apl_filetest(const char *target_file, int timeout) { return -1; }
int usrapl_filopen_test(const char *target_file, int timeout) { return -1; }
int file_open_test_no45(const char *target_file, int timeout) { return -1; }
int usrapl_file_open_test_no46(const char *target_file, int timeout) { return -1; }
int usrapl_fillock_test(const char *target_file, int timeout) { return -1; }
