// Stands in for the program behind tools/run --demo: the real window, with its settings in a
// temporary folder, takes the --port the script gives, connects as File > Connect and OK do,
// and waits for a card read in its log. Exit 0 and the log line when one came, else 1 and
// the log.

#include "support/modal_answerer.h"
#include "support/window_fixture.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>

#include <cstdio>

using namespace quintrel::test;

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("port"), QString(), QStringLiteral("PORT")});
    parser.process(app);
    TWindowFixture f;
    f.PortOverride = parser.value(QStringLiteral("port"));
    f.Start();
    {
        TModalAnswerer connect({[](QWidget* d) {
            d->findChild<QPushButton*>(QStringLiteral("btnOK"))->click();
        }});
        f.Action("mnuConnect")->trigger();
        if (!connect.AllAnswered()) {
            std::fprintf(stderr, "Connect: %s\n", qPrintable(connect.Report()));
            return 1;
        }
    }
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 15000) {
        QTest::qWait(50);
        for (const QString& line : f.LogText().split(QLatin1Char('\n'))) {
            if (line.contains(QStringLiteral("EVT_RAW("))) {
                std::printf("%s\n", qPrintable(line));
                return 0;
            }
        }
    }
    std::fprintf(stderr, "No card read in the log:\n%s\n", qPrintable(f.LogText()));
    return 1;
}
