// The page list model: two columns, "Node name" and "Hits", read from the session row by row.
#include "adminutil/NodeListModel.h"

#include "adminutil/CounterSession.h"

namespace {
enum TNodeColumn { NameColumn, HitsColumn, ColumnCount };
} // namespace

TNodeListModel::TNodeListModel(TCounterSession& Session, QObject* Parent)
    : QAbstractTableModel(Parent), Session(Session) {}

int TNodeListModel::rowCount(const QModelIndex& Parent) const { return Parent.isValid() ? 0 : Session.NodeCount(); }

int TNodeListModel::columnCount(const QModelIndex& Parent) const { return Parent.isValid() ? 0 : ColumnCount; }

QVariant TNodeListModel::data(const QModelIndex& Index, int Role) const {
    if (Role != Qt::DisplayRole || !Index.isValid()) return {};
    std::string text = Index.column() == NameColumn ? Session.NodeName(Index.row()) : Session.NodeHitsText(Index.row());
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QVariant TNodeListModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
    if (Role != Qt::DisplayRole || Orientation != Qt::Horizontal) return {};
    if (Section == NameColumn) return QStringLiteral("Node name");
    if (Section == HitsColumn) return QStringLiteral("Hits");
    return {};
}
