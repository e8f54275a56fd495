#include "ui/WindowPlacement.h"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace platform {

namespace {

// The window manager's frame is known only once a window shows, and not
// always then: a shown window's, but never less than a typical title bar and
// border.
QMargins frameMargins(const QWidget* shown) {
    QMargins margins(4, 30, 4, 4);
    if (!shown) return margins;
    const QRect outer = shown->frameGeometry(), inner = shown->geometry();
    margins.setLeft(std::max(margins.left(), inner.left() - outer.left()));
    margins.setTop(std::max(margins.top(), inner.top() - outer.top()));
    margins.setRight(std::max(margins.right(), outer.right() - inner.right()));
    margins.setBottom(std::max(margins.bottom(), outer.bottom() - inner.bottom()));
    return margins;
}

bool onSomeScreen(const QRect& frame) {
    for (const QScreen* screen : QGuiApplication::screens())
        if (screen->availableGeometry().contains(frame)) return true;
    return false;
}

}  // namespace

void placeOnScreen(QWidget* window, const QWidget* openedFrom) {
    if (!window || window->isVisible()) return;
    if (openedFrom && (!openedFrom->isVisible() || openedFrom->window() == window))
        openedFrom = nullptr;
    if (openedFrom) openedFrom = openedFrom->window();
    if (window->testAttribute(Qt::WA_Moved) && onSomeScreen(window->frameGeometry())) return;
    QScreen* screen = openedFrom ? openedFrom->screen() : QGuiApplication::screenAt(QCursor::pos());
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    // The size it shows at: its layout's minimum may widen it.
    window->ensurePolished();
    if (QLayout* layout = window->layout()) layout->activate();
    const QRect available = screen->availableGeometry();
    const QMargins frame = frameMargins(openedFrom);
    const QSize room = available.size().shrunkBy(frame);
    if (window->width() > room.width() || window->height() > room.height())
        window->resize(window->size().boundedTo(room).expandedTo(window->minimumSize()));
    QRect outer(QPoint(), window->size().grownBy(frame));
    outer.moveCenter(openedFrom ? openedFrom->frameGeometry().center() : available.center());
    outer.moveLeft(
        std::max(available.left(), std::min(outer.left(), available.right() + 1 - outer.width())));
    outer.moveTop(
        std::max(available.top(), std::min(outer.top(), available.bottom() + 1 - outer.height())));
    window->move(outer.topLeft());
}

void showOnScreen(QWidget* window) {
    placeOnScreen(window, QApplication::activeWindow());
    window->show();
    window->raise();
    window->activateWindow();
}

}  // namespace platform
