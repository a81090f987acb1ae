// Messages and the log file.
#include "runtime/zam_log.h"

#include <cstdarg>
#include <cstdio>

void zam_msg(const char* fmt, ...) { va_list ap; va_start(ap, fmt); vprintf(fmt, ap); va_end(ap); }
void zam_log(const char*, ...) {}
void zam_adv(const char* fmt, ...) { va_list ap; va_start(ap, fmt); vprintf(fmt, ap); va_end(ap); }
void zam_wrn(const char* fmt, ...) { va_list ap; va_start(ap, fmt); vprintf(fmt, ap); va_end(ap); }
void zam_err(const char* fmt, ...) { va_list ap; va_start(ap, fmt); vprintf(fmt, ap); va_end(ap); }
void zam_oops(const char* fmt, ...) { va_list ap; va_start(ap, fmt); vprintf(fmt, ap); va_end(ap); }
void zam_msg_brk() {}
void zam_tick() {}
void zam_logger_name(const char*) {}
void zam_logger_state(int) {}
void zam_logger_exit() {}
zam_logger_fn zam_logger_callback(zam_logger_fn) { return nullptr; }
int zam_logger_status() { return 0; }
void zam_logger_stderr(int) {}
const char* zam_logger_file() { return "zam.log"; }
void zam_logger_buffer(int) {}
