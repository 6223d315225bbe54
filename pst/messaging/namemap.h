// The named-property map of a store (NID 0x61): property IDs 0x8000 and above to
// (property set GUID, numeric ID or string name) and back.
//   const NameMap& m = store->nameMap();
//   if (auto np = m.find(0x8005)) { np->guid; np->kind == NamedProperty::Kind::String ? np->name : ... }
//   std::optional<uint16_t> id = m.idOf(PS_PUBLIC_STRINGS, "Keywords");
#pragma once

#include "pst/ndb/ndb.h"
#include "pst/util/error.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace dravik::pst {

// A GUID as its 16 bytes in the file's order (Data1..Data3 little-endian).
using Guid = std::array<uint8_t, 16>;
extern const Guid PS_MAPI;            // {00020328-0000-0000-C000-000000000046}
extern const Guid PS_PUBLIC_STRINGS;  // {00020329-0000-0000-C000-000000000046}
std::string guidText(const Guid& g);  // "{00020329-0000-0000-C000-000000000046}"

struct NamedProperty {
    enum class Kind { Id, String };
    uint16_t propId = 0;  // 0x8000 + wPropIdx
    Guid guid{};
    Kind kind = Kind::Id;
    uint32_t lid = 0;          // numeric name (Kind::Id)
    std::string name;          // string name as UTF-8 (Kind::String)
    std::vector<uint8_t> nameUtf16;  // the same name as the store holds it (UTF-16LE)
};

class NameMap {
public:
    NameMap() = default;
    NameMap(Ndb& ndb);  // throws Error if the map node is damaged
    // A map from its three streams (GUIDs, entries, strings), as a store's map
    // node and a .msg file's __nameid_version1.0 storage hold them; throws Error
    // if they are damaged.
    NameMap(const std::vector<uint8_t>& guids, const std::vector<uint8_t>& entries,
            const std::vector<uint8_t>& strings, Where where = {});
    const std::vector<NamedProperty>& all() const { return all_; }
    const NamedProperty* find(uint16_t propId) const;
    std::optional<uint16_t> idOf(const Guid& guid, uint32_t lid) const;
    std::optional<uint16_t> idOf(const Guid& guid, const std::string& utf8Name) const;

private:
    std::vector<NamedProperty> all_;
    std::map<uint16_t, size_t> byId_;
    std::map<std::pair<Guid, uint32_t>, uint16_t> byLid_;
    std::map<std::pair<Guid, std::string>, uint16_t> byName_;
};

}  // namespace dravik::pst
