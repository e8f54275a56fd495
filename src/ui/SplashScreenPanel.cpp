#include "ui/SplashScreenPanel.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "ui/QuorvexIcon.h"

#if defined(QUORVEX_HAVE_XCB)
#include <xcb/xcb.h>

#include <cstdlib>
#endif

SplashScreenPanel::SplashScreenPanel(const QString& creditsResource)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool) {
    setObjectName(QStringLiteral("SplashScreen"));
    setAttribute(Qt::WA_QuitOnClose, false);
    awakeFromNib(creditsResource);
    qApp->installEventFilter(this);  // to see dialogs open
}

bool SplashScreenPanel::dialogIsOpen() {
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->isVisible() && qobject_cast<QDialog*>(window)) return true;
    return false;
}

bool SplashScreenPanel::windowsCanBeTranslucent() {
    const QString platform = QGuiApplication::platformName();
    if (platform.startsWith(QLatin1String("wayland"))) return true;
    if (platform != QLatin1String("xcb")) return false;
#if defined(QUORVEX_HAVE_XCB)
    // A compositing manager owns the selection _NET_WM_CM_S<screen>.
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (!c || xcb_connection_has_error(c)) {
        if (c) xcb_disconnect(c);
        return false;
    }
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screenNumber);
    bool owned = false;
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, uint16_t(name.size()), name.constData()), nullptr);
    if (atom && atom->atom != XCB_ATOM_NONE) {
        xcb_get_selection_owner_reply_t* owner =
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr);
        owned = owner && owner->owner != XCB_NONE;
        std::free(owner);
    }
    std::free(atom);
    xcb_disconnect(c);
    return owned;
#else
    return false;
#endif
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
    if (watched->isWidgetType()) {
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->window() == this) {
            if (ordersOut(event)) hide();
        } else if (event->type() == QEvent::Show && widget->isWindow() &&
                   qobject_cast<QDialog*>(widget)) {
            hide();
        }
    }
    return QWidget::eventFilter(watched, event);
}
