// The about box and the version component behind it.

#include "about/form_about.h"
#include "about/version_info.h"
#include "support/modal_answerer.h"
#include "support/window_fixture.h"

#include <QLabel>
#include <QLineEdit>
#include <QTest>

using namespace quintrel;
using namespace quintrel::test;

namespace {

QString Label(QWidget& form, const char* name) {
    const auto* label = form.findChild<QLabel*>(QLatin1String(name));
    return label ? label->text() : QStringLiteral("<no %1>").arg(QLatin1String(name));
}

} // namespace

class TestAbout : public QObject {
    Q_OBJECT

  private slots:
    void showsNameVersionAndCopyright();
    void opensFromTheHelpMenuAndClosesOnAKey();
    void clicksCloseExceptOnTheLink();
    void versionInfoLookups();
};

void TestAbout::showsNameVersionAndCopyright() {
    TFormAbout about;
    QCOMPARE(about.windowTitle(), QStringLiteral("About . . ."));
    QCOMPARE(about.size(), QSize(400, 300));
    QCOMPARE(Label(about, "lblProductName"), QStringLiteral("Quintrel"));
    QCOMPARE(Label(about, "lblProductVersion"), QStringLiteral("Version: " QUINTREL_VERSION));
    QCOMPARE(Label(about, "lblCopyright"),
             QStringLiteral("Copyright (C) 2026 Quintrel developers"));
}

void TestAbout::opensFromTheHelpMenuAndClosesOnAKey() {
    TWindowFixture f;
    f.Start();
    QString name;
    TModalAnswerer answer({[&](QWidget* dialog) {
        name = dialog->objectName();
        QTest::keyClick(dialog, Qt::Key_Q);
    }});
    f.Action("mnuAbout")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    QCOMPARE(name, QStringLiteral("FormAbout"));
    QVERIFY(!f.About().isVisible());
}

void TestAbout::clicksCloseExceptOnTheLink() {
    TFormAbout about;
    QList<QUrl> opened;
    about.OpenUrl = [&](const QUrl& url) { opened << url; };
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    QTest::mouseClick(about.findChild<QLabel*>(QStringLiteral("lblWebsite")), Qt::LeftButton);
    QCOMPARE(opened, QList<QUrl>{about.Website()});
    QVERIFY(about.isVisible());
    QCOMPARE(about.findChild<QLabel*>(QStringLiteral("lblWebsite"))->cursor().shape(),
             Qt::PointingHandCursor);

    for (const char* name : {"lblCopyright", "Image1", "PanelMain"}) {
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QTest::mouseClick(about.findChild<QWidget*>(QLatin1String(name)), Qt::LeftButton);
        QVERIFY2(!about.isVisible(), name);
    }
    QCOMPARE(opened.size(), 1);
}

void TestAbout::versionInfoLookups() {
    TVersionInfo info;
    QCOMPARE(info.Translation().Language, 0x0409);
    QCOMPARE(info.Translation().CodePage, 0x04B0);

    // Without a translation table the strings come from the default language and code page.
    TVersionResource bare;
    bare.Tables = {{"040904E4", {{"ProductName", "Bare"}, {"FileVersion", "9.9"}}}};
    info.LoadBlock(BuildVersionBlock(bare));
    QCOMPARE(info.Value(TVersionInfo::ProductName), QStringLiteral("Bare"));
    QCOMPARE(info.Value(TVersionInfo::CompanyName), QString());

    // Bound controls follow every reload; one without a text gets the value as its title.
    QLabel label;
    QWidget window;
    {
        QLineEdit gone;
        info.SetControl(TVersionInfo::FileVersion, &gone);
        QCOMPARE(gone.text(), QStringLiteral("9.9"));
    }
    info.SetControl(TVersionInfo::ProductName, &label);
    info.SetControl(TVersionInfo::FileDescription, &window);
    QCOMPARE(label.text(), QStringLiteral("Bare"));
    info.Load();
    QCOMPARE(label.text(), QStringLiteral("Quintrel"));
    QCOMPARE(window.windowTitle(), QStringLiteral("OSDP control panel"));
}

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
