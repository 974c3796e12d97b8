// Quintrel: the control panel's side of an OSDP bus, for the bench and the field.

#include "about/form_about.h"
#include "form_main.h"

#include "about/version_info.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>

#include <string_view>

#include <csignal>
#include <cstdio>
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

void DescribeOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(
        QStringLiteral("The control panel's side of an OSDP bus: polls readers, sends commands, "
                       "logs and decodes every frame."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("port"),
                      QStringLiteral("Use PORT in this run (COMn, a /dev/ path, host:port or "
                                     "port); the saved port is kept."),
                      QStringLiteral("PORT")});
}

void SetNames() {
    QCoreApplication::setApplicationName(QStringLiteral("Quintrel"));
    QCoreApplication::setApplicationVersion(
        quintrel::TVersionInfo().Value(quintrel::TVersionInfo::ProductVersion));
}

// --help and --version are answered on the terminal without a window, and so without a
// display. Anything else waits for QApplication, which takes its own options (-platform) first.
bool AnswersWithoutWindow(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "-h" || argument == "--help" || argument == "-?" ||
            argument == "--help-all" || argument == "-v" || argument == "--version")
            return true;
    }
    return false;
}

// The options the windowing layer takes for itself (-platform, -style, ...): known here only
// so that they pass the check below, which runs before there is any display.
void AddWindowingOptions(QCommandLineParser& parser) {
    for (const char* name :
         {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
          "qwindowicon", "qwindowtitle", "session", "display", "geometry", "style",
          "stylesheet", "title", "name", "fn", "font", "bg", "background", "fg", "foreground",
          "btn", "button", "visual", "ncols", "im", "inputstyle", "qmljsdebugger"})
        parser.addOption({QString::fromLatin1(name), QString(), QStringLiteral("VALUE")});
    for (const char* name : {"reverse", "widgetcount", "nograb", "dograb", "sync", "testability"})
        parser.addOption(QCommandLineOption(QString::fromLatin1(name)));
}

// An option the program does not know is said on the terminal, with exit code 2, before a
// display is asked for: without one, the windowing layer would abort first.
int CheckOptions(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    DescribeOptions(parser);
    AddWindowingOptions(parser);
    if (parser.parse(arguments)) return 0;
    std::fprintf(stderr, "quintrel: %s\nTry 'quintrel --help'.\n",
                 qPrintable(parser.errorText()));
    return 2;
}

int AnswerOnTerminal(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    SetNames();
    QCommandLineParser parser;
    DescribeOptions(parser);
    parser.process(app); // prints the help or the version and exits
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    if (const int bad = CheckOptions(argc, argv)) return bad;
    if (AnswersWithoutWindow(argc, argv)) return AnswerOnTerminal(argc, argv);
    QApplication app(argc, argv);
    SetNames();
    QApplication::setDesktopFileName(QStringLiteral("quintrel"));
    QCommandLineParser parser;
    DescribeOptions(parser);
    parser.process(app);

    auto options = quintrel::TFormMainOptions::BesideExecutable(QApplication::applicationFilePath());
    options.PortOverride = parser.value(QStringLiteral("port"));
    // The about box comes first: the main window's caption carries the version it reads.
    quintrel::TFormAbout about;
    quintrel::TFormMain window(about, options);
    QuitOnTerminate(app, window);
    window.show();
    return app.exec();
}
