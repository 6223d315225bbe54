#include "mapi32/providers/ab/abprops.h"

#include "mapi32/mapitags.h"
#include "mapi32/table.h"

#include <deque>

namespace dravik::mapi32::ab {

HRESULT MakeTable(const std::vector<const PropSet*>& rows, std::vector<ULONG> columns, bool wide, LPMAPITABLE* out)
{
    if (!out)
        return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    for (ULONG& c : columns)
        if (PROP_TYPE(c) == PT_STRING8 || PROP_TYPE(c) == PT_UNICODE)
            c = CHANGE_PROP_TYPE(c, wide ? PT_UNICODE : PT_STRING8);
    std::deque<std::u16string> keep;
    std::deque<std::vector<uint8_t>> keys;
    std::vector<std::vector<SPropValue>> values;
    values.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        std::vector<SPropValue> row = rows[i]->Values(wide, keep);
        if (!rows[i]->Has(PR_INSTANCE_KEY)) {
            const auto n = static_cast<uint32_t>(i);
            keys.push_back({static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
                            static_cast<uint8_t>(n >> 24)});
            SPropValue key{};
            key.ulPropTag = PR_INSTANCE_KEY;
            key.Value.bin.cb = 4;
            key.Value.bin.lpb = keys.back().data();
            row.push_back(key);
        }
        values.push_back(std::move(row));
    }
    return CreateMemoryTable(values, columns, out);
}

} // namespace dravik::mapi32::ab
