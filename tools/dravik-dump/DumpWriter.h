// The output of dravik-dump: one line per object, as indented text or as one
// JSON object per line. A pipe or a terminal gets each line as soon as it is
// known; a regular file gets them in large writes (see Emit and Flush).
#pragma once

#include "content/MessageBody.h"
#include "props/Mapi.h"
#include "props/PropText.h"
#include "props/PropValueArray.h"

#include <csignal>
#include <span>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A JSON string literal (with its quotes) of arbitrary bytes. Valid UTF-8 is
// kept as it is; quotes, backslashes and control characters are escaped; every
// byte that is not part of a valid UTF-8 sequence (a stray continuation byte,
// a truncated or overlong sequence, an encoded surrogate, a code point above
// U+10FFFF) becomes U+FFFD, so the result is always valid JSON.
std::string JsonString(std::string_view bytes);

// A text for one line of the text output: backslash, line feed, carriage
// return and tab as \\, \n, \r and \t, every other control character
// (0x00-0x1F, 0x7F) as \xHH. Other bytes are written as they are.
std::string TextLine(std::string_view bytes);

class CDumpWriter
{
public:
    enum class Format { Text, Json };

    // Writes to out (not owned). With bProps the property rows given to
    // Write are written too; without, they are ignored. Once *pStop is set
    // (by a signal handler), a write waiting for room fails with EINTR.
    CDumpWriter(std::FILE* out, Format format, bool bProps, const volatile std::sig_atomic_t* pStop = nullptr);

    // One object: its depth in the tree (0 for the roots), its kind
    // ("category", "store", "folder", ...) and its text, followed (with
    // bProps) by every property row.
    void Write(int nDepth, std::string_view kind, std::string_view text, std::span<const CPropRowText> rows);

    // The same in three steps, for an object whose property rows are written
    // straight from its values: the object's line begun, with bProps the rows
    // of its values, then the line ended (with the body SetNextBody gave).
    // Write(rows) is BeginObject, the rows and EndObject.
    void BeginObject(int nDepth, std::string_view kind, std::string_view text);
    // Every row of the property listing of these values (without bProps,
    // none), in the order the list shows them before any sort: each row is
    // inserted at the top, so the last value comes first. Each row's texts
    // are those of FormatPropRow (JSON with each value whole, text cut as
    // the list cuts it); pSource is the object the values came from, or null
    // for a table row's values. A value that cannot be read whole is added
    // to failures with its tag and why.
    void WriteProps(const CPropValueArray& props, IMAPIProp* pSource,
                    std::vector<std::pair<ULONG, HRESULT>>& failures);
    void EndObject();

    // The same for the "Named Properties" node, whose rows are the four texts
    // of each named property (ID, KIND, NAME, GUID).
    void WriteNamed(int nDepth, std::string_view kind, std::string_view text, const std::vector<CNamedPropText>& rows);

    // One row of a contents table, listed without opening its message: the
    // value of each column in the row's order. JSON: {"depth":d,"kind":"row",
    // "values":{"0x0037001F":"...",...}} with every value whole; text: "row:"
    // and the values, each after a tab, cut as the property list cuts them.
    void WriteRow(int nDepth, const SRow& row);

    // False once a write failed (a closed pipe, a full disk): the caller
    // stops, as nothing more can be delivered.
    bool Ok() const { return m_bOk; }
    // The errno of the failed write.
    int Error() const { return m_nErrno; }

    bool WantsProps() const { return m_bProps; }
    // JSON carries every value whole; text lines carry them cut as the
    // property list shows them.
    bool WholeValues() const { return m_format == Format::Json; }

    // With bodies (--bodies), each message's line carries its body: in JSON an
    // object "body" with the members "rtf", "html", "text" and "source" that
    // exist (a message without any body gets an empty one), in text one row
    // per part after the property rows, "body.<part>" and its text separated
    // by a tab. Values are written whole.
    void SetBodies(bool bBodies) { m_bBodies = bBodies; }
    bool WantsBodies() const { return m_bBodies; }
    // The body the next Write carries (not owned; it must live until then).
    void SetNextBody(const dravik::content::MessageBody* pBody) { m_pNextBody = pBody; }

    // Writes what is gathered for a regular file (the destructor does too).
    // A failure shows in Ok() and Error().
    void Flush();

    ~CDumpWriter();
    CDumpWriter(const CDumpWriter&) = delete;
    CDumpWriter& operator=(const CDumpWriter&) = delete;

private:
    // A column of a property row: its JSON member's start after the comma
    // that separates it from the one before (",\"tag\":"), and its text.
    template <class Row>
    struct CColumn
    {
        std::string_view key;
        std::string Row::*pText;
    };

    // The object's line and, with bProps, one row (JSON: one object) per row
    // of rows, its columns in the order given.
    template <class Row, size_t N>
    void WriteObject(int nDepth, std::string_view kind, std::string_view text, std::span<const Row> rows,
                     const CColumn<Row> (&columns)[N]);
    // The texts of a property row that depend on its tag alone, kept for
    // the tags met (a store uses a few hundred): JSON or text as written,
    // up to the Named ID's text (head, in JSON with the comma that
    // separates the row from the one before) and from its end to the
    // value's text (tail); whole is head and tail (an empty Named ID).
    struct CTagTexts
    {
        ULONG ulTag = 0;
        unsigned long nGeneration = 0;  // of the dictionary they were made from
        bool bMade = false;
        std::string head, tail, whole;
    };
    const CTagTexts& TagTexts(ULONG ulTag, unsigned long nGeneration);
    // The text appended to m_line from `from` on made fit for the line:
    // escaped where it has to be (not looked at when bPlain says it needs
    // no escaping), then closing appended (JSON: the text's opening quote is
    // before from, and closing begins with its closing quote).
    void FinishText(size_t from, bool bPlain, std::string_view closing);
    void Head(std::string& line, int nDepth, std::string_view kind, std::string_view text);
    void AppendBody(std::string& line, int nDepth, const dravik::content::MessageBody& body) const;
    // Ends an object's line in m_line: writes what m_line holds, or for a
    // regular file leaves it gathering until it is large.
    void Emit();
    void Send(const std::string& line);
    // Makes the fixed parts of WriteRow's lines for rows of row's tags at
    // nDepth, unless the last row's were the same.
    void RowKeys(int nDepth, const SRow& row);

    std::FILE* m_pOut;
    Format m_format;
    bool m_bProps;
    bool m_bBodies = false;
    int m_nDepth = 0;  // of the object BeginObject began
    const dravik::content::MessageBody* m_pNextBody = nullptr;
    const volatile std::sig_atomic_t* m_pStop;
    bool m_bOk = true;
    int m_nErrno = 0;
    bool m_bMayBlock = true;  // a pipe, a terminal or a socket: wait for room in short polls; else gather lines
    std::string m_line;
    std::string m_value;  // a row's value text before it is escaped, reused
    // WriteRow's fixed parts: the line's start, then each column's key (JSON)
    // or tab (text), for rows of the tags m_rowTags at depth m_nRowDepth;
    // m_rowKeyEnds holds where each part ends in m_rowKeys.
    int m_nRowDepth = -1;
    std::vector<ULONG> m_rowTags;
    std::string m_rowKeys;
    std::vector<size_t> m_rowKeyEnds;
    std::vector<CTagTexts> m_tagTexts;  // by a hash of the tag, made on first use
    std::vector<const SPropValue*> m_firstValues;  // of the values WriteProps writes, reused
};
