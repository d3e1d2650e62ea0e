// Helpers for driving Qt widgets in tests: handling the modal dialogs that a click opens, finding
// controls by id, and where screenshots go.
#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QImage>
#include <QString>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <functional>
#include <memory>

namespace varnel::test {

// Handles the next modal dialog of type `Dialog` once it is open (a click that opens one does not
// return until it is closed). Stops watching when destroyed.
template <typename Dialog>
class ModalHandler {
  public:
    explicit ModalHandler(std::function<void(Dialog&)> handle) : m_handle(std::move(handle)) {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr || !dialog->isVisible()) {
                return;
            }
            m_timer.stop();
            ++m_nHandled;
            m_handle(*dialog);
        });
        m_timer.start();
    }
    int Handled() const { return m_nHandled; }

  private:
    std::function<void(Dialog&)> m_handle;
    QTimer m_timer;
    int m_nHandled = 0;
};

template <typename Widget>
Widget* FindControl(const QWidget& window, int id) {
    return window.findChild<Widget*>(QStringLiteral("idc_%1").arg(id));
}

// Processes window events until `done` holds; false when it does not within `limitMs`. Each
// pass handles what is queued at that moment, and a worker has at most one report waiting, so a
// state the window passes through is seen.
inline bool ProcessEventsUntil(const std::function<bool()>& done, int limitMs) {
    QDeadlineTimer deadline(limitMs);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents();
        QThread::usleep(100);
    }
    return true;
}

// The folder for screenshots: $VARNEL_TEST_ARTIFACTS, else test-artifacts/ in the current folder.
inline QString ArtifactPath(const QString& fileName) {
    QString folder = qEnvironmentVariable("VARNEL_TEST_ARTIFACTS");
    if (folder.isEmpty()) {
        folder = QStringLiteral("test-artifacts");
    }
    QDir().mkpath(folder);
    return QDir(folder).filePath(fileName);
}

// Pixels of `image` inside [x0, x1) whose colour is further than `tolerance` from `base` in any
// channel.
inline int CountTinted(const QImage& image, int x0, int x1, QRgb base, int tolerance = 60) {
    int tinted = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = x0; x < x1; ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (std::abs(qRed(pixel) - qRed(base)) > tolerance ||
                std::abs(qGreen(pixel) - qGreen(base)) > tolerance ||
                std::abs(qBlue(pixel) - qBlue(base)) > tolerance) {
                ++tinted;
            }
        }
    }
    return tinted;
}

}  // namespace varnel::test
