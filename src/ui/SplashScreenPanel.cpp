#include "ui/SplashScreenPanel.h"

#include <QApplication>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "ui/QuorvexIcon.h"

SplashScreenPanel::SplashScreenPanel(const QString& creditsResource)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool) {
    setObjectName(QStringLiteral("SplashScreen"));
    setAttribute(Qt::WA_QuitOnClose, false);
    awakeFromNib(creditsResource);
}

QString SplashScreenPanel::oneLineCredit() {
    return QStringLiteral("Quorvex, a camera-raw developer, by its authors.");
}

QString SplashScreenPanel::creditsHtml(const QString& resource) {
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly)) return oneLineCredit();
    const QString text = QString::fromUtf8(file.readAll());
    return text.trimmed().isEmpty() ? oneLineCredit() : text;
}

QPixmap SplashScreenPanel::applicationIcon(int size) {
    return QPixmap::fromImage(platform::quorvexIcon(size));
}

void SplashScreenPanel::awakeFromNib(const QString& creditsResource) {
    setAutoFillBackground(true);
    QPalette grey = palette();
    grey.setColor(QPalette::Window, QColor(64, 66, 70));
    grey.setColor(QPalette::WindowText, QColor(240, 240, 240));
    grey.setColor(QPalette::Base, QColor(52, 54, 58));
    grey.setColor(QPalette::Text, QColor(220, 220, 220));
    setPalette(grey);

    auto* icon = new QLabel;
    icon->setPixmap(applicationIcon(96));
    const QString product = QApplication::applicationDisplayName().isEmpty()
                                ? QApplication::applicationName()
                                : QApplication::applicationDisplayName();
    productText_ = new QLabel(product);
    QFont big = productText_->font();
    big.setPointSizeF(big.pointSizeF() * 2.4);
    big.setBold(true);
    productText_->setFont(big);
    versionText_ = new QLabel(QStringLiteral("Version %1").arg(QApplication::applicationVersion()));
    auto* tagline = new QLabel(QStringLiteral("A camera-raw developer"));

    auto* titles = new QVBoxLayout;
    titles->addStretch();
    titles->addWidget(productText_);
    titles->addWidget(versionText_);
    titles->addWidget(tagline);
    titles->addStretch();
    auto* header = new QHBoxLayout;
    header->addWidget(icon);
    header->addSpacing(16);
    header->addLayout(titles, 1);

    creditsText_ = new QTextBrowser;
    creditsText_->setFrameShape(QFrame::NoFrame);
    creditsText_->setOpenLinks(false);
    creditsText_->setHtml(creditsHtml(creditsResource));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->addLayout(header);
    layout->addSpacing(12);
    layout->addWidget(creditsText_, 1);
    resize(520, 340);

    // Every part of the panel orders it out, as one window would.
    for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
    if (const QScreen* screen = QApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

bool SplashScreenPanel::ordersOut(const QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::TabletPress:
            return true;
        case QEvent::MouseMove:
            return (static_cast<const QMouseEvent*>(event)->buttons() &
                    (Qt::LeftButton | Qt::RightButton)) != 0;
        default:
            return false;
    }
}

bool SplashScreenPanel::event(QEvent* event) {
    if (ordersOut(event)) hide();
    return QWidget::event(event);
}

bool SplashScreenPanel::eventFilter(QObject* watched, QEvent* event) {
    if (ordersOut(event)) hide();
    return QWidget::eventFilter(watched, event);
}
