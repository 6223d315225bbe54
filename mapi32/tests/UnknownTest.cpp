#include "mapi32/unknown.h"

#include <gtest/gtest.h>

using namespace dravik::mapi32;

namespace {

constexpr IID IID_ITestThing = {0x6D1A55E0, 0x1B2C, 0x4D3E, {0x9F, 0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76}};

// An interface with GetLastError, as IMAPIProp and IMAPITable have.
class ITestThing : public IUnknown
{
public:
    virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
    virtual int Answer() = 0;

protected:
    ~ITestThing() = default;
};

class Thing final : public Unknown<ITestThing, IID_ITestThing>
{
public:
    explicit Thing(bool* destroyed) : m_destroyed(destroyed) {}
    int Answer() override { return 42; }

private:
    ~Thing() override { *m_destroyed = true; }
    bool* m_destroyed;
};

TEST(UnknownTest, QueryInterfaceAnswersIUnknownAndTheListedInterfacesOnly)
{
    bool destroyed = false;
    auto* thing = new Thing(&destroyed);
    struct Case
    {
        const char* name;
        const IID& iid;
        HRESULT expected;
    };
    const Case cases[] = {{"IUnknown", IID_IUnknown, S_OK},
                          {"listed", IID_ITestThing, S_OK},
                          {"IMAPIProp", IID_IMAPIProp, MAPI_E_INTERFACE_NOT_SUPPORTED},
                          {"IStream", IID_IStream, MAPI_E_INTERFACE_NOT_SUPPORTED}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        void* out = reinterpret_cast<void*>(0x1);  // overwritten whatever the answer
        ASSERT_EQ(thing->QueryInterface(c.iid, &out), c.expected);
        if (c.expected == S_OK) {
            ASSERT_EQ(out, static_cast<ITestThing*>(thing));
            EXPECT_EQ(static_cast<ITestThing*>(out)->Answer(), 42);
            EXPECT_EQ(static_cast<IUnknown*>(out)->Release(), 1u);  // the reference it took
        } else {
            EXPECT_EQ(out, nullptr);
        }
    }
    EXPECT_EQ(thing->QueryInterface(IID_ITestThing, nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(thing->AddRef(), 2u) << "a refused call must not take a reference";
    thing->Release();
    EXPECT_EQ(thing->Release(), 0u);
    EXPECT_TRUE(destroyed);
}

TEST(UnknownTest, TheLastReleaseDestroysTheObject)
{
    bool destroyed = false;
    auto* thing = new Thing(&destroyed);
    EXPECT_EQ(thing->AddRef(), 2u);
    void* again = nullptr;
    ASSERT_EQ(thing->QueryInterface(IID_IUnknown, &again), S_OK);
    EXPECT_EQ(thing->Release(), 2u);
    EXPECT_EQ(static_cast<IUnknown*>(again)->Release(), 1u);
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(thing->Release(), 0u);
    EXPECT_TRUE(destroyed);
}

TEST(UnknownTest, GetLastErrorHasNoExtendedError)
{
    bool destroyed = false;
    auto* thing = new Thing(&destroyed);
    auto* error = reinterpret_cast<LPMAPIERROR>(0x1);
    EXPECT_EQ(thing->GetLastError(MAPI_E_NOT_FOUND, 0, &error), S_OK);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(thing->GetLastError(MAPI_E_NOT_FOUND, 0, nullptr), S_OK);
    thing->Release();
}

} // namespace
