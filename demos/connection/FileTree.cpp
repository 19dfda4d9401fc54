#include "FileTree.h"

#include <QDataStream>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace Nimbo::Demo {

namespace {

QStringList NamesFromTop(const QTreeWidgetItem* AItem) {
    QStringList names;
    for (; AItem != nullptr; AItem = AItem->parent()) names.prepend(AItem->text(0));
    return names;
}

}  // namespace

TFileTree::TFileTree(QWidget* AParent) : QTreeWidget(AParent) {
    setDragEnabled(true);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);
}

QStringList TFileTree::mimeTypes() const { return {ItemsFormat, "text/uri-list"}; }

Qt::DropActions TFileTree::supportedDropActions() const { return Qt::MoveAction | Qt::CopyAction; }

QMimeData* TFileTree::mimeData(const QList<QTreeWidgetItem*>& AItems) const {
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    QList<QStringList> paths;
    for (const QTreeWidgetItem* item : AItems) paths << NamesFromTop(item);
    stream << quint64(reinterpret_cast<quintptr>(this)) << paths;
    auto* data = new QMimeData;
    data->setData(ItemsFormat, bytes);
    return data;
}

QList<QStringList> TFileTree::OwnItems(const QMimeData* AData) const {
    if (AData == nullptr || !AData->hasFormat(ItemsFormat)) return {};
    QDataStream stream(AData->data(ItemsFormat));
    quint64 tree = 0;
    QList<QStringList> paths;
    stream >> tree >> paths;
    if (stream.status() != QDataStream::Ok || tree != quint64(reinterpret_cast<quintptr>(this))) return {};
    return paths;
}

QStringList TFileTree::LocalFiles(const QMimeData* AData) {
    QStringList files;
    if (AData == nullptr || !AData->hasUrls()) return files;
    for (const QUrl& url : AData->urls())
        if (url.isLocalFile()) files << url.toLocalFile();
    return files;
}

void TFileTree::dragEnterEvent(QDragEnterEvent* AEvent) {
    if (!OwnItems(AEvent->mimeData()).isEmpty() || !LocalFiles(AEvent->mimeData()).isEmpty())
        AEvent->acceptProposedAction();
    else
        AEvent->ignore();
}

void TFileTree::dragMoveEvent(QDragMoveEvent* AEvent) {
    bool own = !OwnItems(AEvent->mimeData()).isEmpty();
    if (!own && LocalFiles(AEvent->mimeData()).isEmpty()) return AEvent->ignore();
    AEvent->setDropAction(own ? Qt::MoveAction : Qt::CopyAction);
    AEvent->accept();
}

void TFileTree::dropEvent(QDropEvent* AEvent) {
    QTreeWidgetItem* target = itemAt(AEvent->position().toPoint());
    QList<QStringList> paths = OwnItems(AEvent->mimeData());
    QStringList files = paths.isEmpty() ? LocalFiles(AEvent->mimeData()) : QStringList();
    if (paths.isEmpty() && files.isEmpty()) return AEvent->ignore();
    // The window moves the items (or adds the uploads) itself once the service has done so.
    AEvent->setDropAction(Qt::IgnoreAction);
    AEvent->accept();
    if (!paths.isEmpty())
        emit ItemsDropped(paths, target);
    else
        emit FilesDropped(files, target);
}

}  // namespace Nimbo::Demo
