// Damaged copies of sample stores (written to a temporary folder) fail cleanly: an Error
// that says what and where, and only the objects that need the damaged part fail.
#include "pst/messaging/store.h"
#include "pst/messaging/walk.h"
#include "pst/util/reader.h"

#include "Corrupters.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace dravik::pst;

namespace {
using Bytes = std::vector<uint8_t>;

Bytes readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

class Corrupt : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("dravik-corrupt-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string write(const std::string& name, const Bytes& b) {
        fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        return p.string();
    }
    fs::path dir_;
};

// Opening and walking either succeeds or fails with an Error; nothing else may escape.
WalkStats openAndWalk(const std::string& path, bool checkCrc, bool* opened) {
    *opened = false;
    try {
        auto s = Store::open(path, {.checkCrc = checkCrc});
        *opened = true;
        return walkStore(*s);
    } catch (const Error&) {
        return {};
    }
}

// Corrupters: each returns a damaged copy.
Bytes truncated(Bytes b, size_t n) { b.resize(std::min(n, b.size())); return b; }
Bytes overwritten(Bytes b, size_t at, size_t n, uint8_t v) {
    for (size_t i = at; i < at + n && i < b.size(); ++i) b[i] = v;
    return b;
}
}  // namespace

TEST_F(Corrupt, TruncatedCopiesFailCleanly) {
    const Bytes good = readFile(std::string(DRAVIK_SAMPLES_DIR) + "/pstsdk-sample1.pst");
    ASSERT_FALSE(good.empty());
    for (size_t n : {size_t{0}, size_t{100}, size_t{511}, size_t{600}, good.size() / 4, good.size() / 2, good.size() - 1}) {
        std::string p = write("trunc.pst", truncated(good, n));
        bool opened;
        WalkStats st = openAndWalk(p, true, &opened);
        if (n < 564) {
            EXPECT_FALSE(opened) << n;
        } else if (opened && n <= good.size() / 2) {
            EXPECT_GT(st.errors, 0u) << n;  // something is missing and it is reported, not invented
        }
    }
    // The header's own check: too short to hold one.
    try {
        Store::open(write("tiny.pst", truncated(good, 100)));
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Corrupt);
    }
}

TEST_F(Corrupt, DamagedHeaderIsCorruptUnlessCrcChecksAreOff) {
    const Bytes good = readFile(std::string(DRAVIK_SAMPLES_DIR) + "/pstsdk-sample1.pst");
    // A byte inside the CRC-covered part of the header that nothing else reads.
    std::string p = write("hdr.pst", overwritten(good, 20, 1, 0x5A));
    try {
        Store::open(p);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Corrupt);
        EXPECT_NE(std::string(e.what()).find("dwCRCPartial"), std::string::npos) << e.what();
    }
    auto s = Store::open(p, {.checkCrc = false});
    EXPECT_EQ(walkStore(*s).errors, 0u);

    std::string bad = write("magic.pst", overwritten(good, 0, 4, 0));
    EXPECT_THROW(Store::open(bad, {.checkCrc = false}), Error);
    std::string ver = write("ver.pst", overwritten(good, 10, 1, 99));
    try {
        Store::open(ver, {.checkCrc = false});
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Unsupported);
    }
}

TEST_F(Corrupt, ADamagedMessageFailsAloneAndTheRestStaysReadable) {
    const std::string path = std::string(DRAVIK_SAMPLES_DIR) + "/pst-extractor-enron.pst";
    const Bytes good = readFile(path);
    auto s = Store::open(path);
    const WalkStats all = walkStore(*s);
    ASSERT_EQ(all.errors, 0u);
    // Find the first data block of one message and damage it.
    uint32_t victim = 0;
    walkStore(*s, [&](const WalkEvent& e) {
        if (e.kind == WalkEvent::Kind::Message && !victim && e.depth > 1) victim = e.nid;
    });
    ASSERT_NE(victim, 0u);
    NodeRef node = s->ndb().node(victim);
    BlockEntry be = s->ndb().block(node.bidData);

    for (bool crc : {true, false}) {
        std::string p = write("msg.pst", overwritten(good, be.ib, be.cb, 0xFF));
        std::vector<std::string> errors;
        auto damaged = Store::open(p, {.checkCrc = crc});
        WalkStats st = walkStore(*damaged, [&](const WalkEvent& e) {
            if (e.kind == WalkEvent::Kind::Error) errors.push_back(e.error);
        });
        EXPECT_GE(st.errors, 1u) << crc;
        EXPECT_EQ(st.folders, all.folders) << crc;
        EXPECT_GE(st.messages, all.messages - 1) << crc;  // the damaged one may be counted or not
        EXPECT_LT(st.properties, all.properties) << crc;
        ASSERT_FALSE(errors.empty());
        if (crc) {
            EXPECT_NE(errors[0].find("dwCRC"), std::string::npos) << errors[0];
        }
        try {
            damaged->message(victim);
            FAIL() << "damaged message opened";
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::Corrupt) << e.what();
        }
    }
}

TEST_F(Corrupt, DamagedBTreePagesAndBlocksNeverCrash) {
    // Overwrite each 512-byte unit of a small store in turn; every outcome must be an
    // Error or a clean walk.
    const Bytes good = readFile(std::string(DRAVIK_SAMPLES_DIR) + "/pstsdk-sample2.pst");
    size_t failures = 0;
    for (size_t at = 512; at < good.size(); at += 512 * 7) {
        for (uint8_t v : {uint8_t{0x00}, uint8_t{0xFF}}) {
            std::string p = write("unit.pst", overwritten(good, at, 512, v));
            bool opened;
            WalkStats st = openAndWalk(p, false, &opened);
            failures += !opened || st.errors > 0;
        }
    }
    EXPECT_GT(failures, 0u);
}

TEST_F(Corrupt, NotFoundAndCorruptAreDifferentErrors) {
    auto s = Store::open(std::string(DRAVIK_SAMPLES_DIR) + "/pstsdk-sample1.pst");
    try {
        s->message(0x7FFFFFE4);
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::NotFound);
        EXPECT_EQ(e.where().nid, 0x7FFFFFE4u);
    }
}

// A large value whose data tree names a block the file does not hold is damaged, not large:
// its entry says it cannot be read (before, its size alone made it look whole), and the walk
// counts it.
TEST_F(Corrupt, ALargeValueWithAMissingDataBlockIsDamagedNotLarge) {
    const std::string path = std::string(DRAVIK_SAMPLES_DIR) + "/pst-extractor-enron.pst";
    Bytes bytes = readFile(path);
    uint32_t message = 0, attachment = 0;
    uint64_t xblock = 0;
    {
        auto s = Store::open(path);
        walkStore(*s, [&](const WalkEvent& e) {
            if (e.kind != WalkEvent::Kind::Attachment || xblock) return;
            const PropEntry* data = e.attachment->properties().find(0x3701);
            if (!data || data->place != PropEntry::Place::Subnode || data->size <= 0x8000) return;
            const uint64_t bid = corrupters::valueDataTree(s->ndb(), e.attachment->properties(), 0x3701);
            if (!(bid & 0x2)) return;
            xblock = bid;
            message = e.message->nid();
            attachment = e.nid;
        });
        ASSERT_NE(xblock, 0u) << "no attachment of more than 32 KiB";
        corrupters::dropFirstDataBlock(bytes, s->ndb(), xblock);
    }
    auto damaged = Store::open(write("leaf.pst", bytes));
    const Message m = damaged->message(message);
    const Attachment a = m.attachment(attachment);
    const PropEntry* data = a.properties().find(0x3701);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->place, PropEntry::Place::Missing);
    EXPECT_THROW(a.properties().read(*data), Error);
    EXPECT_GT(walkStore(*damaged).errors, 0u);
}
