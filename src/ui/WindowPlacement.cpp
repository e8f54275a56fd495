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

void cascadeOnScreen(QWidget* window, const std::vector<const QWidget*>& others) {
    if (!window || window->isVisible()) return;
    constexpr int kStep = 28;
    const QWidget* shown = nullptr;
    for (const QWidget* other : others)
        if (other && other != window && other->isVisible()) shown = other;
    if (!shown) return;
    QScreen* screen = QGuiApplication::screenAt(window->frameGeometry().center());
    if (!screen) screen = shown->screen();
    if (!screen) return;
    const QRect available = screen->availableGeometry();
    const QMargins frame = frameMargins(shown);
    auto taken = [&](QPoint at) {
        for (const QWidget* other : others)
            if (other && other != window && other->isVisible() &&
                (other->pos() - at).manhattanLength() < kStep)
                return true;
        return false;
    };
    QPoint at = window->pos();
    for (int tries = 0; tries < 64 && taken(at); ++tries) {
        at += QPoint(kStep, kStep);
        // Smaller where the step leaves no room; from the top left again
        // where it cannot be.
        const QSize room =
            QSize(available.right() + 1 - at.x(), available.bottom() + 1 - at.y()).shrunkBy(frame);
        const QSize fits = window->size().boundedTo(room);
        if (fits.expandedTo(window->minimumSize()) == fits)
            window->resize(fits);
        else
            at = available.topLeft();
    }
    window->move(at);
}

void showOnScreen(QWidget* window) {
    placeOnScreen(window, QApplication::activeWindow());
    window->show();
    window->raise();
    window->activateWindow();
}

}  // namespace platform
