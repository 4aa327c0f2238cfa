#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

void prepareProcess()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free number: fd itself. Without /dev/null (a bare chroot), a folder opened for
        // reading holds the place: writes to it fail and go nowhere.
        int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened < 0) {
            opened = ::open("/", O_RDONLY | O_DIRECTORY);
        }
        if (opened > fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace platform
