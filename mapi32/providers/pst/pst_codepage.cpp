#include "pst_codepage.h"

#include "mapi32/codepage.h"

#include "pst/messaging/store.h"

#include <atomic>
#include <deque>
#include <map>
#include <unordered_set>

namespace dravik::mapi32::pst_provider {

uint32_t AnsiCodePageOf(uint32_t codePage)
{
    switch (codePage) {
    case 50220: case 50221: case 50222: case 51932: case 20932:  // ISO-2022-JP, EUC-JP
        return 932;
    case 50225: case 51949:  // ISO-2022-KR, EUC-KR
        return 949;
    case 50227: case 51936: case 52936: case 20936:  // ISO-2022-CN, EUC-CN, HZ, GB2312
        return 936;
    case 50229: case 51950:  // ISO-2022 traditional Chinese, EUC-TW
        return 950;
    case 20866: case 21866: case 28595:  // KOI8-R, KOI8-U, ISO-8859-5
        return 1251;
    case 20127: case 28591: case 28593: case 28604: case 28605:  // US-ASCII, Latin 1, 3, 8, 9
        return 1252;
    case 28592: case 28606:  // Latin 2, Latin 10
        return 1250;
    case 28594: case 28603:  // Baltic (ISO-8859-4, -13)
        return 1257;
    case 28596: case 38596:  // Arabic
        return 1256;
    case 28597:  // Greek
        return 1253;
    case 28598: case 38598:  // Hebrew, visual and logical
        return 1255;
    case 28599:  // Turkish
        return 1254;
    case 28601:  // Thai
        return 874;
    case 65000:  // UTF-7 is a mail encoding of Unicode
        return 65001;
    default:
        return codePage;
    }
}

uint32_t LocaleCodePage(uint32_t lcid)
{
    const uint32_t lang = lcid & 0xFFFF;
    const uint32_t primary = lang & 0x3FF;
    switch (primary) {
    case 0x11: return 932;   // Japanese
    case 0x12: return 949;   // Korean
    case 0x04:               // Chinese: Taiwan, Hong Kong, Macao are traditional
        return lang == 0x0404 || lang == 0x0C04 || lang == 0x1404 || lang == 0x7C04 ? 950 : 936;
    case 0x1E: return 874;   // Thai
    case 0x2A: return 1258;  // Vietnamese
    case 0x0D: case 0x3D: return 1255;  // Hebrew, Yiddish
    case 0x01: case 0x29: case 0x20: case 0x8C: case 0x80: case 0x63: return 1256;  // Arabic script
    case 0x08: return 1253;  // Greek
    case 0x1F: return 1254;  // Turkish
    case 0x2C: case 0x43:    // Azeri, Uzbek: Cyrillic or Latin
        return (lang >> 10) == 2 ? 1251 : 1254;
    case 0x25: case 0x26: case 0x27: return 1257;  // Estonian, Latvian, Lithuanian
    case 0x19: case 0x22: case 0x23: case 0x02: case 0x2F: case 0x3F: case 0x40: case 0x44: case 0x28:
    case 0x6D: case 0x85:
        return 1251;  // Russian, Ukrainian, Belarusian, Bulgarian, Macedonian, Kazakh, Kyrgyz, Tatar, ...
    case 0x50: return lang == 0x0450 ? 1251 : 0;  // Mongolian (Cyrillic)
    case 0x1A:  // Croatian, Serbian, Bosnian
        return lang == 0x0C1A || lang == 0x1C1A || lang == 0x281A || lang == 0x301A || lang == 0x201A ? 1251 : 1250;
    case 0x05: case 0x0E: case 0x15: case 0x18: case 0x1B: case 0x24: case 0x1C:
        return 1250;  // Czech, Hungarian, Polish, Romanian, Slovak, Slovenian, Albanian
    case 0x03: case 0x06: case 0x07: case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0F: case 0x10:
    case 0x13: case 0x14: case 0x16: case 0x17: case 0x1D: case 0x21: case 0x2D: case 0x2E: case 0x36:
    case 0x38: case 0x3B: case 0x3C: case 0x3E: case 0x41: case 0x52: case 0x56: case 0x62: case 0x6E:
        return 1252;  // Western European and other Latin-script languages
    default:
        return 0;
    }
}

std::optional<uint32_t> DeclaredCodePageOf(std::optional<int64_t> v)
{
    if (!v || *v <= 0 || *v > 0xFFFF)
        return std::nullopt;
    const auto codePage = AnsiCodePageOf(static_cast<uint32_t>(*v));
    if (codePage == 1200 || codePage == 1201 || codePage == 12000 || codePage == 12001)
        return std::nullopt;
    if (!pst_text::IsSupportedCodePage(codePage))
        return std::nullopt;
    return codePage;
}

namespace {

// How much of a store is read to find the code page its messages name.
constexpr size_t kSampleFolders = 256;
constexpr size_t kSampleMessages = 256;
constexpr size_t kSamplePerFolder = 16;

} // namespace

uint32_t StoreCodePage(pst::Store& store)
{
    try {
        if (auto cp = OwnCodePage(store.properties()))
            return *cp;
    } catch (const pst::Error&) {
    }
    // A Unicode store keeps its texts as Unicode: its few 8-bit strings are
    // its messages', which name their own code pages.
    if (store.info().format != pst::FileFormat::Ansi)
        return pst_text::kDefaultCodePage;
    // The messages' votes, folder by folder from the root, a few from each.
    std::map<uint32_t, size_t> votes;
    size_t voters = 0, messages = 0, folders = 0;
    std::deque<uint32_t> queue{store.rootFolderNid()};
    std::unordered_set<uint32_t> seen;
    while (!queue.empty() && folders < kSampleFolders && messages < kSampleMessages) {
        const uint32_t nid = queue.front();
        queue.pop_front();
        if (!seen.insert(nid).second)
            continue;
        ++folders;
        try {
            const pst::Folder folder = store.folder(nid);
            const pst::TableContext contents = folder.contentsTable();
            for (size_t i = 0; i < contents.rowCount() && i < kSamplePerFolder && messages < kSampleMessages; ++i) {
                ++messages;
                try {
                    const pst::TableRow row = contents.row(i);
                    std::optional<uint32_t> cp = OwnCodePage(row);
                    if (!cp)
                        cp = OwnCodePage(store.message(row.rowId).properties());
                    // UTF-8 is no client's ANSI code page: it says nothing of the store's.
                    if (cp && *cp != 65001) {
                        ++votes[*cp];
                        ++voters;
                    }
                } catch (const pst::Error&) {
                }
            }
            const pst::TableContext hierarchy = folder.hierarchyTable();
            for (size_t i = 0; i < hierarchy.rowCount() && queue.size() < kSampleFolders; ++i)
                queue.push_back(hierarchy.row(i).rowId);
        } catch (const pst::Error&) {
        }
    }
    for (const auto& [cp, n] : votes)
        if (2 * n > voters)
            return cp;
    return pst_text::kDefaultCodePage;
}

} // namespace dravik::mapi32::pst_provider

namespace dravik::mapi32 {
namespace {
std::atomic<uint32_t> g_storeCodePage{0};
} // namespace

void SetStoreCodePage(uint32_t codePage) { g_storeCodePage.store(codePage); }
uint32_t GetStoreCodePage() { return g_storeCodePage.load(); }

bool IsKnownCodePage(uint32_t codePage)
{
    const uint32_t ansi = pst_provider::AnsiCodePageOf(codePage);
    return ansi != 1200 && ansi != 1201 && ansi != 12000 && ansi != 12001 && pst_text::IsSupportedCodePage(ansi);
}

} // namespace dravik::mapi32
