#pragma once
// The about box: product name, version and copyright from the program's version block,
// and a link to the project's web site. Any click outside the link, or any key, closes it.

#include <QDialog>
#include <QUrl>

#include <functional>

class QLabel;
class QWidget;

namespace quintrel {

class TVersionInfo;

class TFormAbout : public QDialog {
    Q_OBJECT

  public:
    static constexpr int Width = 400;
    static constexpr int Height = 300;

    explicit TFormAbout(QWidget* parent = nullptr);

    TVersionInfo& VersionInfo() { return *Version; }
    QUrl Website() const;
    // How the link is opened; the desktop's handler unless replaced.
    std::function<void(const QUrl&)> OpenUrl;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void BuildLayout();

    TVersionInfo* Version = nullptr;
    QLabel* lblWebsite = nullptr;
};

} // namespace quintrel
