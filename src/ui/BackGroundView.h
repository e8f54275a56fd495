// Plain background views: BackGroundView fills with its colour (none: the
// palette's window colour) and repaints when its window gains or loses the
// focus; BlackBackGroundView fills black; BackGroundViewFlipped light grey
// (Qt's y already runs downward, so "flipped" needs nothing more).
#pragma once

#include <QColor>
#include <QWidget>
#include <optional>

class BackGroundView : public QWidget {
    Q_OBJECT
public:
    explicit BackGroundView(QWidget* parent = nullptr);
    std::optional<QColor> bg() const { return bg_; }
    void setBg(std::optional<QColor> colour);
    QColor fillColour() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    std::optional<QColor> bg_;
};

class BlackBackGroundView : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent* event) override;
};

class BackGroundViewFlipped : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    bool isFlipped() const { return true; }

protected:
    void paintEvent(QPaintEvent* event) override;
};
