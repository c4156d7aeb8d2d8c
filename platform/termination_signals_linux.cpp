#include "platform/termination_signals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <signal.h>
#include <unistd.h>

namespace kelv::platform {
namespace {

int g_pipe[2] = {-1, -1};

void onTerminationSignal(int signal)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    if (write(g_pipe[1], &byte, 1) < 0) {
        // A full pipe already holds a pending request.
    }
    errno = savedErrno;
}

} // namespace

int watchTerminationRequests()
{
    if (g_pipe[0] >= 0)
        return g_pipe[0];
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    g_pipe[0] = fds[0];
    g_pipe[1] = fds[1];
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
    return g_pipe[0];
}

int takeTerminationRequest()
{
    if (g_pipe[0] < 0)
        return 0;
    int last = 0;
    unsigned char buffer[64];
    ssize_t n;
    while ((n = read(g_pipe[0], buffer, sizeof buffer)) > 0)
        last = buffer[n - 1];
    return last;
}

} // namespace kelv::platform
