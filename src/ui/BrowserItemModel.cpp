#include "ui/BrowserItemModel.h"

#include <algorithm>

#include "ui/BitmapQImage.h"

namespace {

void releaseBitmap(void* info) {
    delete static_cast<std::shared_ptr<const platform::BitmapImage>*>(info);
}

}  // namespace

BrowserItemModel::BrowserItemModel(std::shared_ptr<BrowserDataSource> source, QObject* parent)
    : QAbstractListModel(parent), source_(std::move(source)) {
    relist();
}

int BrowserItemModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(rows_.size());
}

std::shared_ptr<FSNodeInfo> BrowserItemModel::nodeAt(int row) const {
    return row >= 0 && size_t(row) < rows_.size() ? rows_[size_t(row)] : nullptr;
}

int BrowserItemModel::rowForPath(const QString& path) const {
    auto found = rowOfPath_.find(path.toStdString());
    return found == rowOfPath_.end() ? -1 : found->second;
}

QVariant BrowserItemModel::data(const QModelIndex& index, int role) const {
    auto node = index.isValid() ? nodeAt(index.row()) : nullptr;
    if (!node) return {};
    switch (role) {
        case Qt::DisplayRole:
        case TitleRole:
            return QString::fromStdString(node->imageTitle());
        case SubtitleRole:
            return QString::fromStdString(node->imageSubtitle());
        case Qt::ToolTipRole:
            // The title may be cut short; the tooltip has the whole name.
            return QString::fromStdString(node->lastPathComponent());
        case PathRole:
            return QString::fromStdString(node->absolutePath());
        case IsDirectoryRole:
            return node->isDirectory();
        case Qt::DecorationRole: {
            BrowserImage image = node->iconImageOfSize({0, 0});
            QImage q = imageFromBitmap(image.bitmap);
            if (q.isNull()) return {};
            return q;
        }
        default:
            return {};
    }
}

Qt::ItemFlags BrowserItemModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

void BrowserItemModel::relist() {
    beginResetModel();
    rows_.clear();
    rowOfNode_.clear();
    rowOfPath_.clear();
    if (auto root = source_->getRoot()) rows_ = root->subNodes();
    for (size_t i = 0; i < rows_.size(); ++i) {
        rowOfNode_.emplace(rows_[i].get(), int(i));
        rowOfPath_.emplace(rows_[i]->absolutePath(), int(i));
    }
    endResetModel();
}

void BrowserItemModel::iconDidChange(const std::shared_ptr<FSNodeInfo>& node) {
    auto found = rowOfNode_.find(node.get());
    if (found == rowOfNode_.end()) return;
    QModelIndex at = index(found->second);
    emit dataChanged(at, at, {Qt::DecorationRole});
}

void BrowserItemModel::setVisibleRows(int first, int last) {
    std::vector<std::shared_ptr<FSNodeInfo>> shown;
    first = std::max(first, 0);
    last = std::min(last, int(rows_.size()) - 1);
    for (int row = first; row <= last; ++row) shown.push_back(rows_[size_t(row)]);
    source_->setVisibleItems(shown);
}

QImage BrowserItemModel::imageFromBitmap(
    const std::shared_ptr<const platform::BitmapImage>& bitmap) {
    if (!bitmap || !bitmap->dataProvider()) return {};
    const auto& b = *bitmap;
    const uint32_t alpha = b.alphaInfo();
    QImage::Format format = QImage::Format_Invalid;
    if (b.bitsPerComponent() == 8 && b.bitsPerPixel() == 32 && !b.isFloat()) {
        if (alpha == platform::kBitmapAlphaLast) format = QImage::Format_RGBA8888;
        if (alpha == platform::kBitmapAlphaPremultipliedLast)
            format = QImage::Format_RGBA8888_Premultiplied;
        if (alpha == platform::kBitmapAlphaNoneSkipLast) format = QImage::Format_RGBX8888;
    } else if (b.bitsPerComponent() == 16 && b.bitsPerPixel() == 64 && !b.isFloat() &&
               (b.byteOrderInfo() == platform::kBitmapByteOrderDefault ||
                b.byteOrderInfo() == platform::kBitmapByteOrder16Little)) {
        if (alpha == platform::kBitmapAlphaLast) format = QImage::Format_RGBA64;
        if (alpha == platform::kBitmapAlphaPremultipliedLast)
            format = QImage::Format_RGBA64_Premultiplied;
        if (alpha == platform::kBitmapAlphaNoneSkipLast) format = QImage::Format_RGBX64;
    }
    const size_t needed = b.bytesPerRow() * b.height();
    if (format == QImage::Format_Invalid || b.width() == 0 || b.height() == 0 ||
        b.width() > 65535 || b.height() > 65535 || b.dataProvider()->length() < needed)
        return platform::qImageFromBitmap(b);
    return QImage(b.dataProvider()->bytes(), int(b.width()), int(b.height()),
                  qsizetype(b.bytesPerRow()), format, releaseBitmap,
                  new std::shared_ptr<const platform::BitmapImage>(bitmap));
}
