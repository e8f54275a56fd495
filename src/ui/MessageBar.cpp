#include "ui/MessageBar.h"

#include <QApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>
#include <memory>
#include <set>

namespace {

struct Routing {
    std::set<QString> shown;  // every warning said in this run
    QStringList waiting;      // said while no window had a bar
    std::vector<QPointer<MessageBar>> bars;
};

Routing& routing() {
    static auto* r = new Routing;
    return *r;
}

}  // namespace

MessageBar::MessageBar(QString subjectPath, QWidget* parent)
    : QFrame(parent), subjectPath_(std::move(subjectPath)) {
    setObjectName(QStringLiteral("messageBar"));
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, QColor(0xff, 0xf4, 0xc4));
    palette.setColor(QPalette::WindowText, QColor(0x30, 0x28, 0x00));
    setPalette(palette);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(8, 4, 4, 4);
    auto* layout = new QHBoxLayout;
    column->addLayout(layout);
    auto* icon = new QLabel;
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(20, 20));
    layout->addWidget(icon, 0, Qt::AlignTop);
    text_ = new QLabel;
    text_->setTextFormat(Qt::PlainText);  // file names may hold markup characters
    text_->setWordWrap(true);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(text_, 1);
    auto* close = new QToolButton;
    close->setObjectName(QStringLiteral("dismissMessages"));
    close->setText(QStringLiteral("Dismiss"));
    close->setAutoRaise(true);
    connect(close, &QToolButton::clicked, this, &MessageBar::dismiss);
    layout->addWidget(close, 0, Qt::AlignTop);
    hide();

    Routing& r = routing();
    std::erase_if(r.bars, [](const QPointer<MessageBar>& bar) { return bar.isNull(); });
    r.bars.push_back(this);
    const QStringList waiting = std::exchange(r.waiting, {});
    for (const QString& text : waiting) addMessage(text);
}

MessageBar::~MessageBar() {
    std::erase_if(routing().bars,
                  [this](const QPointer<MessageBar>& bar) { return bar.isNull() || bar == this; });
}

void MessageBar::addMessage(const QString& text) {
    messages_.append(text);
    showMessages();
}

void MessageBar::showMessages() {
    text_->setText(messages_.join(QLatin1Char('\n')));
    setVisible(!messages_.isEmpty() || question_);
}

void MessageBar::dismiss() {
    messages_.clear();
    showMessages();
}

void MessageBar::ask(const QString& text, const QStringList& buttons,
                     std::function<void(int)> answer) {
    withdrawQuestion();
    question_ = new QWidget;
    question_->setObjectName(QStringLiteral("question"));
    auto* row = new QHBoxLayout(question_);
    row->setContentsMargins(28, 0, 0, 0);
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    row->addWidget(label, 1);
    auto shared = std::make_shared<std::function<void(int)>>(std::move(answer));
    for (int i = 0; i < buttons.size(); ++i) {
        auto* button = new QPushButton(buttons[i]);
        connect(button, &QPushButton::clicked, this, [this, shared, i] {
            withdrawQuestion();
            if (*shared) (*shared)(i);
        });
        row->addWidget(button, 0, Qt::AlignTop);
    }
    static_cast<QVBoxLayout*>(layout())->addWidget(question_);
    // At once, not at the next turn of the loop: the question comes in the
    // same change as what it follows.
    question_->show();
    showMessages();
}

void MessageBar::withdrawQuestion() {
    if (!question_) return;
    question_->hide();
    question_->deleteLater();
    question_ = nullptr;
    showMessages();
}

bool MessageBar::asking() const { return question_ != nullptr; }

bool MessageBar::names(const QString& text) const {
    if (subjectPath_.isEmpty()) return false;
    const QString quoted = QLatin1Char('"') + QFileInfo(subjectPath_).fileName() + QLatin1Char('"');
    return text.contains(subjectPath_) || text.contains(quoted);
}

void MessageBar::post(const QString& text) {
    Routing& r = routing();
    if (!r.shown.insert(text).second) return;
    MessageBar* named = nullptr;
    MessageBar* active = nullptr;
    MessageBar* newest = nullptr;
    for (const QPointer<MessageBar>& bar : r.bars) {
        if (!bar || !bar->window()->isVisible()) continue;
        if (bar->names(text)) named = bar;
        if (bar->window() == QApplication::activeWindow()) active = bar;
        newest = bar;
    }
    MessageBar* target = named ? named : active ? active : newest;
    if (target)
        target->addMessage(text);
    else
        r.waiting.append(text);
}

void MessageBar::postHere(const QString& text) {
    // Also when another window shows it: this one waits for the same thing.
    routing().shown.insert(text);
    if (!messages_.contains(text)) addMessage(text);
}

void MessageBar::removeMessage(const QString& text) {
    if (messages_.removeAll(text) > 0) showMessages();
}

void MessageBar::withdraw(const QString& text) {
    Routing& r = routing();
    r.shown.erase(text);
    r.waiting.removeAll(text);
    for (const QPointer<MessageBar>& bar : r.bars)
        if (bar && bar->messages_.removeAll(text) > 0) bar->showMessages();
}

platform::UserWarningHandler MessageBar::installInUserWarnings() {
    platform::setWithdrawnWarningHandler([](const std::string& warning) {
        QMetaObject::invokeMethod(
            qApp, [text = QString::fromStdString(warning)] { withdraw(text); },
            Qt::QueuedConnection);
    });
    return platform::setUserWarningHandler([](const std::string& warning) {
        QMetaObject::invokeMethod(
            qApp, [text = QString::fromStdString(warning)] { post(text); }, Qt::QueuedConnection);
    });
}
