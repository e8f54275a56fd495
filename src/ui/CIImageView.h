// The document window's RGB histogram. HistogramBuilder turns an image (the
// engine's thumbnail) into a bar picture: a gamma-encoded float copy (1/2.2),
// four histograms of `width` bins over 0..1, bars scaled so that the tallest
// red, green or blue count among bins 2..W-3 fills the height. CIImageView
// builds it on the shared work queue, at most one build per view at a time:
// images handed in during a build replace each other and make one more build
// for the latest. The state the build shares lives apart from the widget, so
// a view closed during a build is safe.
#pragma once

#include <QImage>
#include <QSizeF>
#include <QWidget>
#include <memory>
#include <mutex>

#include "engine/ImageBuffer.h"

class HistogramBuilder {
public:
    // Null when no float copy can be made.
    static std::unique_ptr<HistogramBuilder> initWithBuffer(const ImageBuffer& buffer);
    void setOutputSize(QSizeF size) { outputSize_ = size; }
    QSizeF outputSize() const { return outputSize_; }
    const std::shared_ptr<ImageBufferF32>& theBuffer() const { return theBuffer_; }
    // The picture as 16-bit RGBA, row 0 at the top; null for fewer than 1 x 1
    // pixels. Consumes the copy (gamma is applied in place).
    std::shared_ptr<ImageBufferU16> getOutputImage();

private:
    QSizeF outputSize_;
    std::shared_ptr<ImageBufferF32> theBuffer_;
};

class CIImageView : public QWidget {
    Q_OBJECT
public:
    explicit CIImageView(QWidget* parent = nullptr);
    ~CIImageView() override;

    void setImage(std::shared_ptr<ImageBuffer> buffer);
    // The rendered picture (null before the first build).
    QImage picture() const;
    // Builds run so far; for tests.
    int buildCount() const;
    // Turns a picture buffer into an 8-bit image.
    static QImage createRenderedImage(const ImageBufferU16& picture);

signals:
    void updateDone();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct State;
    static void buildHistogramImage(const std::shared_ptr<State>& state);
    std::shared_ptr<State> state_;
};
