// Damaged .msg files: corrupters that damage a good sample in one way each
// (truncation, a sector chain that leaves the file, a chain that loops, a
// property stream shorter than its header). Each is a clear error: the file
// does not open, or the walk meets the damage and says where; never a crash
// or a hang, and dravik-dump exits 1.
#include "MsgWalk.h"

#include "mapi32/providers/msg/cfb.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

namespace dravik::mapi32::testing {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Load(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

void Save(const std::string& path, const Bytes& b)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

uint32_t U32(const Bytes& b, size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

void PutU32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

// The compound file's layout, as far as the corrupters need it (MS-CFB 2.2).
struct Layout
{
    size_t sectorSize = 512;
    std::vector<uint32_t> fatSectors;
    uint32_t firstDirSector = 0;

    explicit Layout(const Bytes& b)
    {
        sectorSize = size_t{1} << (b[0x1E] | (b[0x1F] << 8));
        const uint32_t fatCount = U32(b, 0x2C);
        firstDirSector = U32(b, 0x30);
        for (uint32_t i = 0; i < fatCount && i < 109; ++i)
            fatSectors.push_back(U32(b, 0x4C + 4 * i));
    }
    size_t SectorOffset(uint32_t sector) const { return (static_cast<size_t>(sector) + 1) * sectorSize; }
    // Where FAT entry n lives in the file.
    size_t FatEntry(uint32_t n) const
    {
        const size_t perSector = sectorSize / 4;
        return SectorOffset(fatSectors.at(n / perSector)) + (n % perSector) * 4;
    }
    // The start sector of the first regular (non-mini) stream of at least min bytes.
    uint32_t BigStreamStart(const Bytes& b, uint64_t min) const
    {
        uint32_t sector = firstDirSector;
        for (int guard = 0; guard < 1000 && sector < 0xFFFFFFFA; ++guard) {
            for (size_t e = 0; e < sectorSize / 128; ++e) {
                const size_t at = SectorOffset(sector) + e * 128;
                if (at + 128 > b.size())
                    break;
                const uint64_t size = U32(b, at + 120);
                if (b[at + 66] == 2 && size >= min && size >= 4096)
                    return U32(b, at + 116);
            }
            sector = U32(b, FatEntry(sector));
        }
        return 0xFFFFFFFF;
    }
};

// A copy of the sample whose top-level property stream (or an attachment's) is cut short.
void CutPropertyStream(const std::string& from, const std::string& to, const std::string& storage, size_t keep)
{
    auto file = cfb::File::Open(from);
    cfb::Writer w(to);
    std::function<void(const cfb::Storage&, cfb::Writer::Dir&, const std::string&)> copy =
        [&](const cfb::Storage& s, cfb::Writer::Dir& d, const std::string& path) {
            for (const cfb::Storage::Entry& c : s.Children()) {
                const std::string p = path + "/" + c.name;
                if (c.storage) {
                    cfb::Writer::Dir sub = d.AddStorage(c.name);
                    copy(s.Child(c.name), sub, p);
                    continue;
                }
                Bytes bytes = s.ReadStream(c.name);
                if (c.name == msg_file::kPropertiesStream && path == storage)
                    bytes.resize(std::min(bytes.size(), keep));
                d.AddStream(c.name, bytes);
            }
        };
    copy(file->Root(), w.Root(), "");
    w.Close();
}

struct Damage
{
    const char* name;
    const char* sample;
    std::function<void(const std::string& good, const std::string& bad)> make;
};

TEST(MsgDamage, EachDamageIsAClearError)
{
    auto bytesCorrupter = [](std::function<void(Bytes&)> f) {
        return [f](const std::string& good, const std::string& bad) {
            Bytes b = Load(good);
            f(b);
            Save(bad, b);
        };
    };
    const std::vector<Damage> table = {
        {"truncated to its header", "msgreader-simple.msg", bytesCorrupter([](Bytes& b) { b.resize(512); })},
        {"truncated to half", "msgreader-attachment-files.msg", bytesCorrupter([](Bytes& b) { b.resize(b.size() / 2); })},
        {"not a compound file", "msgreader-simple.msg", bytesCorrupter([](Bytes& b) { b[0] = 'X'; })},
        {"directory chain leaves the file", "msgreader-simple.msg", bytesCorrupter([](Bytes& b) {
             Layout l(b);
             PutU32(b, l.FatEntry(l.firstDirSector), 0x00FFFFF0);
         })},
        {"directory chain loops", "msgreader-simple.msg", bytesCorrupter([](Bytes& b) {
             Layout l(b);
             PutU32(b, l.FatEntry(l.firstDirSector), l.firstDirSector);
         })},
        {"stream chain leaves the file", "msgreader-longer-fat.msg", bytesCorrupter([](Bytes& b) {
             Layout l(b);
             const uint32_t s = l.BigStreamStart(b, 60000);
             ASSERT_NE(s, 0xFFFFFFFFu);
             PutU32(b, l.FatEntry(s), 0x00FFFFF0);
         })},
        {"stream chain loops", "msgreader-longer-fat.msg", bytesCorrupter([](Bytes& b) {
             Layout l(b);
             const uint32_t s = l.BigStreamStart(b, 60000);
             ASSERT_NE(s, 0xFFFFFFFFu);
             PutU32(b, l.FatEntry(s), s);
         })},
        {"message property stream shorter than its header", "msgreader-simple.msg",
         [](const std::string& good, const std::string& bad) { CutPropertyStream(good, bad, "", 20); }},
        {"attachment property stream shorter than its header", "msgreader-attachment-files.msg",
         [](const std::string& good, const std::string& bad) {
             CutPropertyStream(good, bad, "/" + msg_file::AttachmentStorageName(0), 4);
         }},
        {"property stream ends inside an entry", "msgreader-simple.msg",
         [](const std::string& good, const std::string& bad) { CutPropertyStream(good, bad, "", 32 + 16 * 3 + 5); }},
    };
    char tmpl[] = "/tmp/dravik-msgdamage-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    const std::string dir = tmpl;
    for (const Damage& d : table) {
        SCOPED_TRACE(d.name);
        const std::string good = (std::filesystem::path(DRAVIK_SAMPLES_DIR) / ".." / "msg" / d.sample).string();
        const std::string bad = dir + "/bad.msg";
        d.make(good, bad);
        WalkedMessage m;
        Walk walk;
        const std::string error = WalkMsgFile(bad, m, walk);
        EXPECT_TRUE(!error.empty() || !walk.failures.empty()) << "damage passed unnoticed";
        if (!error.empty())
            std::printf("  %s: %s\n", d.name, error.c_str());
        else
            std::printf("  %s: %s\n", d.name, walk.failures[0].c_str());
        const std::string command = std::string("'") + DRAVIK_DUMP_EXE + "' --file '" + bad + "' --props >/dev/null 2>&1";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1);
    }
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace dravik::mapi32::testing
