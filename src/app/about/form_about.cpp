#include "about/form_about.h"

#include "about/version_info.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

namespace quintrel {

namespace {

const QColor kPanelColour(0x1E, 0x3A, 0x5F);
const QColor kLeftColour(0x14, 0x28, 0x42);
const QColor kAccentColour(255, 128, 0);
constexpr int kImageHeight = 56;

QWidget* ColouredPanel(const QString& name, const QColor& colour, QWidget* parent) {
    auto* panel = new QWidget(parent);
    panel->setObjectName(name);
    panel->setAutoFillBackground(true);
    QPalette palette = panel->palette();
    palette.setColor(QPalette::Window, colour);
    panel->setPalette(palette);
    return panel;
}

// A bus line with a few readers on it, drawn rather than shipped as a file.
QPixmap BannerPixmap() {
    QPixmap pixmap(TFormAbout::Width, kImageHeight);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient gradient(0, 0, pixmap.width(), 0);
    gradient.setColorAt(0, kLeftColour);
    gradient.setColorAt(1, kPanelColour.lighter(160));
    p.fillRect(pixmap.rect(), gradient);
    const int y = kImageHeight / 2;
    p.setPen(QPen(QColor(255, 255, 255, 160), 2));
    p.drawLine(24, y, pixmap.width() - 24, y);
    const QColor states[] = {QColor(30, 174, 37), QColor(0, 138, 255), QColor(30, 174, 37),
                             kAccentColour, QColor(30, 174, 37)};
    int x = 60;
    for (const QColor& colour : states) {
        p.setPen(QPen(Qt::white, 1.5));
        p.setBrush(colour);
        p.drawRoundedRect(QRectF(x - 9, y - 12, 18, 24), 3, 3);
        x += 70;
    }
    return pixmap;
}

QLabel* WhiteLabel(const QString& name, int pixelSize, bool bold, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    QFont font = label->font();
    if (bold) font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans")});
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::white);
    label->setPalette(palette);
    return label;
}

} // namespace

TFormAbout::TFormAbout(QWidget* parent)
    : QDialog(parent), OpenUrl([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
    setObjectName(QStringLiteral("FormAbout"));
    setWindowTitle(QStringLiteral("About . . ."));
    setFixedSize(Width, Height);
    Version = new TVersionInfo(this);
    Version->setObjectName(QStringLiteral("VersionInfo"));
    BuildLayout();
}

void TFormAbout::BuildLayout() {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    auto* image = new QLabel(this);
    image->setObjectName(QStringLiteral("Image1"));
    image->setPixmap(BannerPixmap());
    image->setScaledContents(true);
    image->setFixedHeight(kImageHeight);
    outer->addWidget(image);

    auto* body = new QHBoxLayout;
    body->setSpacing(0);
    outer->addLayout(body, 1);
    QWidget* left = ColouredPanel(QStringLiteral("PanelLeft"), kLeftColour, this);
    left->setFixedWidth(16);
    body->addWidget(left);
    QWidget* panel = ColouredPanel(QStringLiteral("PanelMain"), kPanelColour, this);
    body->addWidget(panel, 1);

    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(16, 8, 16, 12);
    column->setSpacing(2);
    QLabel* name = WhiteLabel(QStringLiteral("lblProductName"), 48, true, panel);
    name->setWordWrap(true);
    column->addWidget(name);

    QWidget* separator = ColouredPanel(QStringLiteral("PanelSeparator"), kPanelColour, panel);
    separator->setFixedHeight(14);
    QWidget* accent = ColouredPanel(QStringLiteral("PanelOrange"), kAccentColour, separator);
    accent->setGeometry(0, 4, 48, 4);
    column->addWidget(separator);
    column->addStretch(1);

    QLabel* version = WhiteLabel(QStringLiteral("lblProductVersion"), 13, false, panel);
    QLabel* copyright = WhiteLabel(QStringLiteral("lblCopyright"), 13, false, panel);
    lblWebsite = WhiteLabel(QStringLiteral("lblWebsite"), 13, false, panel);
    QFont linkFont = lblWebsite->font();
    linkFont.setUnderline(true);
    lblWebsite->setFont(linkFont);
    lblWebsite->setCursor(Qt::PointingHandCursor);
    lblWebsite->setText(Website().toString());
    column->addWidget(version);
    column->addWidget(copyright);
    column->addWidget(lblWebsite);

    Version->SetControl(TVersionInfo::ProductName, name);
    Version->SetControl(TVersionInfo::ProductVersion, version);
    Version->SetControl(TVersionInfo::LegalCopyRight, copyright);
    version->setText(QStringLiteral("Version: ") + version->text());

    for (QWidget* w : {static_cast<QWidget*>(image), left, panel, static_cast<QWidget*>(name),
                       separator, accent, static_cast<QWidget*>(version),
                       static_cast<QWidget*>(copyright), static_cast<QWidget*>(lblWebsite)})
        w->installEventFilter(this);
}

QUrl TFormAbout::Website() const {
    return QUrl(QStringLiteral("https://quintrel.example.org"));
}

bool TFormAbout::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::MouseButtonPress) return QDialog::eventFilter(watched, event);
    if (watched == lblWebsite) {
        if (OpenUrl) OpenUrl(Website());
    } else {
        accept();
    }
    return true;
}

void TFormAbout::keyPressEvent(QKeyEvent* event) {
    event->accept();
    accept();
}

void TFormAbout::mousePressEvent(QMouseEvent* event) {
    event->accept();
    accept();
}

void TFormAbout::showEvent(QShowEvent* event) {
    if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
    QDialog::showEvent(event);
}

} // namespace quintrel
