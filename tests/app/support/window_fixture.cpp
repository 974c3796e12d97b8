#include "support/window_fixture.h"

#include "logview/log_memo.h"

#include <QApplication>
#include <QFile>

#include <algorithm>

namespace quintrel::test {

TWindowFixture::TWindowFixture() {
    QApplication::setApplicationName(QStringLiteral("Quintrel"));
}

TWindowFixture::~TWindowFixture() {
    Stop();
}

void TWindowFixture::WriteFile(const QString& path, const QByteArray& text) const {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) file.write(text);
}

QByteArray TWindowFixture::ReadFile(const QString& path) const {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TFormMain& TWindowFixture::Start(bool showStartupErrors) {
    Stop();
    TFormMainOptions options;
    options.IniPath = IniPath();
    options.VendorPath = VendorPath();
    options.ShowStartupErrors = showStartupErrors;
    options.PortOverride = PortOverride;
    AboutBox = std::make_unique<TFormAbout>();
    Window = std::make_unique<TFormMain>(*AboutBox, options);
    return *Window;
}

void TWindowFixture::Stop() {
    if (Window) Window->close();
    Window.reset();
    AboutBox.reset();
}

QAction* TWindowFixture::Action(const char* name) const {
    return Window->findChild<QAction*>(QLatin1String(name));
}

QString TWindowFixture::StatusPanel(int panel) const {
    Window->FlushStatus();
    const auto* label = Window->findChild<QLabel*>(QStringLiteral("StatusPanel%1").arg(panel));
    return label ? label->text() : QStringLiteral("<no panel %1>").arg(panel);
}

QString TWindowFixture::LogText() const {
    Window->FlushLog();
    return Window->findChild<TLogMemo*>(QStringLiteral("MemoComm"))->toPlainText();
}

bool TWindowFixture::Logged(const QString& text) const {
    const QStringList lines = LogText().split(QLatin1Char('\n'));
    return std::any_of(lines.begin(), lines.end(), [&](const QString& line) {
        return line.size() > 13 && line.mid(13) == text;
    });
}

} // namespace quintrel::test
