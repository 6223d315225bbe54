// Named-property texts of the sample stores, checked against the stores'
// name-to-ID maps as the format library reads them.
#include "props/PropText.h"

#include "pst/messaging/store.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

GUID GuidFromFile(const dravik::pst::Guid& b)
{
    GUID g;
    g.Data1 = static_cast<ULONG>(b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<ULONG>(b[3]) << 24));
    g.Data2 = static_cast<unsigned short>(b[4] | (b[5] << 8));
    g.Data3 = static_cast<unsigned short>(b[6] | (b[7] << 8));
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = b[8 + i];
    return g;
}

std::u16string Utf16FromFile(const std::vector<uint8_t>& bytes)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        text += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    return text;
}

TEST(RealStores, NamedPropertyTextsAgreeWithTheStoresNameMaps)
{
    size_t stores = 0;
    size_t names = 0;
    size_t stringNames = 0;
    for (const auto& entry : std::filesystem::directory_iterator(DRAVIK_SAMPLES_DIR)) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".pst" && ext != ".ost")
            continue;
        std::shared_ptr<dravik::pst::Store> store;
        try {
            store = dravik::pst::Store::open(entry.path().string());
        } catch (const dravik::pst::Error& e) {
            ADD_FAILURE() << entry.path() << ": " << e.what();
            continue;
        }
        ++stores;
        for (const auto& np : store->nameMap().all()) {
            GUID guid = GuidFromFile(np.guid);
            std::u16string wide;
            MAPINAMEID name{};
            name.lpguid = &guid;
            if (np.kind == dravik::pst::NamedProperty::Kind::String) {
                wide = Utf16FromFile(np.nameUtf16);
                name.ulKind = MNID_STRING;
                name.Kind.lpwstrName = wide.data();
            } else {
                name.ulKind = MNID_ID;
                name.Kind.lID = static_cast<LONG>(np.lid);
            }
            const CNamedPropText text = FormatNamedProp(&name);
            const std::string where = entry.path().filename().string() + " id " + std::to_string(np.propId);
            EXPECT_EQ(text.strGuid, dravik::pst::guidText(np.guid)) << where;
            if (np.kind == dravik::pst::NamedProperty::Kind::String) {
                EXPECT_EQ(text.strKind, "MNID_STRING") << where;
                if (np.name.size() <= 254)
                    EXPECT_EQ(text.strName, np.name) << where;
                else
                    EXPECT_LE(text.strName.size(), 254u) << where;
                ++stringNames;
            } else {
                char sz[16];
                std::snprintf(sz, sizeof sz, "0x%08x", static_cast<unsigned>(np.lid));
                EXPECT_EQ(text.strKind, "MNID_ID") << where;
                EXPECT_EQ(text.strId, sz) << where;
                EXPECT_EQ(text.strName, "") << where;
            }
            ++names;
        }
    }
    EXPECT_GE(stores, 5u) << "the sample stores are read from " << DRAVIK_SAMPLES_DIR;
    EXPECT_GT(names, 100u);
    EXPECT_GT(stringNames, 0u);
    std::printf("%zu stores, %zu names (%zu string names) checked\n", stores, names, stringNames);
}

} // namespace
