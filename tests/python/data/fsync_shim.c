#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
int fsync(int fd) {
    static int done;
    const char* append = getenv("SHIM_APPEND_TO");
    const char* signal_number = getenv("SHIM_SIGNAL");
    if (!done++) {
        if (append) {
            int file = open(append, O_WRONLY | O_APPEND);
            write(file, "x = 1\n", 6);
            close(file);
        }
        if (signal_number) raise(atoi(signal_number));
    }
    return ((int (*)(int))dlsym(RTLD_NEXT, "fsync"))(fd);
}
