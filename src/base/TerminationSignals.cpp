#include "TerminationSignals.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Written by the handler, read on the object's thread: the signal number
// travels as one octet.
int g_pipe[2] = {-1, -1};

extern "C" void OnTerminationSignal(int number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t n = write(g_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

CTerminationSignals::CTerminationSignals(QObject* parent) : QObject(parent)
{
    if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &CTerminationSignals::Drain);
    struct sigaction action = {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kSignals)
        sigaction(number, &action, nullptr);
}

CTerminationSignals::~CTerminationSignals()
{
    if (!m_notifier)
        return;
    for (int number : kSignals)
        std::signal(number, SIG_DFL);
    delete m_notifier;
    close(g_pipe[0]);
    close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void CTerminationSignals::Drain()
{
    unsigned char byte;
    while (read(g_pipe[0], &byte, 1) == 1)
        emit Received(byte);
}

#else

CTerminationSignals::CTerminationSignals(QObject* parent) : QObject(parent) {}
CTerminationSignals::~CTerminationSignals() = default;
void CTerminationSignals::Drain() {}

#endif
