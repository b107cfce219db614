// The page list of the main window as a Qt model: rows are filled on demand from the
// session's page list (the list view asks only for the rows it shows). Display only: names
// are shown as UTF-8, but every database call goes by row, so names never pass through here.
#pragma once

#include <QAbstractTableModel>

class TCounterSession;

class TNodeListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    TNodeListModel(TCounterSession& Session, QObject* Parent = nullptr);

    int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& Parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation, int Role = Qt::DisplayRole) const override;

    // Brackets a change of the session's page list (load, reload, close).
    void BeginListChange() { beginResetModel(); }
    void EndListChange() { endResetModel(); }

private:
    TCounterSession& Session;
};
