// A holder of MAPI property values: all properties of an object read with
// GetProps, or the values of a table row or of a caller borrowed as they are.
// Values are looked up by property ID with the property type ignored, so a
// caller may ask for PR_SUBJECT as PT_STRING8 and find it in any string type.
#pragma once

#include "props/Mapi.h"

#include <string>
#include <vector>

class CPropValueArray
{
public:
    CPropValueArray() = default;
    ~CPropValueArray();
    CPropValueArray(const CPropValueArray&) = delete;
    CPropValueArray& operator=(const CPropValueArray&) = delete;

    // Frees what it owns, then reads every property of pObj (GetProps with no
    // tag list and no flags: strings come back as PT_STRING8). With bOwned
    // TRUE the values are freed by Release and by the next load; with FALSE
    // they are left to live on (callers that keep pointers into them).
    // Returns the GetProps HRESULT.
    HRESULT LoadProps(IMAPIProp* pObj, BOOL bOwned);

    // Borrows a table row's values; they are never freed by the array.
    void AttachRow(const SRow& row);

    // Borrows a caller's values; they are never freed by the array.
    void AttachValues(SPropValue* pValues, ULONG cValues);

    // Frees the values if they were read with bOwned TRUE, then empties.
    void Release();

    // The first value whose property ID equals that of ulPropTag, or null.
    SPropValue* Find(ULONG ulPropTag) const;

    // Find of each value's own tag, for every value in one pass: first[i]
    // is the first value with the property ID of the value at i.
    void FindEach(std::vector<const SPropValue*>& first) const;

    // The found value's 32-bit Value.l, or -1 when absent.
    LONG GetLong(ULONG ulPropTag) const;

    // TRUE when a value is found and its 16-bit Value.b equals 1.
    BOOL IsTrue(ULONG ulPropTag) const;

    ULONG Count() const { return m_cValues; }
    SPropValue* Values() const { return m_pValues; }
    // No bounds check: callers stay below Count().
    SPropValue* At(ULONG i) const { return &m_pValues[i]; }
    // The object the values were read from; null for borrowed values.
    IMAPIProp* Source() const { return m_pSource; }

    // Reads the whole property ulPropTag of the source object as a stream
    // (OpenProperty with IID_IStream) in 1024-byte chunks. Each chunk that
    // delivers data takes a whole 1024-byte slot of data, zero after the
    // bytes delivered; cbData grows by the number of bytes delivered (callers
    // start it at 0). On an OpenProperty failure, that HRESULT is returned and
    // data and cbData are untouched; a stream that delivers nothing leaves
    // them untouched too. A failing read ends the reading.
    HRESULT ReadStream(ULONG ulPropTag, std::vector<BYTE>& data, ULONG& cbData) const;

    // Renders the first value with the property ID of ulPropTag with
    // PropValueToText into strText (at most cchText - 1 bytes); leaves strText
    // untouched when there is none. This is the text of a name taken from a
    // property (a tree item, a file name, a message class): an error value
    // stands for a value the object could not give, so it leaves strText
    // untouched too. The value's own text, errors included, is
    // PropValueToText of Find(ulPropTag).
    void FormatProp(std::string& strText, UINT cchText, ULONG ulPropTag) const;

    // Empties strText, then does what FormatProp does. FALSE when no value
    // with that property ID is in the array.
    BOOL GetPropText(ULONG ulPropTag, std::string& strText, UINT cchText) const;

private:
    void FreeOwned();

    BOOL m_bOwned = 1;
    IMAPIProp* m_pSource = nullptr; // not owned
    ULONG m_cValues = 0;
    SPropValue* m_pValues = nullptr;
};
