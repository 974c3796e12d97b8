// Quintrel: the control panel's side of an OSDP bus, for the bench and the field.

#include "about/form_about.h"
#include "form_main.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quintrel"));

    // The about box comes first: the main window's caption carries the version it reads.
    quintrel::TFormAbout about;
    quintrel::TFormMain window(
        about, quintrel::TFormMainOptions::BesideExecutable(QApplication::applicationFilePath()));
    window.show();
    return app.exec();
}
