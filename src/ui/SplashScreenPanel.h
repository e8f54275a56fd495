// The splash panel: a frameless window on top of the others, centred, grey,
// with the product's name, its version and the credits ("Credits" resource,
// or a one-line credit when it is missing). A mouse press or drag, a key
// press or a tablet press anywhere on it orders it out, and so does any
// dialog or alert opening while it shows: it stays on top and would hide
// them. The application delegate fades it with setWindowOpacity, which only
// shows where windows can be translucent (windowsCanBeTranslucent).
#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>

class QLabel;
class QTextBrowser;

class SplashScreenPanel : public QWidget {
    Q_OBJECT
public:
    explicit SplashScreenPanel(const QString& creditsResource = QStringLiteral(":/Credits.html"));

    QLabel* productText() const { return productText_; }
    QLabel* versionText() const { return versionText_; }
    QTextBrowser* creditsText() const { return creditsText_; }

    // The credits text of the resource, or the one-line credit.
    static QString creditsHtml(const QString& resource = QStringLiteral(":/Credits.html"));
    static QString oneLineCredit();
    static QPixmap applicationIcon(int size);
    // Whether a window's opacity shows: a compositing manager runs on X11;
    // Wayland always composites; other platforms (offscreen) never do.
    static bool windowsCanBeTranslucent();
    // Whether a dialog or alert shows now (the panel must not cover it).
    static bool dialogIsOpen();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void awakeFromNib(const QString& creditsResource);
    bool ordersOut(const QEvent* event);

    QLabel* productText_ = nullptr;
    QLabel* versionText_ = nullptr;
    QTextBrowser* creditsText_ = nullptr;
};
