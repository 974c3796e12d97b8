#pragma once
// One main window with its about box, its settings file in a temporary folder.

#include "about/form_about.h"
#include "form_main.h"

#include <QAction>
#include <QLabel>
#include <QTemporaryDir>

#include <memory>

namespace quintrel::test {

class TWindowFixture {
  public:
    TWindowFixture();
    ~TWindowFixture();

    QString IniPath() const { return Dir.filePath(QStringLiteral("quintrel.ini")); }
    QString VendorPath() const { return Dir.filePath(QStringLiteral("oui.csv")); }
    void WriteFile(const QString& path, const QByteArray& text) const;
    QByteArray ReadFile(const QString& path) const;

    // Creates the window as the program does; the start-up error boxes are off unless asked.
    TFormMain& Start(bool showStartupErrors = false);
    // Closes and destroys the window, which writes the settings file.
    void Stop();

    TFormMain& Main() { return *Window; }
    // The port given on the command line for the next Start.
    QString PortOverride;
    TFormAbout& About() { return *AboutBox; }
    QAction* Action(const char* name) const;
    QString StatusPanel(int panel) const;
    // The log's text after the waiting lines are written.
    QString LogText() const;
    // Whether a log line, after its time stamp, reads exactly text.
    bool Logged(const QString& text) const;

  private:
    QTemporaryDir Dir;
    std::unique_ptr<TFormAbout> AboutBox;
    std::unique_ptr<TFormMain> Window;
};

} // namespace quintrel::test
