#include "content/MessageBody.h"

#include "content/HtmlText.h"
#include "content/RtfReader.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/providers/pst/pst_codepage.h"
#include "mapi32/providers/pst/pst_text.h"
#include "mapi32/rtfcomp.h"
#include "mapi32/rtfstream.h"
#include "mapi32/utf.h"

#include <cctype>
#include <cstring>

namespace dravik::content {

namespace {

constexpr ULONG kIdBody = 0x1000;
constexpr ULONG kIdRtfCompressed = 0x1009;
constexpr ULONG kIdHtml = 0x1013;
constexpr ULONG kIdNativeBody = 0x1016;
constexpr ULONG kIdRtfInSync = 0x0E1F;
constexpr ULONG kIdInternetCpid = 0x3FDE;
constexpr ULONG kIdMessageCodepage = 0x3FFD;
constexpr ULONG kIdMessageLocaleId = 0x3FF1;

std::string HResultText(HRESULT hr)
{
    switch (hr) {
    case MAPI_E_CORRUPT_DATA: return "MAPI_E_CORRUPT_DATA";
    case MAPI_E_NOT_ENOUGH_MEMORY: return "MAPI_E_NOT_ENOUGH_MEMORY";
    case MAPI_E_NO_SUPPORT: return "MAPI_E_NO_SUPPORT";
    default: {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%08X", unsigned(hr));
        return buf;
    }
    }
}

std::string FromUtf16Le(const std::vector<uint8_t>& bytes)
{
    return mapi32::Utf16ToUtf8(mapi32::pst_text::FromUtf16Le(bytes));
}

// A value read whole through a stream (one too large for GetProps).
HRESULT ReadStream(LPMAPIPROP obj, ULONG tag, std::vector<uint8_t>& bytes)
{
    LPUNKNOWN unk = nullptr;
    HRESULT hr = obj->OpenProperty(tag, &IID_IStream, 0, 0, &unk);
    if (FAILED(hr))
        return hr;
    auto* stream = static_cast<LPSTREAM>(unk);
    hr = mapi32::ReadWholeStream(stream, bytes);
    stream->Release();
    return hr;
}

// The charset an HTML document declares in its first bytes, as a code page; 0 for none known.
uint32_t MetaCharset(const std::vector<uint8_t>& bytes)
{
    std::string head(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 4096));
    for (char& c : head)
        c = char(std::tolower(uint8_t(c)));
    const size_t at = head.find("charset=");
    if (at == std::string::npos)
        return 0;
    size_t i = at + 8;
    while (i < head.size() && (head[i] == '"' || head[i] == '\''))
        ++i;
    size_t j = i;
    while (j < head.size() && (std::isalnum(uint8_t(head[j])) || head[j] == '-' || head[j] == '_'))
        ++j;
    const std::string name = head.substr(i, j - i);
    struct Charset
    {
        const char* name;
        uint32_t cp;
    };
    static constexpr Charset kCharsets[] = {
        {"utf-8", 65001}, {"us-ascii", 1252}, {"iso-8859-1", 1252}, {"windows-1252", 1252}, {"windows-1250", 1250},
        {"windows-1251", 1251}, {"windows-1253", 1253}, {"windows-1254", 1254}, {"windows-1255", 1255},
        {"windows-1256", 1256}, {"windows-1257", 1257}, {"windows-1258", 1258}, {"shift_jis", 932},
        {"iso-2022-jp", 932}, {"euc-jp", 932}, {"gb2312", 936}, {"gbk", 936}, {"big5", 950}, {"euc-kr", 949},
        {"ks_c_5601-1987", 949}, {"koi8-r", 1251}, {"iso-8859-5", 1251}, {"iso-8859-2", 1250}, {"iso-8859-7", 1253},
        {"iso-8859-8", 1255}, {"iso-8859-8-i", 1255}, {"iso-8859-9", 1254}, {"iso-8859-15", 1252},
    };
    for (const Charset& c : kCharsets)
        if (name == c.name)
            return c.cp;
    return 0;
}

} // namespace

std::string DecodeHtml(const std::vector<uint8_t>& bytes, uint32_t codePage)
{
    if (!codePage)
        codePage = MetaCharset(bytes);
    if (!codePage)
        codePage = 1252;
    codePage = mapi32::pst_provider::AnsiCodePageOf(codePage);
    if (codePage == 65001 || codePage == 20127)
        return mapi32::Utf16ToUtf8(mapi32::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
    if (codePage == 1200)
        return FromUtf16Le(bytes);
    return mapi32::Utf16ToUtf8(mapi32::pst_text::Decode(bytes, codePage));
}

MessageBody MakeMessageBody(const BodyValues& v)
{
    MessageBody b;
    b.damage = v.damage;
    std::optional<RtfContent> rtf;
    if (v.rtfCompressed) {
        std::vector<uint8_t> raw;
        const auto r = mapi32::rtfcomp::Decompress(*v.rtfCompressed, raw, mapi32::GetCompressedRTFCrcCheck());
        if (r) {
            b.rtf = std::string(raw.begin(), raw.end());
            rtf = ReadRtf(*b.rtf, v.codePage);
        } else {
            b.damage.push_back("PR_RTF_COMPRESSED: " + r.error);
        }
    }
    const bool rtfHtml = rtf && rtf->kind == RtfKind::Html;
    if (v.html) {
        b.html = DecodeHtml(*v.html, v.htmlCodePage);
        b.htmlSource = "PR_HTML";
    } else if (v.htmlText) {
        b.html = *v.htmlText;
        b.htmlSource = "PR_HTML";
    } else if (rtfHtml) {
        b.html = rtf->html;
        b.htmlSource = "PR_RTF_COMPRESSED";
    }
    // PR_RTF_IN_SYNC false: PR_BODY was changed after the RTF was written.
    const bool rtfStale = v.rtfInSync && !*v.rtfInSync && v.body;
    if (v.body) {
        b.text = *v.body;
        b.textSource = "PR_BODY";
    } else if (rtf && !rtfHtml) {
        b.text = rtf->text;
        b.textSource = "PR_RTF_COMPRESSED";
    } else if (b.html) {
        b.text = HtmlToText(*b.html);
        b.textSource = b.htmlSource;
    }

    auto chooseHtml = [&](bool fromRtf) {
        if (!b.html || (fromRtf != (b.htmlSource == "PR_RTF_COMPRESSED")))
            return false;
        b.best = BodyKind::Html;
        b.source = b.htmlSource;
        return true;
    };
    auto chooseRtfText = [&] {
        if (!rtf || rtfHtml)
            return false;
        b.best = BodyKind::Text;
        b.source = "PR_RTF_COMPRESSED";
        if (b.textSource != "PR_RTF_COMPRESSED") {
            // The window shows the RTF's own text when the RTF is the best body.
            b.text = rtf->text;
            b.textSource = "PR_RTF_COMPRESSED";
        }
        return true;
    };
    auto chooseBody = [&] {
        if (!v.body)
            return false;
        b.best = BodyKind::Text;
        b.source = "PR_BODY";
        return true;
    };
    const int native = v.nativeBody.value_or(0);
    bool chosen = false;
    if (native == 1)
        chosen = chooseBody();
    else if (native == 2)
        chosen = chooseHtml(true) || chooseRtfText();
    else if (native == 3)
        chosen = chooseHtml(false) || chooseHtml(true);
    if (!chosen)
        chosen = chooseHtml(false) || chooseHtml(true) || (!rtfStale && chooseRtfText()) || chooseBody() ||
                 chooseRtfText();
    if (!chosen && b.text) {  // only the HTML's text, which chooseHtml would have taken
        b.best = BodyKind::Text;
        b.source = b.textSource;
    }
    return b;
}

HRESULT ReadMessageBody(LPMAPIPROP obj, MessageBody& body)
{
    body = MessageBody{};
    if (!obj)
        return MAPI_E_INVALID_PARAMETER;
    const ULONG ids[] = {kIdRtfCompressed, kIdHtml, kIdBody, kIdNativeBody, kIdRtfInSync,
                         kIdInternetCpid, kIdMessageCodepage, kIdMessageLocaleId};
    constexpr ULONG kCount = sizeof ids / sizeof ids[0];
    SizedSPropTagArray(kCount, tags);
    tags.cValues = kCount;
    for (ULONG i = 0; i < kCount; ++i)
        tags.aulPropTag[i] = PROP_TAG(PT_UNSPECIFIED, ids[i]);
    ULONG count = 0;
    LPSPropValue values = nullptr;
    HRESULT hr = obj->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &count, &values);
    if (FAILED(hr))
        return hr;

    BodyValues v;
    auto damaged = [&](const char* name, HRESULT err) { v.damage.push_back(std::string(name) + ": " + HResultText(err)); };
    // A value: given whole, or read through a stream when it is too large for GetProps.
    auto bytesOf = [&](const SPropValue& pv, const char* name, std::initializer_list<ULONG> streamTypes,
                       ULONG& type) -> std::optional<std::vector<uint8_t>> {
        const ULONG id = PROP_ID(pv.ulPropTag);
        type = PROP_TYPE(pv.ulPropTag);
        if (type == PT_ERROR) {
            if (pv.Value.err == MAPI_E_NOT_FOUND)
                return std::nullopt;
            if (pv.Value.err != MAPI_E_NOT_ENOUGH_MEMORY) {
                damaged(name, pv.Value.err);
                return std::nullopt;
            }
            HRESULT last = MAPI_E_NOT_FOUND;
            for (ULONG t : streamTypes) {
                std::vector<uint8_t> bytes;
                last = ReadStream(obj, PROP_TAG(t, id), bytes);
                if (SUCCEEDED(last)) {
                    type = t;
                    return bytes;
                }
                if (last != MAPI_E_NOT_FOUND)
                    break;
            }
            if (last != MAPI_E_NOT_FOUND)
                damaged(name, last);
            return std::nullopt;
        }
        if (type == PT_BINARY)
            return std::vector<uint8_t>(pv.Value.bin.lpb, pv.Value.bin.lpb + pv.Value.bin.cb);
        if (type == PT_UNICODE && pv.Value.lpszW) {
            const std::string s = mapi32::Utf16ToUtf8(pv.Value.lpszW);
            return std::vector<uint8_t>(s.begin(), s.end());
        }
        if (type == PT_STRING8 && pv.Value.lpszA) {
            const std::string s = pv.Value.lpszA;
            return std::vector<uint8_t>(s.begin(), s.end());
        }
        return std::nullopt;
    };
    std::optional<uint32_t> cpid, messageCp, locale;
    const SPropValue* html = nullptr;
    for (ULONG i = 0; i < count; ++i) {
        const SPropValue& pv = values[i];
        const ULONG type = PROP_TYPE(pv.ulPropTag);
        switch (PROP_ID(pv.ulPropTag)) {
        case kIdRtfCompressed: {
            ULONG t = 0;
            v.rtfCompressed = bytesOf(pv, "PR_RTF_COMPRESSED", {PT_BINARY}, t);
            break;
        }
        case kIdHtml: html = &pv; break;
        case kIdBody: {
            // Given whole as Unicode (the common case): converted once, without a copy as bytes.
            if (type == PT_UNICODE && pv.Value.lpszW) {
                v.body = mapi32::Utf16ToUtf8(pv.Value.lpszW);
                break;
            }
            ULONG t = 0;
            if (auto bytes = bytesOf(pv, "PR_BODY", {PT_UNICODE}, t))
                v.body = t == PT_UNICODE && type == PT_ERROR ? FromUtf16Le(*bytes) : std::string(bytes->begin(), bytes->end());
            break;
        }
        case kIdNativeBody:
            if (type == PT_LONG)
                v.nativeBody = pv.Value.l;
            break;
        case kIdRtfInSync:
            if (type == PT_BOOLEAN)
                v.rtfInSync = pv.Value.b != 0;
            break;
        case kIdInternetCpid:
            if (type == PT_LONG)
                cpid = uint32_t(pv.Value.l);
            break;
        case kIdMessageCodepage:
            if (type == PT_LONG)
                messageCp = uint32_t(pv.Value.l);
            break;
        case kIdMessageLocaleId:
            if (type == PT_LONG)
                locale = uint32_t(pv.Value.l);
            break;
        }
    }
    // The message's 8-bit code page, as the store provider reads its strings.
    if (messageCp && mapi32::pst_text::IsSupportedCodePage(mapi32::pst_provider::AnsiCodePageOf(*messageCp)))
        v.codePage = mapi32::pst_provider::AnsiCodePageOf(*messageCp);
    else if (cpid && mapi32::pst_text::IsSupportedCodePage(mapi32::pst_provider::AnsiCodePageOf(*cpid)))
        v.codePage = mapi32::pst_provider::AnsiCodePageOf(*cpid);
    else if (locale && mapi32::pst_provider::LocaleCodePage(*locale))
        v.codePage = mapi32::pst_provider::LocaleCodePage(*locale);
    if (html) {
        ULONG t = 0;
        if (auto bytes = bytesOf(*html, "PR_HTML", {PT_BINARY, PT_UNICODE}, t)) {
            if (t == PT_BINARY) {
                v.html = std::move(*bytes);
                v.htmlCodePage = cpid.value_or(0);
            } else if (t == PT_UNICODE && PROP_TYPE(html->ulPropTag) == PT_ERROR) {
                v.htmlText = FromUtf16Le(*bytes);
            } else {
                v.htmlText = std::string(bytes->begin(), bytes->end());
            }
        }
    }
    MAPIFreeBuffer(values);
    body = MakeMessageBody(v);
    return S_OK;
}

} // namespace dravik::content

namespace dravik::content {

std::optional<std::string> DecodedBodyValue(ULONG ulPropTag, const std::vector<uint8_t>& value, uint32_t codePage)
{
    if (ulPropTag == PROP_TAG(PT_BINARY, kIdRtfCompressed)) {
        std::vector<uint8_t> rtf;
        const auto r = mapi32::rtfcomp::Decompress(value, rtf, mapi32::GetCompressedRTFCrcCheck());
        if (!r)
            return "Damaged: " + r.error;
        return std::string(rtf.begin(), rtf.end());
    }
    if (ulPropTag == PROP_TAG(PT_BINARY, kIdHtml))
        return DecodeHtml(value, codePage);
    return std::nullopt;
}

} // namespace dravik::content
