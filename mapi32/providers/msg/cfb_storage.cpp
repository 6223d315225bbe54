#include "cfb_storage.h"

#include "mapi32/mapicode.h"
#include "mapi32/mapiguid.h"
#include "mapi32/mapiutil.h"
#include "mapi32/memstream.h"
#include "mapi32/unknown.h"
#include "mapi32/utf.h"

#include <cstring>
#include <memory>

namespace dravik::mapi32::cfb {
namespace {

constexpr HRESULT kAccessDenied = STG_E_ACCESSDENIED;
constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x80030002u);  // STG_E_FILENOTFOUND
constexpr HRESULT kReadFault = static_cast<HRESULT>(0x8003001Eu);     // STG_E_READFAULT

// The UTF-8 name of a wide element name; false for none.
bool Name(const WCHAR* w, std::string& out)
{
    if (!w)
        return false;
    out = Utf16ToUtf8(std::u16string(w));
    return true;
}

// Fills a STATSTG; its name (unless STATFLAG_NONAME) in a MAPI buffer.
HRESULT Fill(STATSTG& st, const std::string& name, bool storage, uint64_t size, const std::vector<uint8_t>& clsid,
             DWORD flags)
{
    st = STATSTG{};
    st.type = storage ? STGTY_STORAGE : STGTY_STREAM;
    st.cbSize.QuadPart = size;
    st.grfMode = STGM_READ;
    if (clsid.size() == sizeof(CLSID))
        std::memcpy(&st.clsid, clsid.data(), sizeof(CLSID));
    if (flags & STATFLAG_NONAME)
        return S_OK;
    const std::u16string w = Utf8ToUtf16(name);
    void* p = nullptr;
    if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>((w.size() + 1) * sizeof(WCHAR)), &p)))
        return MAPI_E_NOT_ENOUGH_MEMORY;
    std::memcpy(p, w.c_str(), (w.size() + 1) * sizeof(WCHAR));
    st.pwcsName = static_cast<LPWSTR>(p);
    return S_OK;
}

struct Element
{
    std::string name;
    bool storage = false;
    uint64_t size = 0;
    std::vector<uint8_t> clsid;
};

class Enum final : public Unknown<IEnumSTATSTG, IID_IEnumSTATSTG>
{
public:
    explicit Enum(std::shared_ptr<const std::vector<Element>> elements, size_t at = 0)
        : m_elements(std::move(elements)), m_at(at)
    {
    }
    HRESULT Next(ULONG celt, STATSTG* rgelt, ULONG* fetched) override
    {
        if (!rgelt && celt)
            return STG_E_INVALIDPOINTER;
        ULONG n = 0;
        for (; n < celt && m_at < m_elements->size(); ++n, ++m_at) {
            const Element& e = (*m_elements)[m_at];
            if (FAILED(Fill(rgelt[n], e.name, e.storage, e.size, e.clsid, STATFLAG_DEFAULT)))
                return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        if (fetched)
            *fetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG celt) override
    {
        const size_t left = m_elements->size() - m_at;
        m_at += std::min<size_t>(celt, left);
        return celt <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override
    {
        m_at = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumSTATSTG** out) override
    {
        if (!out)
            return STG_E_INVALIDPOINTER;
        *out = new Enum(m_elements, m_at);
        return S_OK;
    }

private:
    std::shared_ptr<const std::vector<Element>> m_elements;
    size_t m_at;
};

class ReadOnlyStorage final : public Unknown<IStorage, IID_IStorage>
{
public:
    explicit ReadOnlyStorage(Storage storage) : m_storage(std::move(storage)) {}

    HRESULT CreateStream(const WCHAR*, DWORD, DWORD, DWORD, IStream** out) override
    {
        if (out)
            *out = nullptr;
        return kAccessDenied;
    }
    HRESULT OpenStream(const WCHAR* name, void*, DWORD mode, DWORD, IStream** out) override
    {
        if (!out)
            return STG_E_INVALIDPOINTER;
        *out = nullptr;
        std::string n;
        if (!Name(name, n))
            return STG_E_INVALIDPOINTER;
        if (mode & (STGM_WRITE | STGM_READWRITE))
            return kAccessDenied;
        try {
            if (!m_storage.HasStream(n))
                return kFileNotFound;
            return CreateMemoryStream(m_storage.ReadStream(n), out);
        } catch (const pst::Error&) {
            return kReadFault;
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }
    HRESULT CreateStorage(const WCHAR*, DWORD, DWORD, DWORD, IStorage** out) override
    {
        if (out)
            *out = nullptr;
        return kAccessDenied;
    }
    HRESULT OpenStorage(const WCHAR* name, IStorage*, DWORD mode, WCHAR**, DWORD, IStorage** out) override
    {
        if (!out)
            return STG_E_INVALIDPOINTER;
        *out = nullptr;
        std::string n;
        if (!Name(name, n))
            return STG_E_INVALIDPOINTER;
        if (mode & (STGM_WRITE | STGM_READWRITE))
            return kAccessDenied;
        try {
            if (!m_storage.HasStorage(n))
                return kFileNotFound;
            *out = new ReadOnlyStorage(m_storage.Child(n));
            return S_OK;
        } catch (const pst::Error&) {
            return kReadFault;
        }
    }
    HRESULT CopyTo(DWORD, const IID*, WCHAR**, IStorage*) override { return kAccessDenied; }
    HRESULT MoveElementTo(const WCHAR*, IStorage*, const WCHAR*, DWORD) override { return kAccessDenied; }
    HRESULT Commit(DWORD) override { return S_OK; }
    HRESULT Revert() override { return S_OK; }
    HRESULT EnumElements(DWORD, void*, DWORD, IEnumSTATSTG** out) override
    {
        if (!out)
            return STG_E_INVALIDPOINTER;
        *out = nullptr;
        try {
            auto elements = std::make_shared<std::vector<Element>>();
            for (const Storage::Entry& c : m_storage.Children()) {
                Element e;
                e.name = c.name;
                e.storage = c.storage;
                if (c.storage)
                    e.clsid = m_storage.Child(c.name).ClassId();
                else
                    e.size = m_storage.ReadStream(c.name).size();
                elements->push_back(std::move(e));
            }
            *out = new Enum(std::move(elements));
            return S_OK;
        } catch (const pst::Error&) {
            return kReadFault;
        } catch (const std::bad_alloc&) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }
    HRESULT DestroyElement(const WCHAR*) override { return kAccessDenied; }
    HRESULT RenameElement(const WCHAR*, const WCHAR*) override { return kAccessDenied; }
    HRESULT SetElementTimes(const WCHAR*, const FILETIME*, const FILETIME*, const FILETIME*) override
    {
        return kAccessDenied;
    }
    HRESULT SetClass(REFCLSID) override { return kAccessDenied; }
    HRESULT SetStateBits(DWORD, DWORD) override { return kAccessDenied; }
    HRESULT Stat(STATSTG* st, DWORD flags) override
    {
        if (!st)
            return STG_E_INVALIDPOINTER;
        const std::string& path = m_storage.Path();
        const std::string name = path.empty() ? "Root Entry" : path.substr(path.rfind('/') + 1);
        return Fill(*st, name, true, 0, m_storage.ClassId(), flags);
    }

private:
    Storage m_storage;
};

} // namespace

HRESULT CreateReadOnlyStorage(const Storage& storage, LPSTORAGE* out)
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = new ReadOnlyStorage(storage);
    return S_OK;
}

} // namespace dravik::mapi32::cfb
