#pragma once

#include <QList>
#include <QStringList>
#include <QTreeWidget>

namespace Nimbo::Demo {

// The folder tree of the main window as a place to drag to: items dragged inside it come back as
// ItemsDropped (by their names from the top), local files dropped on it from the desktop as
// FilesDropped. The tree never moves its items itself; the window does, once the service has.
class TFileTree : public QTreeWidget {
    Q_OBJECT

public:
    // The format of the tree's own drags: the tree's identity and the items' names from the top.
    static constexpr const char* ItemsFormat = "application/x-cloudpane-items";

    explicit TFileTree(QWidget* AParent = nullptr);

signals:
    // ATarget: the item the drop landed on (none: empty space).
    void ItemsDropped(const QList<QStringList>& APaths, QTreeWidgetItem* ATarget);
    void FilesDropped(const QStringList& AFiles, QTreeWidgetItem* ATarget);

protected:
    QMimeData* mimeData(const QList<QTreeWidgetItem*>& AItems) const override;
    QStringList mimeTypes() const override;
    Qt::DropActions supportedDropActions() const override;
    void dragEnterEvent(QDragEnterEvent* AEvent) override;
    void dragMoveEvent(QDragMoveEvent* AEvent) override;
    void dropEvent(QDropEvent* AEvent) override;

private:
    // The items of a drag that this tree started; empty for anything else.
    QList<QStringList> OwnItems(const QMimeData* AData) const;
    static QStringList LocalFiles(const QMimeData* AData);
};

}  // namespace Nimbo::Demo
