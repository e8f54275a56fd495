// The metadata inspector: a tool window with a tree of the current
// document's metadata dictionary (label, value), one branch per group
// (TIFF, EXIF, EXIF auxiliary, DNG, GPS), groups expanded. The table of 119
// known keys gives each entry's format and label; keys outside it, and
// hidden rows (format 0), are not shown.
//
// propTree, itemIndex, prettyName, prettyValue and appendWithSeparator are
// pure functions over the read-only table: safe from any thread. The window
// lives on the GUI thread; the shell feeds it through setData.
#pragma once

#include <QPointer>
#include <QWidget>
#include <string>
#include <vector>

#include "platform/Value.h"

class QStandardItemModel;
class QTreeView;

struct InspectorNode {
    std::string key;  // the label shown
    std::string val;  // the value text ("" for a group)
    std::vector<InspectorNode> children;
};

struct InspectorProperty {
    const char* group;  // sub-dictionary key, null for the top level
    const char* key;
    int format;
    const char* label;  // null: derived from the key
};

class InspectorController : public QWidget {
    Q_OBJECT
public:
    static constexpr int kPropertyCount = 119;
    static const std::vector<InspectorProperty>& propertyTable();

    explicit InspectorController(QWidget* parent = nullptr);

    // The inspector the shell shows: made on first use, lives for the process.
    static InspectorController* shared(bool create);
    static void installInspectorHooks();

    // Nothing happens when it is the dictionary already shown.
    void setData(const platform::Value& dictionary);
    const platform::Value& data() const { return theData_; }
    QTreeView* outlineView() const { return view_; }
    QStandardItemModel* treeModel() const { return model_; }

    static std::vector<InspectorNode> propTree(const platform::Dictionary& dictionary);
    static int itemIndex(const std::string& key);
    static std::string prettyName(const std::string& key);
    static std::string prettyValue(const platform::Value& value, int index);
    static std::string appendWithSeparator(const std::string& text, const std::string& append,
                                           const std::string& separator);

private:
    QTreeView* view_ = nullptr;
    QStandardItemModel* model_ = nullptr;
    platform::Value theData_;
};
