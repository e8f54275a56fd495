#include "ui/CIImageView.h"

#include <QPainter>
#include <QPointer>
#include <array>
#include <cmath>
#include <vector>

#include "engine/QueueEngine.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/VImage.h"

std::unique_ptr<HistogramBuilder> HistogramBuilder::initWithBuffer(const ImageBuffer& buffer) {
    auto copy = ImageBufferF32::initWithCopyFrom(buffer);
    if (!copy) return nullptr;
    auto builder = std::make_unique<HistogramBuilder>();
    builder->theBuffer_ = std::move(copy);
    return builder;
}

std::shared_ptr<ImageBufferU16> HistogramBuilder::getOutputImage() {
    const int W = int(std::floor(outputSize_.width()));
    const int H = int(outputSize_.height());
    if (!theBuffer_ || W < 1 || H < 1 || W > 65535 || H > 65535) return nullptr;
    const int iw = theBuffer_->imageWidth(), ih = theBuffer_->imageHeight();

    std::array<std::vector<uint64_t>, 4> hist;
    for (auto& h : hist) h.assign(size_t(W), 0);
    std::vector<float> row(size_t(iw) * 4);
    std::array<std::vector<uint64_t>, 4> rowHist;
    for (auto& h : rowHist) h.assign(size_t(W), 0);
    uint64_t* const rowHistograms[4] = {rowHist[0].data(), rowHist[1].data(), rowHist[2].data(),
                                        rowHist[3].data()};
    for (int y = 0; y < ih; ++y) {
        float* samples = theBuffer_->bufferFloatForRow(y);
        if (!samples) continue;
        platform::vimage::gammaPlanarF(samples, size_t(iw) * 4, 0.45454544f);
        const long error = platform::vimage::histogramFFFF(samples, size_t(iw), uint32_t(W), 0.0f,
                                                           1.0f, rowHistograms);
        if (error) platform::log("error %ld", error);
        for (int c = 0; c < 4; ++c)
            for (int b = 0; b < W; ++b) hist[c][size_t(b)] += rowHist[c][size_t(b)];
    }

    uint64_t peak = 0;
    if (W >= 5)
        for (int c = 0; c < 3; ++c)
            for (int b = 2; b <= W - 3; ++b) peak = std::max(peak, hist[c][size_t(b)]);
    // An empty counted range (all black, or under five bins) has no scale:
    // its bars have no height.
    const float scale = peak ? float(H) / float(peak) : 0.0f;

    auto picture = ImageBufferU16::initWithSize(uint16_t(W), uint16_t(H), nullptr, nullptr);
    if (!picture) return nullptr;
    for (int b = 0; b < W; ++b) {
        int h[3];
        for (int c = 0; c < 3; ++c) h[c] = std::min(H, int(float(hist[c][size_t(b)]) * scale));
        for (int y = 0; y < H; ++y) {
            uint16_t* p = picture->bufferU16ForRow(H - 1 - y, b);
            uint16_t px[3] = {6500, 6500, 6500};
            for (int c = 0; c < 3; ++c)
                if (y <= h[c]) px[c] = 65535;
            if (px[0] == 65535 && px[1] == 65535 && px[2] == 65535) px[0] = px[1] = px[2] = 20000;
            p[0] = px[0];
            p[1] = px[1];
            p[2] = px[2];
            p[3] = 65535;
        }
    }
    theBuffer_.reset();
    return picture;
}

// ---------------------------------------------------------------- the view

struct CIImageView::State {
    std::mutex lock;
    std::shared_ptr<ImageBuffer> theImage;
    QImage theCGImage;
    bool isRunning = false;
    bool isDirty = false;
    QSizeF outputSize;
    int builds = 0;
    QPointer<CIImageView> view;
};

CIImageView::CIImageView(QWidget* parent) : QWidget(parent), state_(std::make_shared<State>()) {
    state_->view = this;
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumHeight(60);
    connect(this, &CIImageView::updateDone, this, qOverload<>(&QWidget::update));
}

CIImageView::~CIImageView() {
    std::lock_guard lock(state_->lock);
    state_->view = nullptr;
    state_->theImage.reset();
}

QImage CIImageView::picture() const {
    std::lock_guard lock(state_->lock);
    return state_->theCGImage;
}

int CIImageView::buildCount() const {
    std::lock_guard lock(state_->lock);
    return state_->builds;
}

void CIImageView::setImage(std::shared_ptr<ImageBuffer> buffer) {
    bool running;
    {
        std::lock_guard lock(state_->lock);
        state_->theImage = std::move(buffer);
        state_->isDirty = true;
        running = state_->isRunning;
        if (running || !state_->theImage) return;
        state_->isRunning = true;
        const double dpr = devicePixelRatioF();
        state_->outputSize = QSizeF(width() * dpr - 2, height() * dpr - 2);
    }
    auto state = state_;
    QueueEngine::sharedQueueEngine().sharedQueue()->async([state] {
        std::unique_lock lock(state->lock);
        while (state->isDirty) {
            state->isDirty = false;
            state->isRunning = true;
            lock.unlock();
            buildHistogramImage(state);
            lock.lock();
        }
        state->isRunning = false;
        QPointer<CIImageView> view = state->view;
        lock.unlock();
        platform::DispatchQueue::main()->async([view] {
            if (view) emit view->updateDone();
        });
    });
}

void CIImageView::buildHistogramImage(const std::shared_ptr<State>& state) {
    std::unique_ptr<HistogramBuilder> builder;
    QSizeF size;
    {
        std::lock_guard lock(state->lock);
        if (!state->theImage) return;
        builder = HistogramBuilder::initWithBuffer(*state->theImage);
        size = state->outputSize;
        ++state->builds;
    }
    if (!builder) return;
    builder->setOutputSize(size);
    auto picture = builder->getOutputImage();
    if (!picture) return;
    QImage rendered = createRenderedImage(*picture);
    if (rendered.isNull()) return;
    std::lock_guard lock(state->lock);
    state->theCGImage = rendered;
    if (!state->isDirty) state->theImage.reset();
}

QImage CIImageView::createRenderedImage(const ImageBufferU16& picture) {
    const int w = picture.imageWidth(), h = picture.imageHeight();
    if (w <= 0 || h <= 0) return {};
    QImage image(w, h, QImage::Format_RGB32);
    if (image.isNull()) return {};
    for (int y = 0; y < h; ++y) {
        const uint16_t* in = picture.bufferU16ForRow(y);
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x, in += 4)
            out[x] = qRgb(in[0] * 255 / 65535, in[1] * 255 / 65535, in[2] * 255 / 65535);
    }
    return image;
}

void CIImageView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().mid());
    const QImage image = picture();
    if (image.isNull()) return;
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRectF(1, 1, width() - 2, height() - 2), image);
}
