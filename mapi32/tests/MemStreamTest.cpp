#include "mapi32/memstream.h"
#include "mapi32/unknown.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

using namespace dravik::mapi32;

namespace {

constexpr LONGLONG kMaxPos = std::numeric_limits<LONGLONG>::max();
constexpr LONGLONG kMinMove = std::numeric_limits<LONGLONG>::min();

LPSTREAM Digits()
{
    LPSTREAM s = nullptr;
    EXPECT_EQ(CreateMemoryStream({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}, &s), S_OK);
    return s;
}

HRESULT SeekTo(LPSTREAM s, LONGLONG move, DWORD origin, uint64_t* pos = nullptr)
{
    LARGE_INTEGER m{};
    m.QuadPart = move;
    ULARGE_INTEGER p{};
    HRESULT hr = s->Seek(m, origin, &p);
    if (pos)
        *pos = p.QuadPart;
    return hr;
}

std::string ReadText(LPSTREAM s, ULONG cb)
{
    std::string buf(cb, '\0');
    ULONG got = 0xFFFF;
    EXPECT_EQ(s->Read(buf.data(), cb, &got), S_OK);
    buf.resize(got);
    return buf;
}

// Each case starts at position 4 of "0123456789".
TEST(MemStreamTest, SeekThenRead)
{
    struct Case
    {
        const char* name;
        LONGLONG move;
        DWORD origin;
        HRESULT hr;
        uint64_t pos;       // where the stream is afterwards
        std::string read;   // what a read of 4 bytes gives there
    };
    const Case cases[] = {
        {"set", 3, STREAM_SEEK_SET, S_OK, 3, "3456"},
        {"cur back", -2, STREAM_SEEK_CUR, S_OK, 2, "2345"},
        {"cur forward", 1, STREAM_SEEK_CUR, S_OK, 5, "5678"},
        {"end back", -3, STREAM_SEEK_END, S_OK, 7, "789"},
        {"end", 0, STREAM_SEEK_END, S_OK, 10, ""},
        {"past the end", 5, STREAM_SEEK_END, S_OK, 15, ""},
        {"to 0 from the end", -10, STREAM_SEEK_END, S_OK, 0, "0123"},
        {"below 0", -1, STREAM_SEEK_SET, STG_E_INVALIDFUNCTION, 4, "4567"},
        {"below 0 from cur", -5, STREAM_SEEK_CUR, STG_E_INVALIDFUNCTION, 4, "4567"},
        {"most negative move", kMinMove, STREAM_SEEK_END, STG_E_INVALIDFUNCTION, 4, "4567"},
        {"beyond a LONGLONG", kMaxPos, STREAM_SEEK_CUR, STG_E_INVALIDFUNCTION, 4, "4567"},
        {"unknown origin", 0, 7, STG_E_INVALIDFUNCTION, 4, "4567"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LPSTREAM s = Digits();
        ASSERT_EQ(SeekTo(s, 4, STREAM_SEEK_SET), S_OK);
        uint64_t pos = 0;
        EXPECT_EQ(SeekTo(s, c.move, c.origin, &pos), c.hr);
        ASSERT_EQ(SeekTo(s, 0, STREAM_SEEK_CUR, &pos), S_OK);
        EXPECT_EQ(pos, c.pos);
        EXPECT_EQ(ReadText(s, 4), c.read);
        s->Release();
    }
}

TEST(MemStreamTest, SeekToTheLargestPositionAndNoFurther)
{
    LPSTREAM s = Digits();
    uint64_t pos = 0;
    EXPECT_EQ(SeekTo(s, kMaxPos, STREAM_SEEK_SET, &pos), S_OK);
    EXPECT_EQ(pos, static_cast<uint64_t>(kMaxPos));
    EXPECT_EQ(ReadText(s, 4), "");
    EXPECT_EQ(SeekTo(s, 1, STREAM_SEEK_CUR), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(SeekTo(s, -kMaxPos, STREAM_SEEK_CUR, &pos), S_OK);
    EXPECT_EQ(pos, 0u);
    s->Release();
}

TEST(MemStreamTest, ReadArguments)
{
    LPSTREAM s = Digits();
    ULONG got = 99;
    EXPECT_EQ(s->Read(nullptr, 1, &got), STG_E_INVALIDPOINTER);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(s->Read(nullptr, 0, &got), S_OK);
    char buf[16] = {};
    EXPECT_EQ(s->Read(buf, 3, nullptr), S_OK);  // the count is optional
    EXPECT_EQ(std::string(buf, 3), "012");
    EXPECT_EQ(s->Read(buf, sizeof buf, &got), S_OK);  // more than is left: the rest
    EXPECT_EQ(got, 7u);
    EXPECT_EQ(std::string(buf, got), "3456789");
    EXPECT_EQ(s->Read(buf, sizeof buf, &got), S_OK);
    EXPECT_EQ(got, 0u);
    s->Release();
}

TEST(MemStreamTest, StatWritesAndInterfaces)
{
    LPSTREAM s = Digits();
    STATSTG st{};
    st.cbSize.QuadPart = 1;
    ASSERT_EQ(s->Stat(&st, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(st.cbSize.QuadPart, 10u);
    EXPECT_EQ(st.type, STGTY_STREAM);
    EXPECT_EQ(st.grfMode, STGM_READ);
    EXPECT_EQ(s->Stat(nullptr, 0), STG_E_INVALIDPOINTER);

    ULONG written = 5;
    EXPECT_EQ(s->Write("x", 1, &written), STG_E_ACCESSDENIED);
    EXPECT_EQ(written, 0u);
    ULARGE_INTEGER size{};
    EXPECT_EQ(s->SetSize(size), STG_E_ACCESSDENIED);
    EXPECT_EQ(s->Commit(0), STG_E_ACCESSDENIED);
    EXPECT_EQ(ReadText(s, 10), "0123456789") << "nothing was written";

    for (const IID* iid : {&IID_IStream, &IID_ISequentialStream, &IID_IUnknown}) {
        void* p = nullptr;
        ASSERT_EQ(s->QueryInterface(*iid, &p), S_OK);
        EXPECT_EQ(p, s);
        s->Release();
    }
    void* p = nullptr;
    EXPECT_EQ(s->QueryInterface(IID_IMAPIProp, &p), MAPI_E_INTERFACE_NOT_SUPPORTED);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(s->Release(), 0u);

    EXPECT_EQ(CreateMemoryStream({}, nullptr), MAPI_E_INVALID_PARAMETER);
}

TEST(MemStreamTest, CloneStartsWhereTheStreamIsAndMovesAlone)
{
    LPSTREAM s = Digits();
    ASSERT_EQ(SeekTo(s, 6, STREAM_SEEK_SET), S_OK);
    LPSTREAM c = nullptr;
    ASSERT_EQ(s->Clone(&c), S_OK);
    EXPECT_EQ(ReadText(c, 2), "67");
    EXPECT_EQ(ReadText(s, 1), "6");
    s->Release();
    EXPECT_EQ(ReadText(c, 5), "89") << "the clone keeps the bytes";
    c->Release();
    s = Digits();
    EXPECT_EQ(s->Clone(nullptr), STG_E_INVALIDPOINTER);
    s->Release();
}

class Owner final : public Unknown<IUnknown>
{
public:
    explicit Owner(bool* destroyed) : m_destroyed(destroyed) {}

private:
    ~Owner() override { *m_destroyed = true; }
    bool* m_destroyed;
};

// Bytes read on demand; the reads from failAt on fail as a damaged file does.
class CountingSource final : public StreamSource
{
public:
    explicit CountingSource(uint64_t failAt) : m_failAt(failAt) {}
    uint64_t Size() const override { return 8; }
    HRESULT ReadAt(uint64_t offset, void* dest, size_t n) const override
    {
        if (offset + n > m_failAt)
            return MAPI_E_CORRUPT_DATA;
        for (size_t i = 0; i < n; ++i)
            static_cast<char*>(dest)[i] = static_cast<char>('a' + offset + i);
        return S_OK;
    }

private:
    uint64_t m_failAt;
};

TEST(MemStreamTest, SourceStreamKeepsItsOwnerAliveAndFailsReadsCleanly)
{
    bool destroyed = false;
    auto* owner = new Owner(&destroyed);
    LPSTREAM s = nullptr;
    ASSERT_EQ(CreateSourceStream(std::make_shared<CountingSource>(6), owner, &s), S_OK);
    owner->Release();
    EXPECT_FALSE(destroyed);

    EXPECT_EQ(ReadText(s, 4), "abcd");
    char buf[4] = {};
    ULONG got = 9;
    EXPECT_EQ(s->Read(buf, 4, &got), MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(got, 0u);
    uint64_t pos = 0;
    ASSERT_EQ(SeekTo(s, 0, STREAM_SEEK_CUR, &pos), S_OK);
    EXPECT_EQ(pos, 4u) << "a failed read moves nothing";
    EXPECT_EQ(ReadText(s, 2), "ef");
    STATSTG st{};
    ASSERT_EQ(s->Stat(&st, 0), S_OK);
    EXPECT_EQ(st.cbSize.QuadPart, 8u);

    LPSTREAM c = nullptr;
    ASSERT_EQ(s->Clone(&c), S_OK);
    s->Release();
    EXPECT_FALSE(destroyed) << "the clone holds the owner too";
    c->Release();
    EXPECT_TRUE(destroyed);

    LPSTREAM none = reinterpret_cast<LPSTREAM>(0x1);
    EXPECT_EQ(CreateSourceStream(nullptr, nullptr, &none), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(none, nullptr);
}

} // namespace
