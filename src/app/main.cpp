// Quintrel: the control panel's side of an OSDP bus, for the bench and the field.

#include "about/form_about.h"
#include "form_main.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A termination request (a session ending, kill) closes the program as the window's
// close box would, so the settings are written; the signal handler only wakes the loop.
int TerminateFds[2] = {-1, -1};

void OnTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(TerminateFds[1], &byte, 1);
}

void QuitOnTerminate(QApplication& app, QWidget& window) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, TerminateFds) != 0) return;
    auto* notifier = new QSocketNotifier(TerminateFds[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&window, notifier] {
        notifier->setEnabled(false);
        window.close();
        QApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = OnTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quintrel"));
    QApplication::setDesktopFileName(QStringLiteral("quintrel"));

    // The about box comes first: the main window's caption carries the version it reads.
    quintrel::TFormAbout about;
    quintrel::TFormMain window(
        about, quintrel::TFormMainOptions::BesideExecutable(QApplication::applicationFilePath()));
    QuitOnTerminate(app, window);
    window.show();
    return app.exec();
}
