// The trace pane's text: every line the workspace's calls traced, kept
// compactly as a list model with one row a line.
//
// A listing traces the same few call lines over and over (a folder of 250,000
// messages makes millions of lines out of a few dozen texts), so each distinct
// line text is kept once and a line is the 32-bit number of its text. Text is
// taken in as the writers give it, UTF-8 chunks that need not end a line;
// what follows the last line break is the last row, as a text editor shows it
// (the text "a\nb\n" is the three rows "a", "b" and an empty one).
//
// Appends are cheap and silent: they wait as bytes until Flush puts them into
// the rows, with one insertion for all of them. Readers of the rows call Flush
// first (the pane does it once per turn of the event loop).
#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class QIODevice;

class CTraceModel : public QAbstractListModel
{
    Q_OBJECT
public:
    explicit CTraceModel(QObject* pParent = nullptr);

    // Adds the bytes (UTF-8) at the end of the text, not yet to the rows.
    void Append(const char* pszUtf8, qsizetype nBytes);
    void Append(const QString& strText);
    // Whether text was appended since the last Flush.
    bool HasPending() const { return !m_pending.isEmpty(); }
    // Puts the text appended since the last call into the rows: the new
    // complete lines are inserted (the last row, the unfinished line, is
    // changed in place) with one insertion.
    void Flush();
    // Empties the text and the rows.
    void Clear();

    // The rows as Flush left them.
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int nRole) const override;
    int LineCount() const { return static_cast<int>(m_lines.size()) + 1; }
    const QString& Line(int nRow) const;
    bool IsEmpty() const { return m_lines.empty() && m_strTail.isEmpty(); }

    // The distinct texts of the complete lines, each once, in the order they
    // first came: a view measures each once.
    int TextCount() const { return static_cast<int>(m_texts.size()); }
    const QString& Text(int nText) const { return m_texts[static_cast<size_t>(nText)]; }

    // The text from (nFromRow, nFromCol) up to (nToRow, nToCol), columns in
    // UTF-16 units of the rows' texts, lines joined by "\n".
    QString TextBetween(int nFromRow, int nFromCol, int nToRow, int nToCol) const;
    // The whole text.
    QString PlainText() const;
    // Writes the whole text as UTF-8; false when the device fails.
    bool WriteUtf8(QIODevice& device) const;

private:
    // The number of the text, added when new.
    uint32_t Intern(std::string_view line);

    // Each complete line: the number of its text.
    std::vector<uint32_t> m_lines;
    // The distinct texts, as shown and as UTF-8.
    std::vector<QString> m_texts;
    // Looked up by a view of the appended bytes, without a copy.
    struct CHash
    {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, uint32_t, CHash, std::equal_to<>> m_textNumbers;
    // The unfinished last line, as UTF-8 (a character may be split between
    // two appends) and as shown.
    QByteArray m_tail;
    QString m_strTail;
    // Appended, not yet in the rows.
    QByteArray m_pending;
};
