#include "mapi32/memstream.h"

#include "mapi32/mapicode.h"
#include "mapi32/unknown.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace dravik::mapi32 {
namespace {

class MemorySource final : public StreamSource
{
public:
    explicit MemorySource(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    uint64_t Size() const override { return m_bytes.size(); }
    HRESULT ReadAt(uint64_t offset, void* dest, size_t n) const override
    {
        std::memcpy(dest, m_bytes.data() + offset, n);
        return S_OK;
    }

private:
    std::vector<uint8_t> m_bytes;
};

class ReadOnlyStream final : public Unknown<IStream, IID_ISequentialStream, IID_IStream>
{
public:
    ReadOnlyStream(std::shared_ptr<const StreamSource> source, IUnknown* owner)
        : m_source(std::move(source)), m_owner(owner)
    {
        if (m_owner)
            m_owner->AddRef();
    }

    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override
    {
        if (pcbRead)
            *pcbRead = 0;
        if (!pv && cb)
            return STG_E_INVALIDPOINTER;
        const uint64_t size = m_source->Size();
        const uint64_t left = m_pos < size ? size - m_pos : 0;
        const auto n = static_cast<size_t>(std::min<uint64_t>(cb, left));
        if (n == 0)
            return S_OK;
        if (HRESULT hr = m_source->ReadAt(m_pos, pv, n); FAILED(hr))
            return hr;
        m_pos += n;
        if (pcbRead)
            *pcbRead = static_cast<ULONG>(n);
        return S_OK;
    }
    HRESULT Write(const void*, ULONG, ULONG* pcbWritten) override
    {
        if (pcbWritten)
            *pcbWritten = 0;
        return STG_E_ACCESSDENIED;
    }
    HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override
    {
        uint64_t base = 0;
        switch (dwOrigin) {
        case STREAM_SEEK_SET: base = 0; break;
        case STREAM_SEEK_CUR: base = m_pos; break;
        case STREAM_SEEK_END: base = m_source->Size(); break;
        default: return STG_E_INVALIDFUNCTION;
        }
        // A position is a LONGLONG from 0 up: one below 0, or beyond what a
        // LONGLONG holds, is refused and the position stays.
        constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<LONGLONG>::max());
        const LONGLONG move = dlibMove.QuadPart;
        const uint64_t magnitude = move < 0 ? 0 - static_cast<uint64_t>(move) : static_cast<uint64_t>(move);
        if (base > kMax || (move < 0 && magnitude > base) || (move >= 0 && magnitude > kMax - base))
            return STG_E_INVALIDFUNCTION;
        m_pos = move < 0 ? base - magnitude : base + magnitude;
        if (plibNewPosition)
            plibNewPosition->QuadPart = m_pos;
        return S_OK;
    }
    HRESULT SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Commit(DWORD) override { return STG_E_ACCESSDENIED; }
    HRESULT Revert() override { return S_OK; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return MAPI_E_NO_SUPPORT; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Stat(STATSTG* pstatstg, DWORD) override
    {
        if (!pstatstg)
            return STG_E_INVALIDPOINTER;
        *pstatstg = STATSTG{};
        pstatstg->type = STGTY_STREAM;
        pstatstg->cbSize.QuadPart = m_source->Size();
        pstatstg->grfMode = STGM_READ;
        return S_OK;
    }
    HRESULT Clone(IStream** ppstm) override
    {
        if (!ppstm)
            return STG_E_INVALIDPOINTER;
        auto* copy = new ReadOnlyStream(m_source, m_owner);
        copy->m_pos = m_pos;
        *ppstm = copy;
        return S_OK;
    }

private:
    ~ReadOnlyStream() override
    {
        m_source.reset();  // the source may point into the owner: it goes first
        if (m_owner)
            m_owner->Release();
    }

    std::shared_ptr<const StreamSource> m_source;
    IUnknown* m_owner = nullptr;
    uint64_t m_pos = 0;
};

} // namespace

HRESULT CreateMemoryStream(std::vector<uint8_t> bytes, LPSTREAM* lppStream)
{
    return CreateSourceStream(std::make_shared<MemorySource>(std::move(bytes)), nullptr, lppStream);
}

HRESULT CreateSourceStream(std::shared_ptr<const StreamSource> source, IUnknown* owner, LPSTREAM* lppStream)
{
    if (!lppStream)
        return MAPI_E_INVALID_PARAMETER;
    *lppStream = nullptr;
    if (!source)
        return MAPI_E_INVALID_PARAMETER;
    *lppStream = new ReadOnlyStream(std::move(source), owner);
    return S_OK;
}

} // namespace dravik::mapi32
