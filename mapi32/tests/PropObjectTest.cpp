#include "mapi32/mapitags.h"
#include "mapi32/propobject.h"

#include <gtest/gtest.h>

#include <string>

using namespace dravik::mapi32;

namespace {

class User final : public PropObject<IMailUser, IID_IMAPIProp, IID_IMailUser>
{
public:
    explicit User(PropSet props) : PropObject(std::move(props)) {}
};

// "Zoë", an ID and a display type.
IMailUser* MakeUser()
{
    PropSet p;
    p.SetText(PR_DISPLAY_NAME, "Zo\xC3\xAB");
    p.SetBinary(PR_ENTRYID, {1, 2, 3});
    p.SetLong(PR_DISPLAY_TYPE, DT_MAILUSER);
    return new User(std::move(p));
}

TEST(PropObjectTest, GetPropsGivesStringsInTheFormAskedFor)
{
    IMailUser* user = MakeUser();
    ULONG count = 0;
    LPSPropValue values = nullptr;
    ASSERT_EQ(user->GetProps(nullptr, 0, &count, &values), S_OK);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(values[0].ulPropTag, PR_DISPLAY_NAME_A);
    EXPECT_STREQ(values[0].Value.lpszA, "Zo\xC3\xAB");
    EXPECT_EQ(values[2].Value.ul, DT_MAILUSER);
    MAPIFreeBuffer(values);
    ASSERT_EQ(user->GetProps(nullptr, MAPI_UNICODE, &count, &values), S_OK);
    EXPECT_EQ(values[0].ulPropTag, PR_DISPLAY_NAME_W);
    EXPECT_EQ(std::u16string(values[0].Value.lpszW), u"Zo\u00EB");
    MAPIFreeBuffer(values);

    // By tag: a string type names its form; a missing value or another type is PT_ERROR.
    SizedSPropTagArray(4, tags) = {4, {PR_DISPLAY_NAME_W, PR_EMAIL_ADDRESS_A, PROP_TAG(PT_LONG, 0x0FFF), PR_ENTRYID}};
    ASSERT_EQ(user->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values), MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(count, 4u);
    EXPECT_EQ(values[0].ulPropTag, PR_DISPLAY_NAME_W);
    EXPECT_EQ(values[1].ulPropTag, CHANGE_PROP_TYPE(PR_EMAIL_ADDRESS_A, PT_ERROR));
    EXPECT_EQ(values[1].Value.err, MAPI_E_NOT_FOUND);
    EXPECT_EQ(values[2].ulPropTag, PROP_TAG(PT_ERROR, 0x0FFF));
    EXPECT_EQ(values[3].Value.bin.cb, 3u);
    MAPIFreeBuffer(values);

    LPSPropTagArray list = nullptr;
    ASSERT_EQ(user->GetPropList(MAPI_UNICODE, &list), S_OK);
    ASSERT_EQ(list->cValues, 3u);
    EXPECT_EQ(list->aulPropTag[0], PR_DISPLAY_NAME_W);
    MAPIFreeBuffer(list);
    EXPECT_EQ(user->GetProps(nullptr, 0, nullptr, &values), MAPI_E_INVALID_PARAMETER);
    user->Release();
}

TEST(PropObjectTest, OpenPropertyGivesAReadOnlyStreamOfTheValue)
{
    IMailUser* user = MakeUser();
    struct Case
    {
        const char* name;
        ULONG tag;
        const IID* iid;
        ULONG flags;
        HRESULT hr;
        std::string bytes;
    };
    const Case cases[] = {
        {"narrow text", PR_DISPLAY_NAME_A, &IID_IStream, 0, S_OK, "Zo\xC3\xAB"},
        {"wide text", PR_DISPLAY_NAME_W, &IID_ISequentialStream, 0, S_OK, std::string("Z\0o\0\xEB\0", 6)},
        {"binary", PR_ENTRYID, &IID_IStream, MAPI_BEST_ACCESS, S_OK, "\x01\x02\x03"},
        {"to write", PR_DISPLAY_NAME_A, &IID_IStream, MAPI_MODIFY, MAPI_E_NO_ACCESS, ""},
        {"absent", PR_EMAIL_ADDRESS_A, &IID_IStream, 0, MAPI_E_NOT_FOUND, ""},
        {"a number", PR_DISPLAY_TYPE, &IID_IStream, 0, MAPI_E_INTERFACE_NOT_SUPPORTED, ""},
        {"as a table", PR_DISPLAY_NAME_A, &IID_IMAPITable, 0, MAPI_E_INTERFACE_NOT_SUPPORTED, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LPUNKNOWN unk = reinterpret_cast<LPUNKNOWN>(0x1);
        ASSERT_EQ(user->OpenProperty(c.tag, c.iid, 0, c.flags, &unk), c.hr);
        if (FAILED(c.hr)) {
            EXPECT_EQ(unk, nullptr);
            continue;
        }
        auto* stream = static_cast<LPSTREAM>(unk);
        std::string got(16, '\0');
        ULONG n = 0;
        ASSERT_EQ(stream->Read(got.data(), 16, &n), S_OK);
        EXPECT_EQ(got.substr(0, n), c.bytes);
        ULONG written = 0;
        EXPECT_EQ(stream->Write("x", 1, &written), STG_E_ACCESSDENIED);
        stream->Release();
    }
    user->Release();
}

TEST(PropObjectTest, WritesAreRefusedAndNothingIsNamed)
{
    IMailUser* user = MakeUser();
    SPropValue v{};
    v.ulPropTag = PR_DISPLAY_TYPE;
    auto* problems = reinterpret_cast<LPSPropProblemArray>(0x1);
    EXPECT_EQ(user->SetProps(1, &v, &problems), MAPI_E_NO_ACCESS);
    EXPECT_EQ(problems, nullptr);
    EXPECT_EQ(user->DeleteProps(nullptr, nullptr), MAPI_E_NO_ACCESS);
    EXPECT_EQ(user->SaveChanges(KEEP_OPEN_READONLY), MAPI_E_NO_ACCESS);
    problems = reinterpret_cast<LPSPropProblemArray>(0x1);
    EXPECT_EQ(user->CopyTo(0, nullptr, nullptr, 0, nullptr, &IID_IMailUser, user, 0, &problems), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(problems, nullptr);
    EXPECT_EQ(user->CopyProps(nullptr, 0, nullptr, &IID_IMailUser, user, 0, nullptr), MAPI_E_NO_SUPPORT);

    SizedSPropTagArray(1, one) = {1, {PROP_TAG(PT_LONG, 0x8001)}};
    LPSPropTagArray tags = reinterpret_cast<LPSPropTagArray>(&one);
    ULONG count = 0;
    LPMAPINAMEID* names = nullptr;
    ASSERT_EQ(user->GetNamesFromIDs(&tags, nullptr, 0, &count, &names), MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(names[0], nullptr);
    MAPIFreeBuffer(names);
    tags = nullptr;
    ASSERT_EQ(user->GetNamesFromIDs(&tags, nullptr, 0, &count, &names), S_OK);
    EXPECT_EQ(count, 0u);
    ASSERT_NE(tags, nullptr);
    EXPECT_EQ(tags->cValues, 0u);
    MAPIFreeBuffer(tags);
    MAPIFreeBuffer(names);

    MAPINAMEID name{};
    LPMAPINAMEID lpName = &name;
    LPSPropTagArray ids = nullptr;
    EXPECT_EQ(user->GetIDsFromNames(1, &lpName, MAPI_CREATE, &ids), MAPI_E_NO_ACCESS);
    ASSERT_EQ(user->GetIDsFromNames(1, &lpName, 0, &ids), MAPI_W_ERRORS_RETURNED);
    EXPECT_EQ(ids->aulPropTag[0], PROP_TAG(PT_ERROR, 0));
    MAPIFreeBuffer(ids);
    EXPECT_EQ(user->Release(), 0u);
}

} // namespace
