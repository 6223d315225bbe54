// The headers of a message and its attachments by content ID, for the body view.
#include "content/MessageBody.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/rtfstream.h"
#include "mapi32/utf.h"

#include <algorithm>
#include <cctype>

namespace dravik::content {

namespace {

std::string TextOf(const SPropValue& v)
{
    if (PROP_TYPE(v.ulPropTag) == PT_UNICODE && v.Value.lpszW)
        return mapi32::Utf16ToUtf8(v.Value.lpszW);
    if (PROP_TYPE(v.ulPropTag) == PT_STRING8 && v.Value.lpszA)
        return v.Value.lpszA;
    return {};
}

std::string ContentIdKey(std::string id)
{
    id.erase(0, id.find_first_not_of(" \t<"));
    while (!id.empty() && (id.back() == '>' || id.back() == ' ' || id.back() == '\t'))
        id.pop_back();
    std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return id;
}

} // namespace

HRESULT ReadMessageHeaders(LPMAPIPROP obj, MessageHeaders& headers)
{
    headers = MessageHeaders{};
    if (!obj)
        return MAPI_E_INVALID_PARAMETER;
    enum { Representing, Sender, SenderAddress, RepresentingAddress, To, Cc, Subject, Submit, Delivery, Count };
    SizedSPropTagArray(Count, tags) = {Count,
                                       {PROP_TAG(PT_UNICODE, 0x0042), PROP_TAG(PT_UNICODE, 0x0C1A),
                                        PROP_TAG(PT_UNICODE, 0x0C1F), PROP_TAG(PT_UNICODE, 0x0065),
                                        PROP_TAG(PT_UNICODE, 0x0E04), PROP_TAG(PT_UNICODE, 0x0E03),
                                        PROP_TAG(PT_UNICODE, 0x0037), PR_CLIENT_SUBMIT_TIME, PR_MESSAGE_DELIVERY_TIME}};
    ULONG count = 0;
    LPSPropValue v = nullptr;
    const HRESULT hr = obj->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &count, &v);
    if (FAILED(hr))
        return hr;
    if (count == Count) {
        std::string name = TextOf(v[Representing]);
        std::string address = TextOf(v[RepresentingAddress]);
        if (name.empty()) {
            name = TextOf(v[Sender]);
            address = TextOf(v[SenderAddress]);
        }
        headers.from = address.empty() || address == name ? name : name.empty() ? address : name + " <" + address + ">";
        headers.to = TextOf(v[To]);
        headers.cc = TextOf(v[Cc]);
        headers.subject = TextOf(v[Subject]);
        for (int i : {int(Submit), int(Delivery)}) {
            if (PROP_TYPE(v[i].ulPropTag) == PT_SYSTIME) {
                headers.date = uint64_t(v[i].Value.ft.dwHighDateTime) << 32 | v[i].Value.ft.dwLowDateTime;
                break;
            }
        }
    }
    MAPIFreeBuffer(v);
    return S_OK;
}

HRESULT ReadAttachmentByContentId(LPMESSAGE msg, const std::string& contentId, std::vector<uint8_t>& data,
                                  std::string& mimeType)
{
    data.clear();
    mimeType.clear();
    if (!msg)
        return MAPI_E_INVALID_PARAMETER;
    const std::string want = ContentIdKey(contentId);
    LPMAPITABLE table = nullptr;
    HRESULT hr = msg->GetAttachmentTable(0, &table);
    if (FAILED(hr))
        return hr;
    enum { Num, Cid, Mime, Count };
    SizedSPropTagArray(Count, cols) = {Count, {PR_ATTACH_NUM, PROP_TAG(PT_UNICODE, 0x3712), PROP_TAG(PT_UNICODE, 0x370E)}};
    LPSRowSet rows = nullptr;
    hr = HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows);
    table->Release();
    if (FAILED(hr))
        return hr;
    // The table may carry the content ID; where it does not, each attachment is asked.
    std::optional<ULONG> num;
    for (ULONG r = 0; r < rows->cRows && !num && !want.empty(); ++r) {
        const SRow& row = rows->aRow[r];
        if (row.cValues < Count || PROP_TYPE(row.lpProps[Num].ulPropTag) != PT_LONG)
            continue;
        const ULONG n = ULONG(row.lpProps[Num].Value.l);
        if (PROP_TYPE(row.lpProps[Cid].ulPropTag) == PT_UNICODE) {
            if (ContentIdKey(TextOf(row.lpProps[Cid])) == want) {
                num = n;
                mimeType = TextOf(row.lpProps[Mime]);
            }
            continue;
        }
        LPATTACH attach = nullptr;
        if (FAILED(msg->OpenAttach(n, &IID_IAttachment, 0, &attach)))
            continue;
        SizedSPropTagArray(2, own) = {2, {PROP_TAG(PT_UNICODE, 0x3712), PROP_TAG(PT_UNICODE, 0x370E)}};
        ULONG count = 0;
        LPSPropValue v = nullptr;
        if (SUCCEEDED(attach->GetProps(reinterpret_cast<LPSPropTagArray>(&own), MAPI_UNICODE, &count, &v)) && count == 2 &&
            ContentIdKey(TextOf(v[0])) == want) {
            num = n;
            mimeType = TextOf(v[1]);
        }
        MAPIFreeBuffer(v);
        attach->Release();
    }
    FreeProws(rows);
    if (!num)
        return MAPI_E_NOT_FOUND;
    LPATTACH attach = nullptr;
    hr = msg->OpenAttach(*num, &IID_IAttachment, 0, &attach);
    if (FAILED(hr))
        return hr;
    LPUNKNOWN unk = nullptr;
    hr = attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, &unk);
    if (SUCCEEDED(hr)) {
        auto* stream = static_cast<LPSTREAM>(unk);
        hr = mapi32::ReadWholeStream(stream, data);
        stream->Release();
    }
    attach->Release();
    return hr;
}

} // namespace dravik::content
