// The browser grid's model over a BrowserDataSource: one row per listed
// child of the root, with its title, subtitle, path and picture. The picture
// wraps the node's bitmap in a QImage without copying it (the QImage's
// cleanup holds the bitmap), so thumbnails made on the data source's queue
// never pass through Qt off the GUI thread.
//
// A thumbnail that arrives changes its own row only; relist() resets the
// model after the folder changed, and indexes the rows by node and by path
// so that neither lookup walks the listing. GUI thread only.
#pragma once

#include <QAbstractListModel>
#include <QImage>
#include <memory>
#include <string>
#include <unordered_map>

#include "document/BrowserDataSource.h"

class BrowserItemModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Roles { TitleRole = Qt::UserRole + 1, SubtitleRole, PathRole, IsDirectoryRole };

    explicit BrowserItemModel(std::shared_ptr<BrowserDataSource> source, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    std::shared_ptr<FSNodeInfo> nodeAt(int row) const;
    // The row of the node with that path, or -1.
    int rowForPath(const QString& path) const;
    // The listing changed (new root, folder events, filter): all rows anew.
    void relist();
    // A node's thumbnail arrived: that row's picture changed.
    void iconDidChange(const std::shared_ptr<FSNodeInfo>& node);
    // The view shows rows first ... last (none when last < first): thumbnail
    // work for any other row is dropped.
    void setVisibleRows(int first, int last);

    // A QImage over the bitmap's own bytes (8-bit RGBA/RGBX or 16-bit RGBA),
    // kept alive by the image; a copy for other layouts.
    static QImage imageFromBitmap(const std::shared_ptr<const platform::BitmapImage>& bitmap);

private:
    std::shared_ptr<BrowserDataSource> source_;
    std::vector<std::shared_ptr<FSNodeInfo>> rows_;
    std::unordered_map<const FSNodeInfo*, int> rowOfNode_;
    std::unordered_map<std::string, int> rowOfPath_;
};
