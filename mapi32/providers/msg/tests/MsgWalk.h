// Test helper: a message read through the .msg provider (or any provider)
// into plain values: its properties as text, recipients, attachments with
// their data, embedded messages, and every failure met on the way.
#pragma once

#include "mapi32/mapicode.h"
#include "mapi32/mapidefs.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapitags.h"
#include "mapi32/mapiutil.h"
#include "mapi32/providers/msg/msg_file.h"
#include "mapi32/providers/msg/msg_service.h"
#include "mapi32/utf.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace dravik::mapi32::testing {

struct Released
{
    void operator()(IUnknown* p) const
    {
        if (p)
            p->Release();
    }
};
template <class T>
using Ref = std::unique_ptr<T, Released>;

struct WalkedMessage;

struct WalkedObject
{
    // Every value by tag, as text (strings UTF-8, binary hex, numbers decimal);
    // values too large for GetProps are read through OpenProperty.
    std::map<ULONG, std::string> props;
    // Named properties by name ("{GUID}:lid" or "{GUID}:name", and the type), when the walk resolves names.
    std::map<std::string, std::string> named;
    std::string Text(ULONG tag) const
    {
        for (const auto& [t, v] : props)
            if (PROP_ID(t) == PROP_ID(tag) && PROP_TYPE(t) != PT_ERROR)
                return v;
        return {};
    }
};

struct WalkedAttachment : WalkedObject
{
    std::vector<uint8_t> data;  // PR_ATTACH_DATA_BIN
    std::shared_ptr<WalkedMessage> embedded;
};

struct WalkedMessage : WalkedObject
{
    std::vector<WalkedObject> recipients;
    std::vector<WalkedAttachment> attachments;
};

struct Walk
{
    std::vector<std::string> failures;  // what could not be read, and where
    bool resolveNames = false;          // named properties by name rather than by ID

    // The name of a named property's ID, as the object's map gives it; "" when none.
    static std::string NameOf(IMAPIProp* obj, ULONG tag)
    {
        SizedSPropTagArray(1, one) = {1, {tag}};
        LPSPropTagArray asked = reinterpret_cast<LPSPropTagArray>(&one);
        ULONG count = 0;
        LPMAPINAMEID* names = nullptr;
        if (FAILED(obj->GetNamesFromIDs(&asked, nullptr, 0, &count, &names)) || !names)
            return {};
        std::string out;
        if (count == 1 && names[0] && names[0]->lpguid) {
            out = Hex(reinterpret_cast<const uint8_t*>(names[0]->lpguid), 16) + ":";
            if (names[0]->ulKind == MNID_ID)
                out += std::to_string(names[0]->Kind.lID);
            else if (names[0]->Kind.lpwstrName)
                out += Utf16ToUtf8(names[0]->Kind.lpwstrName);
            out += "/" + std::to_string(PROP_TYPE(tag));
        }
        MAPIFreeBuffer(names);
        return out;
    }
    void Put(IMAPIProp* obj, WalkedObject& out, const SPropValue& v, const std::string& where)
    {
        std::string text = ValueText(obj, v, where);
        if (resolveNames && PROP_ID(v.ulPropTag) >= 0x8000) {
            const std::string name = NameOf(obj, v.ulPropTag);
            if (!name.empty()) {
                out.named[name] = std::move(text);
                return;
            }
        }
        out.props[v.ulPropTag] = std::move(text);
    }

    static std::string Hex(const uint8_t* p, size_t n)
    {
        static const char* d = "0123456789ABCDEF";
        std::string s;
        for (size_t i = 0; i < n; ++i) {
            s += d[p[i] >> 4];
            s += d[p[i] & 15];
        }
        return s;
    }

    static std::vector<uint8_t> ReadStream(IMAPIProp* obj, ULONG tag, HRESULT& hr)
    {
        std::vector<uint8_t> out;
        LPUNKNOWN unk = nullptr;
        hr = obj->OpenProperty(tag, &IID_IStream, 0, 0, &unk);
        if (FAILED(hr))
            return out;
        Ref<IStream> stream(static_cast<IStream*>(unk));
        uint8_t buf[65536];
        for (;;) {
            ULONG n = 0;
            hr = stream->Read(buf, sizeof buf, &n);
            if (FAILED(hr) || n == 0)
                break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

    std::string ValueText(IMAPIProp* obj, const SPropValue& v, const std::string& where)
    {
        switch (PROP_TYPE(v.ulPropTag)) {
        case PT_UNICODE: return v.Value.lpszW ? Utf16ToUtf8(v.Value.lpszW) : "";
        case PT_STRING8: return v.Value.lpszA ? v.Value.lpszA : "";
        case PT_BINARY: return Hex(v.Value.bin.lpb, v.Value.bin.cb);
        case PT_LONG: return std::to_string(v.Value.l);
        case PT_I2: return std::to_string(v.Value.i);
        case PT_BOOLEAN: return v.Value.b ? "1" : "0";
        case PT_I8: case PT_SYSTIME: case PT_CURRENCY: return std::to_string(v.Value.li.QuadPart);
        case PT_DOUBLE: case PT_APPTIME: {
            char b[64];
            std::snprintf(b, sizeof b, "%.17g", v.Value.dbl);
            return b;
        }
        case PT_R4: {
            char b[64];
            std::snprintf(b, sizeof b, "%.9g", static_cast<double>(v.Value.flt));
            return b;
        }
        case PT_CLSID: return Hex(reinterpret_cast<const uint8_t*>(v.Value.lpguid), 16);
        case PT_MV_UNICODE: {
            std::string s;
            for (ULONG i = 0; i < v.Value.MVszW.cValues; ++i)
                s += "[" + Utf16ToUtf8(v.Value.MVszW.lppszW[i]) + "]";
            return s;
        }
        case PT_MV_BINARY: {
            std::string s;
            for (ULONG i = 0; i < v.Value.MVbin.cValues; ++i)
                s += "[" + Hex(v.Value.MVbin.lpbin[i].lpb, v.Value.MVbin.lpbin[i].cb) + "]";
            return s;
        }
        case PT_MV_LONG: {
            std::string s;
            for (ULONG i = 0; i < v.Value.MVl.cValues; ++i)
                s += "[" + std::to_string(v.Value.MVl.lpl[i]) + "]";
            return s;
        }
        case PT_ERROR:
            if (v.Value.err == MAPI_E_NOT_ENOUGH_MEMORY) {
                HRESULT hr = S_OK;
                const std::vector<uint8_t> bytes = ReadStream(obj, CHANGE_PROP_TYPE(v.ulPropTag, PT_UNSPECIFIED), hr);
                if (FAILED(hr))
                    failures.push_back(where + ": large value cannot be read");
                return "stream:" + std::to_string(bytes.size()) + ":" + Hex(bytes.data(), std::min<size_t>(bytes.size(), 64));
            }
            if (v.Value.err == MAPI_E_CORRUPT_DATA)
                failures.push_back(where + ": damaged value " + std::to_string(PROP_ID(v.ulPropTag)));
            return "error:" + std::to_string(v.Value.err);
        default: return "type:" + std::to_string(PROP_TYPE(v.ulPropTag));
        }
    }

    void Props(IMAPIProp* obj, WalkedObject& out, const std::string& where)
    {
        ULONG count = 0;
        LPSPropValue values = nullptr;
        HRESULT hr = obj->GetProps(nullptr, MAPI_UNICODE, &count, &values);
        if (FAILED(hr)) {
            failures.push_back(where + ": GetProps failed");
            return;
        }
        for (ULONG i = 0; i < count; ++i)
            Put(obj, out, values[i], where);
        MAPIFreeBuffer(values);
    }

    template <class F>
    void Rows(IMAPITable* table, F&& each)
    {
        for (;;) {
            LPSRowSet rows = nullptr;
            if (FAILED(table->QueryRows(50, 0, &rows)) || !rows) {
                failures.push_back("QueryRows failed");
                return;
            }
            const ULONG n = rows->cRows;
            for (ULONG i = 0; i < n; ++i)
                each(rows->aRow[i]);
            FreeProws(rows);
            if (n == 0)
                return;
        }
    }

    void Message(IMessage* m, WalkedMessage& out, const std::string& where, int depth = 0)
    {
        Props(m, out, where);
        LPMAPITABLE t = nullptr;
        if (FAILED(m->GetRecipientTable(MAPI_UNICODE, &t))) {
            failures.push_back(where + ": recipients cannot be listed");
        } else {
            Ref<IMAPITable> table(t);
            Rows(table.get(), [&](const SRow& row) {
                WalkedObject& r = out.recipients.emplace_back();
                for (ULONG i = 0; i < row.cValues; ++i)
                    if (PROP_ID(row.lpProps[i].ulPropTag) != PROP_ID(PR_INSTANCE_KEY) &&
                        PROP_ID(row.lpProps[i].ulPropTag) != PROP_ID(PR_ROWID))
                        Put(m, r, row.lpProps[i], where + "/recipient");
            });
        }
        if (FAILED(m->GetAttachmentTable(MAPI_UNICODE, &t))) {
            failures.push_back(where + ": attachments cannot be listed");
            return;
        }
        Ref<IMAPITable> table(t);
        std::vector<ULONG> nums;
        Rows(table.get(), [&](const SRow& row) {
            for (ULONG i = 0; i < row.cValues; ++i)
                if (row.lpProps[i].ulPropTag == PR_ATTACH_NUM)
                    nums.push_back(row.lpProps[i].Value.ul);
        });
        for (ULONG num : nums) {
            LPATTACH a = nullptr;
            const std::string at = where + "/attachment " + std::to_string(num);
            if (FAILED(m->OpenAttach(num, nullptr, 0, &a))) {
                failures.push_back(at + ": cannot be opened");
                continue;
            }
            Ref<IAttach> attach(a);
            WalkedAttachment& wa = out.attachments.emplace_back();
            Props(attach.get(), wa, at);
            HRESULT hr = S_OK;
            wa.data = ReadStream(attach.get(), PR_ATTACH_DATA_BIN, hr);
            LPUNKNOWN unk = nullptr;
            hr = attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, &unk);
            if (SUCCEEDED(hr)) {
                Ref<IMessage> embedded(static_cast<IMessage*>(unk));
                wa.embedded = std::make_shared<WalkedMessage>();
                Message(embedded.get(), *wa.embedded, at + "/message", depth + 1);
            } else if (hr == MAPI_E_CORRUPT_DATA) {
                failures.push_back(at + ": embedded message damaged");
            }
        }
    }

    // The one message of a .msg store.
    bool Store(IMsgStore* store, WalkedMessage& out)
    {
        ULONG type = 0;
        LPUNKNOWN unk = nullptr;
        if (FAILED(store->OpenEntry(0, nullptr, nullptr, 0, &type, &unk))) {
            failures.push_back("root folder cannot be opened");
            return false;
        }
        Ref<IMAPIFolder> root(static_cast<IMAPIFolder*>(unk));
        LPMAPITABLE t = nullptr;
        if (FAILED(root->GetContentsTable(0, &t))) {
            failures.push_back("contents cannot be listed");
            return false;
        }
        Ref<IMAPITable> table(t);
        std::vector<std::vector<uint8_t>> eids;
        Rows(table.get(), [&](const SRow& row) {
            for (ULONG i = 0; i < row.cValues; ++i)
                if (row.lpProps[i].ulPropTag == PR_ENTRYID)
                    eids.emplace_back(row.lpProps[i].Value.bin.lpb,
                                      row.lpProps[i].Value.bin.lpb + row.lpProps[i].Value.bin.cb);
        });
        if (eids.size() != 1) {
            failures.push_back("the root folder holds " + std::to_string(eids.size()) + " messages");
            return false;
        }
        if (FAILED(store->OpenEntry(static_cast<ULONG>(eids[0].size()), reinterpret_cast<LPENTRYID>(eids[0].data()),
                                    nullptr, 0, &type, &unk))) {
            failures.push_back("the message cannot be opened");
            return false;
        }
        Ref<IMessage> message(static_cast<IMessage*>(unk));
        Message(message.get(), out, "message");
        return true;
    }
};

// Reads a .msg file through the provider; the error text when it cannot be opened.
inline std::string WalkMsgFile(const std::string& path, WalkedMessage& out, Walk& walk)
{
    std::shared_ptr<msg_file::MsgFile> file;
    try {
        file = msg_file::ReadFile(path);
    } catch (const std::exception& e) {
        return e.what();
    }
    LPMDB mdb = nullptr;
    if (FAILED(OpenMsgImage(file, std::filesystem::path(path).filename().string(), &mdb)))
        return "the store cannot be opened";
    Ref<IMsgStore> store(mdb);
    walk.Store(store.get(), out);
    return {};
}

#ifdef DRAVIK_SAMPLES_DIR
inline std::vector<std::string> MsgSamples()
{
    std::vector<std::string> out;
    const std::filesystem::path dir = std::filesystem::path(DRAVIK_SAMPLES_DIR) / ".." / "msg";
    if (std::filesystem::is_directory(dir))
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.path().extension() == ".msg")
                out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}
#endif

} // namespace dravik::mapi32::testing
