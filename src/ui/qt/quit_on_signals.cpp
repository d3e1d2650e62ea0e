#include "ui/qt/quit_on_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <csignal>

namespace varnel {
namespace {

constexpr int kQuitSignals[] = {SIGINT, SIGTERM, SIGHUP};
// The write end for the handler: the only thing a signal handler may safely do is write().
volatile sig_atomic_t g_nSignalFd = -1;

void WriteSignal(int signal) {
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    if (g_nSignalFd >= 0) {
        (void)!write(g_nSignalFd, &number, 1);
    }
    errno = savedErrno;
}

}  // namespace

QuitOnSignals::QuitOnSignals() {
    if (pipe2(m_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_fds[0] = m_fds[1] = -1;
        return;
    }
    g_nSignalFd = m_fds[1];
    m_pNotifier = std::make_unique<QSocketNotifier>(m_fds[0], QSocketNotifier::Read);
    QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, this,
                     &QuitOnSignals::OnSignal);
    struct sigaction action {};
    action.sa_handler = WriteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kQuitSignals) {
        sigaction(signal, &action, nullptr);
    }
}

QuitOnSignals::~QuitOnSignals() {
    for (const int signal : kQuitSignals) {
        std::signal(signal, SIG_DFL);
    }
    g_nSignalFd = -1;
    m_pNotifier.reset();
    for (const int fd : m_fds) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void QuitOnSignals::OnSignal() {
    unsigned char number = 0;
    if (read(m_fds[0], &number, 1) == 1) {
        QCoreApplication::exit(128 + number);
    }
}

}  // namespace varnel
