// The page list model: two columns, "Node name" and "Hits", read from the session row by row.
#include "adminutil/NodeListModel.h"

#include "adminutil/CounterSession.h"

#include <QStringDecoder>

namespace {

enum TNodeColumn { NameColumn, HitsColumn, ColumnCount };

// Windows-1252 at 0x80..0x9F (the rest is Latin-1); the five bytes it leaves free map to the
// control character of the same number, as browsers do.
const char16_t Windows1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                      0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

} // namespace

QString DisplayText(const std::string& Bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(QByteArrayView(Bytes.data(), qsizetype(Bytes.size())));
    if (!utf8.hasError()) return text;
    text.clear();
    text.reserve(qsizetype(Bytes.size()));
    for (char c : Bytes) {
        auto b = static_cast<unsigned char>(c);
        text += QChar(b >= 0x80 && b < 0xA0 ? Windows1252High[b - 0x80] : char16_t(b));
    }
    return text;
}

TNodeListModel::TNodeListModel(TCounterSession& Session, QObject* Parent)
    : QAbstractTableModel(Parent), Session(Session) {}

int TNodeListModel::rowCount(const QModelIndex& Parent) const { return Parent.isValid() ? 0 : Session.NodeCount(); }

int TNodeListModel::columnCount(const QModelIndex& Parent) const { return Parent.isValid() ? 0 : ColumnCount; }

QVariant TNodeListModel::data(const QModelIndex& Index, int Role) const {
    if (Role != Qt::DisplayRole || !Index.isValid()) return {};
    return DisplayText(Index.column() == NameColumn ? Session.NodeName(Index.row())
                                                    : Session.NodeHitsText(Index.row()));
}

QVariant TNodeListModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
    if (Role != Qt::DisplayRole || Orientation != Qt::Horizontal) return {};
    if (Section == NameColumn) return QStringLiteral("Node name");
    if (Section == HitsColumn) return QStringLiteral("Hits");
    return {};
}
