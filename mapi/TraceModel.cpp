#include "mapi/TraceModel.h"

#include <QIODevice>

#include <algorithm>
#include <utility>

CTraceModel::CTraceModel(QObject* pParent)
    : QAbstractListModel(pParent)
{
}

void CTraceModel::Append(const char* pszUtf8, qsizetype nBytes)
{
    if (pszUtf8 != nullptr && nBytes > 0)
        m_pending.append(pszUtf8, nBytes);
}

void CTraceModel::Append(const QString& strText)
{
    m_pending.append(strText.toUtf8());
}

uint32_t CTraceModel::Intern(std::string_view line)
{
    const auto it = m_textNumbers.find(line);
    if (it != m_textNumbers.end())
        return it->second;
    const auto nText = static_cast<uint32_t>(m_texts.size());
    m_texts.push_back(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
    m_textNumbers.emplace(line, nText);
    return nText;
}

void CTraceModel::Flush()
{
    if (m_pending.isEmpty())
        return;
    const QByteArray pending = std::exchange(m_pending, QByteArray());
    const qsizetype nLastBreak = pending.lastIndexOf('\n');
    if (nLastBreak < 0) {
        // Only the unfinished line grows.
        m_tail += pending;
        m_strTail = QString::fromUtf8(m_tail);
        const QModelIndex last = index(static_cast<int>(m_lines.size()));
        emit dataChanged(last, last, {Qt::DisplayRole});
        return;
    }
    // Every break ends a line: the unfinished one first, with what comes
    // before the first break.
    const int nOldLast = static_cast<int>(m_lines.size());
    const int nNewLines = static_cast<int>(pending.count('\n'));
    beginInsertRows(QModelIndex(), nOldLast + 1, nOldLast + nNewLines);
    qsizetype nStart = 0;
    while (nStart <= nLastBreak) {
        const qsizetype nBreak = pending.indexOf('\n', nStart);
        const std::string_view piece(pending.constData() + nStart, static_cast<size_t>(nBreak - nStart));
        if (!m_tail.isEmpty()) {
            m_tail.append(piece.data(), static_cast<qsizetype>(piece.size()));
            m_lines.push_back(Intern(std::string_view(m_tail.constData(), static_cast<size_t>(m_tail.size()))));
            m_tail.clear();
        } else {
            m_lines.push_back(Intern(piece));
        }
        nStart = nBreak + 1;
    }
    m_tail = pending.mid(nLastBreak + 1);
    m_strTail = QString::fromUtf8(m_tail);
    endInsertRows();
    // The row that was the unfinished line now holds a complete one, and the
    // new last row the rest.
    emit dataChanged(index(nOldLast), index(nOldLast), {Qt::DisplayRole});
}

void CTraceModel::Clear()
{
    beginResetModel();
    m_lines = {};
    m_texts = {};
    m_textNumbers = {};
    m_tail.clear();
    m_strTail.clear();
    m_pending.clear();
    endResetModel();
}

int CTraceModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : LineCount();
}

QVariant CTraceModel::data(const QModelIndex& index, int nRole) const
{
    if (!index.isValid() || index.row() >= LineCount() || nRole != Qt::DisplayRole)
        return {};
    return Line(index.row());
}

const QString& CTraceModel::Line(int nRow) const
{
    if (nRow >= 0 && static_cast<size_t>(nRow) < m_lines.size())
        return m_texts[m_lines[static_cast<size_t>(nRow)]];
    return m_strTail;
}

QString CTraceModel::TextBetween(int nFromRow, int nFromCol, int nToRow, int nToCol) const
{
    if (std::pair(nToRow, nToCol) < std::pair(nFromRow, nFromCol)) {
        std::swap(nFromRow, nToRow);
        std::swap(nFromCol, nToCol);
    }
    nFromRow = std::clamp(nFromRow, 0, LineCount() - 1);
    nToRow = std::clamp(nToRow, 0, LineCount() - 1);
    QString strText;
    for (int nRow = nFromRow; nRow <= nToRow; ++nRow) {
        const QString& strLine = Line(nRow);
        const qsizetype nFrom = nRow == nFromRow ? std::clamp<qsizetype>(nFromCol, 0, strLine.size()) : 0;
        const qsizetype nTo = nRow == nToRow ? std::clamp<qsizetype>(nToCol, nFrom, strLine.size()) : strLine.size();
        strText += QStringView(strLine).mid(nFrom, nTo - nFrom);
        if (nRow != nToRow)
            strText += QLatin1Char('\n');
    }
    return strText;
}

QString CTraceModel::PlainText() const
{
    const QString& strLast = Line(LineCount() - 1);
    return TextBetween(0, 0, LineCount() - 1, static_cast<int>(strLast.size()));
}

bool CTraceModel::WriteUtf8(QIODevice& device) const
{
    // A few lines at a time: the whole trace of a large listing is hundreds
    // of megabytes as one string.
    QByteArray chunk;
    for (const uint32_t nText : m_lines) {
        chunk += m_texts[nText].toUtf8();
        chunk += '\n';
        if (chunk.size() >= (1 << 16)) {
            if (device.write(chunk) != chunk.size())
                return false;
            chunk.clear();
        }
    }
    chunk += m_tail;
    return device.write(chunk) == chunk.size();
}
