// Kept apart: the kernel's own terminal header (for the exact speed, standard or not)
// clashes with the C library's <termios.h>.

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace quintrel::sim {

int TerminalBaud(int fd) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return 0;
    return static_cast<int>(t.c_ospeed);
}

} // namespace quintrel::sim
