#include "mapi32/providers/ab/abprops.h"

#include "mapi32/providers/ab/abentryid.h"
#include "mapi32/mapitags.h"
#include "mapi32/table.h"

#include <algorithm>
#include <cstring>

namespace dravik::mapi32::ab {

PropSet::Entry* PropSet::Find(ULONG id)
{
    for (Entry& e : m_entries)
        if (e.id == id)
            return &e;
    return nullptr;
}

const PropSet::Entry* PropSet::Find(ULONG id) const
{
    for (const Entry& e : m_entries)
        if (e.id == id)
            return &e;
    return nullptr;
}

PropSet::Entry& PropSet::Slot(ULONG id)
{
    if (Entry* e = Find(id)) {
        *e = Entry{};
        e->id = id;
        return *e;
    }
    Entry& e = m_entries.emplace_back();
    e.id = id;
    return e;
}

void PropSet::SetText(ULONG tag, const std::string& utf8)
{
    Entry& e = Slot(PROP_ID(tag));
    e.isText = true;
    e.text = utf8;
}

void PropSet::SetLong(ULONG tag, ULONG value)
{
    SPropValue v{};
    v.ulPropTag = CHANGE_PROP_TYPE(tag, PT_LONG);
    v.Value.ul = value;
    SetValue(v);
}

void PropSet::SetBool(ULONG tag, bool value)
{
    SPropValue v{};
    v.ulPropTag = CHANGE_PROP_TYPE(tag, PT_BOOLEAN);
    v.Value.b = value ? 1 : 0;
    SetValue(v);
}

void PropSet::SetBinary(ULONG tag, const std::vector<uint8_t>& bytes)
{
    SPropValue v{};
    v.ulPropTag = CHANGE_PROP_TYPE(tag, PT_BINARY);
    v.Value.bin.cb = static_cast<ULONG>(bytes.size());
    v.Value.bin.lpb = const_cast<LPBYTE>(bytes.data());
    SetValue(v);
}

void PropSet::SetValue(const SPropValue& value)
{
    const ULONG type = PROP_TYPE(value.ulPropTag);
    if (type == PT_STRING8 || type == PT_UNICODE) {
        std::string text;
        ValueText(value, text);
        SetText(value.ulPropTag, text);
        return;
    }
    LPSPropValue dup = nullptr;
    if (FAILED(ScDupPropset(1, const_cast<LPSPropValue>(&value), nullptr, &dup)))
        return;  // out of memory: the value is left out
    Entry& e = Slot(PROP_ID(value.ulPropTag));
    e.value.reset(dup, Free{});
}

void PropSet::Merge(const PropSet& from, ULONG firstId, ULONG lastId)
{
    for (const Entry& e : from.m_entries)
        if (e.id >= firstId && e.id <= lastId && !Find(e.id))
            m_entries.push_back(e);
}

const std::string* PropSet::Text(ULONG tag) const
{
    const Entry* e = Find(PROP_ID(tag));
    return e && e->isText ? &e->text : nullptr;
}

const SPropValue* PropSet::Raw(ULONG tag) const
{
    const Entry* e = Find(PROP_ID(tag));
    return e && !e->isText ? e->value.get() : nullptr;
}

namespace {

SPropValue TextValue(ULONG id, const std::string& text, ULONG type, std::deque<std::u16string>& keep)
{
    SPropValue v{};
    v.ulPropTag = PROP_TAG(type, id);
    if (type == PT_UNICODE) {
        keep.push_back(Utf8ToUtf16(text));
        v.Value.lpszW = keep.back().data();
    } else {
        v.Value.lpszA = const_cast<LPSTR>(text.c_str());
    }
    return v;
}

} // namespace

std::vector<SPropValue> PropSet::Values(bool wide, std::deque<std::u16string>& keep) const
{
    std::vector<SPropValue> out;
    out.reserve(m_entries.size());
    for (const Entry& e : m_entries)
        out.push_back(e.isText ? TextValue(e.id, e.text, wide ? PT_UNICODE : PT_STRING8, keep) : *e.value);
    return out;
}

bool PropSet::Value(ULONG tag, bool wide, std::deque<std::u16string>& keep, SPropValue& out) const
{
    const Entry* e = Find(PROP_ID(tag));
    if (!e)
        return false;
    const ULONG type = PROP_TYPE(tag);
    if (e->isText) {
        if (type != PT_UNSPECIFIED && type != PT_STRING8 && type != PT_UNICODE)
            return false;
        out = TextValue(e->id, e->text, type == PT_UNSPECIFIED ? (wide ? PT_UNICODE : PT_STRING8) : type, keep);
        return true;
    }
    if (type != PT_UNSPECIFIED && type != PROP_TYPE(e->value->ulPropTag))
        return false;
    out = *e->value;
    return true;
}

bool PropSet::StreamBytes(ULONG tag, std::vector<uint8_t>& out) const
{
    const Entry* e = Find(PROP_ID(tag));
    if (!e)
        return false;
    const ULONG type = PROP_TYPE(tag);
    if (e->isText) {
        if (type == PT_UNICODE) {
            out.clear();
            for (char16_t c : Utf8ToUtf16(e->text)) {
                out.push_back(static_cast<uint8_t>(c));
                out.push_back(static_cast<uint8_t>(c >> 8));
            }
            return true;
        }
        if (type == PT_STRING8 || type == PT_UNSPECIFIED) {
            out.assign(e->text.begin(), e->text.end());
            return true;
        }
        return false;
    }
    if (PROP_TYPE(e->value->ulPropTag) != PT_BINARY || (type != PT_BINARY && type != PT_UNSPECIFIED))
        return false;
    const SBinary& b = e->value->Value.bin;
    out.assign(b.lpb, b.lpb + b.cb);
    return true;
}

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
