// Ends the Qt event loop on SIGINT, SIGTERM or SIGHUP, so that the desktop program leaves
// through its normal teardown (workers stopped and joined, the sync software started again).
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace varnel {

class QuitOnSignals final : public QObject {
  public:
    // Installs the handlers; the event loop then exits with 128 + the signal's number.
    QuitOnSignals();
    // Puts the default handlers back.
    ~QuitOnSignals() override;
    QuitOnSignals(const QuitOnSignals&) = delete;
    QuitOnSignals& operator=(const QuitOnSignals&) = delete;

  private:
    void OnSignal();

    int m_fds[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_pNotifier;
};

}  // namespace varnel
