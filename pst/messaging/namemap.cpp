#include "pst/messaging/namemap.h"

#include "pst/ltp/ltp.h"
#include "pst/util/error.h"
#include "pst/util/reader.h"

#include <cstdio>

namespace dravik::pst {

const Guid PS_MAPI = {0x28, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
const Guid PS_PUBLIC_STRINGS = {0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

std::string guidText(const Guid& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[3], g[2],
                  g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return buf;
}

namespace {
constexpr uint16_t PidTagNameidStreamGuid = 0x0002;
constexpr uint16_t PidTagNameidStreamEntry = 0x0003;
constexpr uint16_t PidTagNameidStreamString = 0x0004;
constexpr uint32_t kNid = 0x61;
}  // namespace

namespace {
std::vector<uint8_t> mapStream(Ndb& ndb, uint16_t id) {
    PropertyContext pc(ndb, ndb.node(kNid));
    auto p = pc.get(id);
    return p ? p->raw : std::vector<uint8_t>{};
}
}  // namespace

NameMap::NameMap(Ndb& ndb)
    : NameMap(mapStream(ndb, PidTagNameidStreamGuid), mapStream(ndb, PidTagNameidStreamEntry),
              mapStream(ndb, PidTagNameidStreamString), Where::node(kNid)) {}

NameMap::NameMap(const std::vector<uint8_t>& guids, const std::vector<uint8_t>& entries,
                 const std::vector<uint8_t>& strings, Where where) {
    if (entries.size() % 8 != 0)
        throw Error::corrupt("name-to-ID entry stream size", where, entries.size() / 8 * 8, entries.size());
    LeReader r(entries, "NAMEID");
    while (r.remaining() >= 8) {
        NamedProperty np;
        uint32_t dwPropertyID = r.u32("dwPropertyID");
        uint16_t wGuid = r.u16("wGuid");
        uint16_t wPropIdx = r.u16("wPropIdx");
        np.propId = static_cast<uint16_t>(0x8000 + wPropIdx);
        const bool isString = wGuid & 1;
        const unsigned guidIndex = wGuid >> 1;
        if (guidIndex == 1) {
            np.guid = PS_MAPI;
        } else if (guidIndex == 2) {
            np.guid = PS_PUBLIC_STRINGS;
        } else if (guidIndex >= 3) {
            size_t off = static_cast<size_t>(guidIndex - 3) * 16;
            if (off + 16 > guids.size())
                throw Error::corrupt("name-to-ID wGuid", where, guids.size() / 16 + 2, guidIndex);
            std::copy(guids.begin() + static_cast<ptrdiff_t>(off), guids.begin() + static_cast<ptrdiff_t>(off + 16), np.guid.begin());
        }
        if (isString) {
            np.kind = NamedProperty::Kind::String;
            LeReader s(strings, "name-to-ID string stream");
            s.seek(dwPropertyID, "string offset");
            uint32_t len = s.u32("string length");
            auto bytes = s.bytes(len, "string");
            np.nameUtf16.assign(bytes.begin(), bytes.end());
            np.name = utf16ToUtf8(bytes.data(), bytes.size());
            byName_.emplace(std::make_pair(np.guid, np.name), np.propId);
        } else {
            np.kind = NamedProperty::Kind::Id;
            np.lid = dwPropertyID;
            byLid_.emplace(std::make_pair(np.guid, np.lid), np.propId);
        }
        byId_.emplace(np.propId, all_.size());
        all_.push_back(std::move(np));
    }
}

const NamedProperty* NameMap::find(uint16_t propId) const {
    auto it = byId_.find(propId);
    return it == byId_.end() ? nullptr : &all_[it->second];
}

std::optional<uint16_t> NameMap::idOf(const Guid& guid, uint32_t lid) const {
    auto it = byLid_.find({guid, lid});
    if (it == byLid_.end()) return std::nullopt;
    return it->second;
}

std::optional<uint16_t> NameMap::idOf(const Guid& guid, const std::string& name) const {
    auto it = byName_.find({guid, name});
    if (it == byName_.end()) return std::nullopt;
    return it->second;
}

}  // namespace dravik::pst
