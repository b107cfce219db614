// The page list of the main window as a Qt model: rows are filled on demand from the
// session's page list (the list view asks only for the rows it shows). Display only: every
// database call goes by row, so names never pass through here.
#pragma once

#include <QAbstractTableModel>

#include <string>

// A page name as shown: UTF-8 when the bytes are valid UTF-8, else Windows-1252, which is what
// a browser sends from a form on a page that names no character set.
QString DisplayText(const std::string& Bytes);

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
