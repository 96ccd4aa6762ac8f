// TEMPORARY STUB: replaced by the module implementation.
#include "ntw.h"

int msg_init(const NtwParam *param) { return -1; }
void msg_finish(void) {}
int iconv_conv(const char *src, char *dest) { return -1; }
int msg_output(const char *fmt, ...) { return -1; }
int msg_output_stderr(const char *fmt, ...) { return -1; }
void msg_statusmsg(int err, const char *fmt, ...) {}
void msg_errmsg(int err, const char *fmt, ...) {}
void msg_test_start(const char *name) {}
int msg_test_end(const char *name, int result) { return -1; }
void msg_flush(void) {}
void msg_signal_line_async_safe(int signum) {}
