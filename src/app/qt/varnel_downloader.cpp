// The desktop program: the main window on the Qt event loop, its ports on USB devices through
// libusb, on tty nodes, or on simulated handsets. See --help.
//
// Exit status: 0 the window was closed; 1 the devices could not be reached or a start-up
// failure closed the window; 2 bad arguments; 128 + N ended by signal N (SIGINT, SIGTERM,
// SIGHUP), after the same teardown as a close.
#include <QApplication>
#include <QSettings>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/version.h"

#include "app/qt/desktop_bench.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_window_thread.h"
#include "ui/qt/quit_on_signals.h"

int main(int argc, char** argv) {
    using namespace varnel;
    // Answered before Qt starts, so that it works without a display.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("varnel-downloader %s\n", kVersionText);
        return 0;
    }
    QApplication app(argc, argv);
    const DesktopArguments arguments = ParseDesktopArguments(QApplication::arguments());
    if (!arguments.strHelp.empty()) {
        std::fputs(arguments.strHelp.c_str(), stdout);
        return 0;
    }
    if (!arguments.options) {
        std::fprintf(stderr, "varnel-downloader: %s\n", arguments.strError.c_str());
        return 2;
    }

    const QuitOnSignals quitOnSignals;
    QtWindowThread windowThread;
    QtMainWindow window;
    DesktopBench bench(*arguments.options, windowThread, window);
    const std::unique_ptr<QSettings> settings = OpenWindowSettings();
    std::string error;
    if (!bench.Start(error, settings.get())) {
        if (!error.empty()) {
            std::fprintf(stderr, "varnel-downloader: %s\n", error.c_str());
        }
        return 1;
    }
    window.show();
    const int status = QApplication::exec();
    bench.SaveChoices(*settings);
    return status;
}
