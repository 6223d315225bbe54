#include "pst/messaging/walk.h"

#include "pst/util/error.h"

#include <unordered_set>

namespace dravik::pst {

namespace {
class Walker {
public:
    Walker(Store& store, const std::function<void(const WalkEvent&)>& cb) : store_(store), cb_(cb) {}

    void folder(uint32_t nid, int depth) {
        if (depth > 64 || !seenFolders_.insert(nid).second) {
            error(nid, depth, "folder " + hex(nid) + " appears twice in the folder tree");
            return;
        }
        try {
            Folder f = store_.folder(nid);
            ++stats.folders;
            readAll(f.properties());
            emit(WalkEvent::Kind::Folder, depth, nid, &f, nullptr, nullptr);
            for (auto tableOf : {&Folder::contentsTable, &Folder::associatedContentsTable}) {
                try {
                    TableContext t = (f.*tableOf)();
                    for (size_t i = 0; i < t.rowCount(); ++i) {
                        try {
                            const TableRow row = t.row(i);
                            damagedCells(row, nid, depth);
                            uint32_t mid = row.rowId;
                            Message m = store_.message(mid);
                            message(m, depth + 1);
                        } catch (const Error& e) {
                            error(nid, depth + 1, e.what());
                        }
                    }
                } catch (const Error& e) {
                    error(nid, depth, e.what());
                }
            }
            TableContext h = f.hierarchyTable();
            for (size_t i = 0; i < h.rowCount(); ++i) {
                uint32_t child;
                try {
                    const TableRow row = h.row(i);
                    damagedCells(row, nid, depth);
                    child = row.rowId;
                } catch (const Error& e) {
                    error(nid, depth, e.what());
                    continue;
                }
                folder(child, depth + 1);
            }
        } catch (const Error& e) {
            error(nid, depth, e.what());
        }
    }

    void message(const Message& m, int depth) {
        if (depth > 64) {
            error(m.nid(), depth, "embedded messages nested too deeply");
            return;
        }
        ++stats.messages;
        readAll(m.properties());
        emit(WalkEvent::Kind::Message, depth, m.nid(), nullptr, &m, nullptr);
        try {
            TableContext r = m.recipientTable();
            for (size_t i = 0; i < r.rowCount(); ++i) {
                auto row = r.row(i);
                damagedCells(row, m.nid(), depth);
                ++stats.recipients;
                for (auto& c : row.cells) stats.bytes += c.raw.size();
            }
        } catch (const Error& e) {
            error(m.nid(), depth, e.what());
        }
        try {
            TableContext a = m.attachmentTable();
            for (size_t i = 0; i < a.rowCount(); ++i) {
                try {
                    const TableRow row = a.row(i);
                    damagedCells(row, m.nid(), depth);
                    Attachment att = m.attachment(row.rowId);
                    ++stats.attachments;
                    readAll(att.properties());
                    emit(WalkEvent::Kind::Attachment, depth, att.nid(), nullptr, &m, &att);
                    if (att.hasEmbeddedMessage()) message(att.embeddedMessage(), depth + 1);
                } catch (const Error& e) {
                    error(m.nid(), depth, e.what());
                }
            }
        } catch (const Error& e) {
            error(m.nid(), depth, e.what());
        }
    }

    WalkStats stats;

private:
    void damagedCells(const TableRow& row, uint32_t nid, int depth) {
        for (uint32_t tag : row.damaged)
            error(nid, depth, "table row " + hex(row.rowId) + ": the value of column " + hex(tag) + " cannot be read");
    }
    void readAll(const PropertyContext& pc) {
        for (const auto& e : pc.entries()) {
            try {
                stats.bytes += pc.read(e).raw.size();
                ++stats.properties;
            } catch (const Error& err) {
                error(static_cast<uint32_t>(pc.node().nid), 0, err.what());
            }
        }
    }
    void emit(WalkEvent::Kind k, int depth, uint32_t nid, const Folder* f, const Message* m, const Attachment* a) {
        if (!cb_) return;
        WalkEvent e{k, depth, nid, f, m, a, {}};
        cb_(e);
    }
    void error(uint32_t nid, int depth, std::string what) {
        ++stats.errors;
        if (!cb_) return;
        WalkEvent e{WalkEvent::Kind::Error, depth, nid, nullptr, nullptr, nullptr, std::move(what)};
        cb_(e);
    }

    Store& store_;
    const std::function<void(const WalkEvent&)>& cb_;
    std::unordered_set<uint32_t> seenFolders_;
};
}  // namespace

WalkStats walkStore(Store& store, const std::function<void(const WalkEvent&)>& callback) {
    Walker w(store, callback);
    w.folder(store.rootFolderNid(), 0);
    return w.stats;
}

}  // namespace dravik::pst
