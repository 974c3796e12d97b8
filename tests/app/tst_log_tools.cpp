// The log's tools: the find bar over a long log, Save log, and capture files written from
// a live session, read back, and read from another writer's hand.

#include "capture/capture_file.h"
#include "logview/log_memo.h"
#include "support/modal_answerer.h"
#include "support/pd_window.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QTest>

using namespace quintrel;
using namespace quintrel::test;

class TestLogTools : public QObject {
    Q_OBJECT

  private slots:
    void captureSessionsReadWithTheKeyGiven();
    void fileDialogsStartWhereTheyWereLastUsed();
    void findBarAcrossALongLog();
    void saveLogWritesEveryLine();
    void capturedSessionReadsBackTheSame();
    void captureStopsAtAWriteError();
    void captureFromAnotherWriterAndBrokenLines();
};

namespace {

// The frame lines of the log ("> ..." and "< ..."), without their time stamps, from the
// line after the last one that begins with since.
QStringList FrameLines(const TWindowFixture& f, const QString& since = {}) {
    QStringList out;
    for (const QString& line : f.LogText().split(QLatin1Char('\n'))) {
        const QString text = line.mid(13);
        if (!since.isEmpty() && text.startsWith(since)) out.clear();
        if (text.startsWith(QLatin1String("> ")) || text.startsWith(QLatin1String("< ")))
            out << text;
    }
    return out;
}

QString SaveAs(const QString& path, QAction* action) {
    TModalAnswerer answer({[&](QWidget* d) {
        d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(path);
        Accept(d);
    }});
    action->trigger();
    return answer.AllAnswered() ? QString() : answer.Report();
}

} // namespace

void TestLogTools::findBarAcrossALongLog() {
    TWindowFixture f;
    TFormMain& w = f.Start();
    w.showNormal();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    for (int i = 0; i < 100000; ++i)
        emit w.Engine().LogLine(i % 1000 == 500 ? QStringLiteral("line %1 Needle").arg(i)
                                                : QStringLiteral("line %1").arg(i));
    w.FlushLog();
    auto* memo = w.findChild<TLogMemo*>(QStringLiteral("MemoComm"));
    auto* edit = w.findChild<QLineEdit*>(QStringLiteral("EditFind"));
    auto* count = w.findChild<QLabel*>(QStringLiteral("lblFindCount"));
    QVERIFY(memo && edit && count && !edit->isVisible());

    QTest::keyClick(&w, Qt::Key_F, Qt::ControlModifier);
    QTRY_VERIFY(edit->isVisible() && edit->hasFocus());
    QTest::keyClicks(edit, QStringLiteral("needle")); // searched as typed, case ignored
    QCOMPARE(count->text(), QStringLiteral("1 of 100"));
    QCOMPARE(memo->SelectedText(), QStringLiteral("Needle"));
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(count->text(), QStringLiteral("2 of 100"));
    // The match in sight: the view went to its line.
    QVERIFY(memo->FirstVisibleLine() <= 1500 &&
            1500 < memo->FirstVisibleLine() + memo->VisibleLineCount());
    QTest::keyClick(edit, Qt::Key_Return, Qt::ShiftModifier);
    QCOMPARE(count->text(), QStringLiteral("1 of 100"));
    w.findChild<QPushButton*>(QStringLiteral("btnFindPrevious"))->click();
    QCOMPARE(count->text(), QStringLiteral("100 of 100 (wrapped)"));
    w.findChild<QPushButton*>(QStringLiteral("btnFindNext"))->click();
    QCOMPARE(count->text(), QStringLiteral("1 of 100 (wrapped)"));
    // Lines logged since count too; "Clear screen" leaves nothing to find.
    for (int i = 0; i < 5; ++i)
        emit w.Engine().LogLine(QStringLiteral("late Needle"));
    w.FlushLog();
    w.findChild<QPushButton*>(QStringLiteral("btnFindPrevious"))->click();
    QCOMPARE(count->text(), QStringLiteral("105 of 105 (wrapped)"));
    QCOMPARE(memo->FirstVisibleLine() + memo->VisibleLineCount(), 100005);
    f.Action("mnuViewClear")->trigger();
    w.findChild<QPushButton*>(QStringLiteral("btnFindNext"))->click();
    QCOMPARE(count->text(), QStringLiteral("No matches"));
    emit w.Engine().LogLine(QStringLiteral("Needle again"));
    w.findChild<QPushButton*>(QStringLiteral("btnFindNext"))->click();
    QCOMPARE(count->text(), QStringLiteral("1 of 1"));
    w.findChild<QCheckBox*>(QStringLiteral("chkMatchCase"))->setChecked(true);
    QCOMPARE(count->text(), QStringLiteral("No matches"));
    QTest::keyClick(edit, Qt::Key_Escape);
    QVERIFY(!edit->isVisible());
}

void TestLogTools::saveLogWritesEveryLine() {
    TWindowFixture f;
    TFormMain& w = f.Start();
    emit w.Engine().LogLine(QStringLiteral("first \u00E9"));
    emit w.Engine().LogLine(QStringLiteral("second"));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    const QString problem = SaveAs(path, f.Action("mnuSaveLog"));
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    QCOMPARE(text, f.LogText() + QLatin1Char('\n'));
    QVERIFY(text.contains(QStringLiteral(" first \u00E9\n")));
}

// Each file dialog starts in the folder it was last used in, also after a restart; one not
// used yet starts in the working folder.
void TestLogTools::fileDialogsStartWhereTheyWereLastUsed() {
    TWindowFixture f;
    f.Start();
    QTemporaryDir logs;
    QVERIFY(SaveAs(logs.filePath(QStringLiteral("a.txt")), f.Action("mnuSaveLog")).isEmpty());
    const auto startsIn = [&](const char* action) {
        QString folder;
        TModalAnswerer answer({[&](QWidget* d) {
            folder = qobject_cast<QFileDialog*>(d)->directory().absolutePath();
            Reject(d);
        }});
        f.Action(action)->trigger();
        return answer.AllAnswered() ? folder : answer.Report();
    };
    const QString kept = QFileInfo(logs.path()).absoluteFilePath();
    QCOMPARE(startsIn("mnuSaveLog"), kept);
    QCOMPARE(startsIn("mnuOpenCapture"), QDir::currentPath());
    f.Stop();
    f.Start();
    QCOMPARE(startsIn("mnuSaveLog"), kept);
}

// A capture that begins with a session on a key of its own: unknown (and hex) until the key
// is given under Options, then followed and read; the key stays out of the settings file.
void TestLogTools::captureSessionsReadWithTheKeyGiven() {
    QFile source(QStringLiteral(QUINTREL_TEST_DATA "/captures/reader-side-secure.osdpcap"));
    QVERIFY(source.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = source.readAll().split('\n');
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("second-session.osdpcap"));
    QFile part(path);
    QVERIFY(part.open(QIODevice::WriteOnly));
    for (qsizetype i = 1460; i < lines.size(); ++i) // from the second osdp_CHLNG on
        part.write(lines[i] + '\n');
    part.close();

    TWindowFixture f;
    TFormMain& w = f.Start();
    w.OpenCapture(path);
    QVERIFY(f.Logged(QStringLiteral("Secure channel with 0: key unknown, frames not read")));
    // Unread: no protected frame is read in words (at most its clear header shows).
    QVERIFY(!f.LogText().contains(QRegularExpression(QStringLiteral("SCS1[5-8] - [A-Z_0-9]+\\("))));
    TModalAnswerer answer({[](QWidget* d) {
        qobject_cast<QInputDialog*>(d)->setTextValue(
            QStringLiteral("00112233445566778899AABBCCDDEEFF"));
        Accept(d);
    }});
    f.Action("mnuOverheardKey")->trigger();
    QVERIFY2(answer.AllAnswered(), qPrintable(answer.Report()));
    w.OpenCapture(path);
    QVERIFY(f.Logged(QStringLiteral("Secure channel with 0 opened (typed SCBK)")));
    QVERIFY(f.LogText().contains(QStringLiteral("> addr=0: SCS17 - ")));
    f.Stop();
    QVERIFY(!f.ReadFile(f.IniPath()).toUpper().contains("00112233445566778899AABBCCDDEEFF"));
}

void TestLogTools::capturedSessionReadsBackTheSame() {
    TPdWindowRig rig;
    QVERIFY(rig.Start({QStringLiteral("--bad-crc-every"), QStringLiteral("5")}));
    TFormMain& w = *rig.Window;
    w.Engine().View = {true, true, true}; // raw, words and polls: every frame line
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("session.osdpcap"));
    const QString problem = SaveAs(path, rig.Fixture.Action("mnuStartCapture"));
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(w.CaptureWriter().Running());
    rig.Fixture.Action("mnuGetID")->trigger();
    rig.Fixture.Action("mnuGetCAP")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(FrameLines(rig.Fixture).filter(QStringLiteral("RES_CAP")).size() == 1,
                             3000);
    QTRY_VERIFY_WITH_TIMEOUT(w.CaptureWriter().Frames() >= 20, 5000);
    QTRY_VERIFY(rig.Fixture.StatusPanel(3).startsWith(QStringLiteral("Capture: ")));
    // Every frame is in the file as soon as it has passed: nothing waits in a buffer.
    w.Engine().StopPolling();
    w.Engine().WaitExchangeDone();
    QCOMPARE(rig.Fixture.ReadFile(path).count('\n'), w.CaptureWriter().Frames());
    // The capture ends with the connection, and says so.
    w.Engine().Disconnect();
    QVERIFY(!w.CaptureWriter().Running());
    QVERIFY(rig.Fixture.LogText().contains(
        QStringLiteral("Capture to %1 ended at disconnect: %2 frames")
            .arg(path)
            .arg(w.CaptureWriter().Frames())));
    const QStringList live =
        FrameLines(rig.Fixture, QStringLiteral("Capture to %1 started").arg(path));
    QVERIFY(live.filter(QStringLiteral("ERROR")).isEmpty()); // errors are not frame lines
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().count('\n'), w.CaptureWriter().Frames());

    rig.Fixture.Action("mnuViewClear")->trigger();
    w.OpenCapture(path);
    QCOMPARE(FrameLines(rig.Fixture), live);
    QVERIFY(rig.Fixture.LogText().contains(
        QStringLiteral("Capture %1: %2 frames").arg(path).arg(w.CaptureWriter().Frames())));
    // A new capture, on a new connection, counts from nothing.
    QVERIFY(w.CaptureWriter().Frames() > 2);
    QString error;
    QVERIFY2(w.Engine().OpenPort(&error), qPrintable(error));
    w.Engine().StopPolling();
    w.Engine().WaitExchangeDone();
    const QString second = dir.filePath(QStringLiteral("second.osdpcap"));
    QVERIFY(SaveAs(second, rig.Fixture.Action("mnuStartCapture")).isEmpty());
    QCOMPARE(w.CaptureWriter().Frames(), 0);
    rig.Fixture.Action("mnuGetID")->trigger();
    w.Engine().WaitExchangeDone();
    // The command and its reply, and a repeat with its reply if the reply was damaged.
    QVERIFY(w.CaptureWriter().Frames() == 2 || w.CaptureWriter().Frames() == 4);
    QCOMPARE(rig.Fixture.ReadFile(second).count('\n'), w.CaptureWriter().Frames());
}

void TestLogTools::captureStopsAtAWriteError() {
    TPdWindowRig rig;
    QVERIFY(rig.Start());
    QString error;
    QVERIFY(rig.Window->CaptureWriter().Start(QStringLiteral("/dev/full"), &error));
    QTRY_VERIFY(!rig.Window->CaptureWriter().Running());
    QVERIFY2(rig.Fixture.LogText().contains(
                 QStringLiteral("Capture to /dev/full stopped: No space left on device (0 frames "
                                "written)")),
             qPrintable(rig.Fixture.LogText()));
    QVERIFY(rig.Window->Engine().Polling()); // the line goes on without it
}

void TestLogTools::captureFromAnotherWriterAndBrokenLines() {
    TWindowFixture f;
    TFormMain& w = f.Start();
    // Written by hand to the published conventions: a listener's records ("trace"), blanks
    // in the hex, the times as numbers in one line; then lines no reader could use.
    const QByteArray capture =
        "{ \"timeSec\" : \"1700000000\", \"timeNano\" : \"250000000\", \"io\" : \"trace\", "
        "\"data\" : \"53 00 09 00 05 61 00 F0 51\", \"osdpTraceVersion\" : \"1\", "
        "\"osdpSource\" : \"hand\" }\n"
        "\n"
        "{\"timeSec\":1700000001,\"timeNano\":0,\"io\":\"input\",\"data\":\"53-80-0A-00-05-"
        "48-00-01-BB-D7\",\"osdpTraceVersion\":\"1\",\"osdpSource\":\"hand\"}\n"
        "not json at all\n"
        "{\"timeSec\":\"1\",\"timeNano\":\"0\",\"io\":\"output\"}\n" +
        QByteArray(70000, 'x') + "\n";
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hand.osdpcap"));
    f.WriteFile(path, capture);
    w.OpenCapture(path);
    const QStringList lines = FrameLines(f);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QStringLiteral("> addr=0: GET_ID(00)"));
    QCOMPARE(lines[1], QStringLiteral("< addr=0: RES_STAT(TAMPER=ok, POWER=error)"));
    QVERIFY(f.LogText().contains(
        QStringLiteral(
            "Capture %1: 2 frames, 3 malformed lines skipped (first at line 4: not a JSON object)")
            .arg(path)));
    // The frames keep their own time: 1700000000.25 s is hh:mm:22:250 in any time zone
    // whose offset is whole minutes.
    QVERIFY2(f.LogText().split(QLatin1Char('\n'))[1].mid(6, 7) == QStringLiteral("20:250 "),
             qPrintable(f.LogText()));
}

QTEST_MAIN(TestLogTools)
#include "tst_log_tools.moc"
