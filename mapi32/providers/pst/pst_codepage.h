// Which code page the 8-bit strings of a store file are read in: the one place
// that decides it for every object of the store provider (the store, folders,
// messages, recipients, attachments and table rows).
//
//   1. The user's choice, when one is made (SetStoreCodePage): every 8-bit
//      string of the store is read in it.
//   2. What the object declares: PR_MESSAGE_CODEPAGE, PR_INTERNET_CPID,
//      PR_CODE_PAGE_ID, in that order.
//   3. Else its locale: PR_MESSAGE_LOCALE_ID, PR_LOCALE_ID (an LCID), as the
//      Windows ANSI code page of that locale.
//   4. Else the store's own code page, found once at logon from the store's
//      own values (2 and 3), else (in an ANSI store) from what most of its
//      messages declare.
//   5. Else 1252.
//
// A MIME or mail-only code page (ISO-2022, EUC, KOI8, ISO-8859 and the like)
// names the script, not the bytes a client stores: it stands for the Windows
// ANSI code page of the same script (50220 ISO-2022-JP reads as 932).
#pragma once

#include "pst_text.h"

#include "pst/ltp/ltp.h"

#include <cstdint>
#include <optional>

namespace dravik::pst {
class Store;
}

namespace dravik::mapi32::pst_provider {

constexpr uint16_t kIdInternetCpid = 0x3FDE;     // PR_INTERNET_CPID
constexpr uint16_t kIdMessageCodepage = 0x3FFD;  // PR_MESSAGE_CODEPAGE
constexpr uint16_t kIdCodePageId = 0x66C3;       // PR_CODE_PAGE_ID
constexpr uint16_t kIdMessageLocaleId = 0x3FF1;  // PR_MESSAGE_LOCALE_ID
constexpr uint16_t kIdLocaleId = 0x66A1;         // PR_LOCALE_ID

// The Windows ANSI code page a MIME or mail-only code page stands for; any
// other code page is returned as it is.
uint32_t AnsiCodePageOf(uint32_t codePage);

// The Windows ANSI code page of a locale (LCID); 0 for a locale without one
// (Unicode-only scripts) or one this table does not know.
uint32_t LocaleCodePage(uint32_t lcid);

// A code page declared by a value, as its ANSI twin, if iconv can read it.
// UTF-16 and UTF-32 name Unicode values, never 8-bit ones: no code page.
// value: the declaring property's value as an integer, if it has one.
std::optional<uint32_t> DeclaredCodePageOf(std::optional<int64_t> value);
inline std::optional<uint32_t> DeclaredCodePage(const pst::Property* p)
{
    return DeclaredCodePageOf(p ? p->int64() : std::nullopt);
}
inline std::optional<uint32_t> DeclaredCodePage(const pst::TableRowView::Cell* p)
{
    return DeclaredCodePageOf(p ? p->int64() : std::nullopt);
}
inline std::optional<uint32_t> DeclaredCodePage(const std::optional<pst::Property>& p)
{
    return DeclaredCodePage(p ? &*p : nullptr);
}

// The code page an object's own values name (rules 2 and 3); get(id) gives
// the object's value of a property ID, or nullopt (or null).
template <class Get>
std::optional<uint32_t> OwnCodePage(Get&& get)
{
    for (uint16_t id : {kIdMessageCodepage, kIdInternetCpid, kIdCodePageId})
        if (auto cp = DeclaredCodePage(get(id)))
            return cp;
    for (uint16_t id : {kIdMessageLocaleId, kIdLocaleId}) {
        const auto p = get(id);
        const auto lcid = p ? p->int64() : std::nullopt;
        if (lcid && *lcid > 0 && *lcid <= 0xFFFFFFFF)
            if (const uint32_t cp = LocaleCodePage(static_cast<uint32_t>(*lcid)); cp && pst_text::IsSupportedCodePage(cp))
                return cp;
    }
    return std::nullopt;
}

inline std::optional<uint32_t> OwnCodePage(const pst::PropertyContext& pc)
{
    return OwnCodePage([&pc](uint16_t id) { return pc.get(id); });
}

inline std::optional<uint32_t> OwnCodePage(const pst::TableRow& row)
{
    return OwnCodePage([&row](uint16_t id) { return row.find(id); });
}

inline std::optional<uint32_t> OwnCodePage(const pst::TableRowView& row)
{
    // The row's cells themselves, not copies: a table asks for every row.
    return OwnCodePage([&row](uint16_t id) { return row.find(id); });
}

// The store's own code page (rules 4 and 5): its message store object's
// values, else, in an ANSI store, the code page that more than half of a
// sample of its messages name (at most a few hundred messages are read,
// whatever the store's size), else 1252. Damage met on the way is passed over: the walk reports it.
uint32_t StoreCodePage(pst::Store& store);

} // namespace dravik::mapi32::pst_provider
