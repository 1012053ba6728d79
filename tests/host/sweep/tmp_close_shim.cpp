#include <unistd.h>
extern "C" int _close(int fd) { return ::close(fd); }
