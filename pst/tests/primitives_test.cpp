#include "pst/ndb/crc.h"
#include "pst/ndb/encoding.h"
#include "pst/ndb/ndb.h"
#include "pst/util/error.h"
#include "pst/util/reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <vector>

using namespace dravik::pst;

namespace {
std::vector<uint8_t> readHead(const std::string& name, size_t n) {
    std::ifstream f(std::string(DRAVIK_SAMPLES_DIR) + "/" + name, std::ios::binary);
    std::vector<uint8_t> v(n);
    f.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(n));
    EXPECT_TRUE(f.good()) << name;
    return v;
}
std::vector<uint8_t> allBytes() {
    std::vector<uint8_t> v(256);
    std::iota(v.begin(), v.end(), 0);
    return v;
}
std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}
// The CRC of MS-PST 5.3 one bit at a time, as the format document states it.
uint32_t bitwiseCrc(std::span<const uint8_t> data, uint32_t crc) {
    for (uint8_t b : data) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}
// Lengths where a faster path changes step: around 8, 16, 64 and 256 bytes, a block's
// largest payloads and a 64 KiB page.
std::vector<size_t> edgeLengths() {
    std::vector<size_t> n;
    for (size_t i = 0; i <= 300; ++i) n.push_back(i);
    for (size_t i : {511u, 512u, 513u, 1023u, 1024u, 4095u, 4096u, 8176u, 8180u, 65535u, 65536u}) n.push_back(i);
    return n;
}
}  // namespace

TEST(Crc, MatchesCheckValueAndRealHeaders) {
    const std::string check = "123456789";
    EXPECT_EQ(computeCrc({reinterpret_cast<const uint8_t*>(check.data()), check.size()}), 0x2dfd2d88u);
    EXPECT_EQ(computeCrc({}), 0u);

    // dwCRCPartial covers 471 bytes from wMagicClient, in ANSI and Unicode headers alike.
    for (const char* name : {"pstsdk-sample1.pst", "pstsdk-sample2.pst", "pst-extractor-outlookcom.ost"}) {
        auto h = readHead(name, 600);
        uint32_t stored = LeReader::u32At(h, 4);
        EXPECT_EQ(computeCrc(std::span(h).subspan(8, 471)), stored) << name;
    }
}

TEST(Crc, RunningValueEqualsWhole) {
    auto h = readHead("pstsdk-sample1.pst", 600);
    std::span<const uint8_t> s(h);
    for (size_t cut : {0u, 1u, 3u, 4u, 5u, 257u, 516u})
        EXPECT_EQ(computeCrc(s.subspan(8 + cut, 516 - cut), computeCrc(s.subspan(8, cut))),
                  computeCrc(s.subspan(8, 516)))
            << cut;
}

TEST(Crc, AgreesWithTheBitwiseDefinitionAtEveryLengthAndAlignment) {
    const auto bytes = randomBytes(65536 + 64, 1);
    for (size_t n : edgeLengths())
        for (size_t align : {0u, 1u, 3u, 7u, 8u, 15u, 33u}) {
            const std::span<const uint8_t> s(bytes.data() + align, n);
            ASSERT_EQ(computeCrc(s), bitwiseCrc(s, 0)) << n << " bytes at +" << align;
            ASSERT_EQ(computeCrc(s, 0x12345678u), bitwiseCrc(s, 0x12345678u)) << n << " bytes at +" << align;
        }
}

TEST(Encoding, FastPathsEqualTheTableByteByByteAtEveryLengthAndAlignment) {
    // The decoding table, one byte at a time.
    std::array<uint8_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        uint8_t x = static_cast<uint8_t>(b);
        permuteDecode(std::span<uint8_t>(&x, 1));
        table[b] = x;
    }
    const auto bytes = randomBytes(65536 + 64, 2);
    for (size_t n : edgeLengths())
        for (size_t align : {0u, 1u, 5u, 8u, 63u}) {
            const std::span<const uint8_t> src(bytes.data() + align, n);
            std::vector<uint8_t> want(n);
            for (size_t i = 0; i < n; ++i) want[i] = table[src[i]];
            std::vector<uint8_t> out(n + 1, 0xEE);  // the destination misaligned against the source
            decodeBlock(CryptMethod::Permute, src, std::span<uint8_t>(out).subspan(1), 0x24);
            ASSERT_TRUE(std::equal(want.begin(), want.end(), out.begin() + 1)) << n << " bytes at +" << align;
            ASSERT_EQ(out[0], 0xEE) << "written before the destination";
            std::vector<uint8_t> inPlace(src.begin(), src.end());
            decodeBlock(CryptMethod::Permute, inPlace, 0x24);
            ASSERT_EQ(inPlace, want) << n << " bytes at +" << align;
            std::vector<uint8_t> portable(n);
            permuteDecodePortable(src, portable);
            ASSERT_EQ(portable, want) << n << " bytes at +" << align;
            permuteEncode(inPlace);
            ASSERT_TRUE(std::equal(inPlace.begin(), inPlace.end(), src.begin())) << n << " bytes at +" << align;
            // Cyclic and no encoding, out of place, equal their in-place forms.
            std::vector<uint8_t> cyclic(n), cyclicInPlace(src.begin(), src.end());
            decodeBlock(CryptMethod::Cyclic, src, cyclic, 0x10004 + n);
            decodeBlock(CryptMethod::Cyclic, cyclicInPlace, 0x10004 + n);
            ASSERT_EQ(cyclic, cyclicInPlace) << n;
            std::vector<uint8_t> copy(n);
            decodeBlock(CryptMethod::None, src, copy, 0);
            ASSERT_TRUE(std::equal(copy.begin(), copy.end(), src.begin())) << n;
        }
    std::vector<uint8_t> shorter(10);
    EXPECT_THROW(decodeBlock(CryptMethod::Permute, std::span<const uint8_t>(bytes).first(11), shorter, 0),
                 std::invalid_argument);
}

// Every value of every sample store read whole, through the block cache, equals the
// same value read as a range straight into its result, and pieces at odd places or one
// after another equal the same bytes of it; from the file and from memory alike.
TEST(Ndb, RangesEqualWholeValuesOnEverySample) {
    for (const auto& entry : std::filesystem::directory_iterator(DRAVIK_SAMPLES_DIR)) {
        const std::string path = entry.path().string();
        if (entry.path().extension() != ".pst" && entry.path().extension() != ".ost") continue;
        std::ifstream f(path, std::ios::binary);
        std::vector<uint8_t> file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        Ndb fromFile(openFile(path));
        Ndb fromMemory(memorySource(std::move(file)));
        size_t values = 0;
        for (const NodeEntry& node : fromFile.allNodes()) {
            std::vector<uint8_t> whole;
            try {
                whole = fromFile.readAll(node.bidData);
            } catch (const Error&) {
                continue;  // damaged or absent values are other tests' business
            }
            ++values;
            // The cache holds none of these blocks in the other reader yet.
            ASSERT_EQ(fromMemory.readRange(node.bidData, 0, whole.size() + 10), whole) << path << " NID " << node.nid;
            for (uint64_t at : {uint64_t(1), uint64_t(8175), uint64_t(8176), uint64_t(whole.size() / 2)}) {
                if (at >= whole.size()) continue;
                const size_t n = std::min<size_t>(20000, whole.size() - at);
                const std::vector<uint8_t> piece = fromFile.readRange(node.bidData, at, n);
                ASSERT_TRUE(piece.size() == n && std::equal(piece.begin(), piece.end(), whole.begin() + at))
                    << path << " NID " << node.nid << " at " << at;
            }
            // Read on in pieces as a stream reads (each going on where the last ended),
            // then from the start again.
            if (whole.size() > 8176) {
                std::vector<uint8_t> pieces;
                for (uint64_t at = 0; at < whole.size(); at += 5000) {
                    const std::vector<uint8_t> piece = fromMemory.readRange(node.bidData, at, 5000);
                    pieces.insert(pieces.end(), piece.begin(), piece.end());
                }
                ASSERT_EQ(pieces, whole) << path << " NID " << node.nid;
                ASSERT_EQ(fromMemory.readRange(node.bidData, 0, 3), std::vector<uint8_t>(whole.begin(), whole.begin() + 3));
            }
        }
        EXPECT_GT(values, 10u) << path;
    }
}

TEST(Encoding, PermuteTablesAreInverse) {
    auto v = allBytes();
    permuteEncode(v);
    EXPECT_EQ(v[0], 0x41);  // first entry of the encode table
    EXPECT_EQ(v[255], 0x3d);
    std::vector<bool> seen(256);
    for (auto b : v) seen[b] = true;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 256);
    permuteDecode(v);
    EXPECT_EQ(v, allBytes());
}

TEST(Encoding, CyclicIsSelfInverseAndKeyedByLow32BitsOfBid) {
    auto plain = allBytes();
    auto a = plain;
    encodeBlock(CryptMethod::Cyclic, a, 0x10004);
    EXPECT_NE(a, plain);
    auto b = plain;
    encodeBlock(CryptMethod::Cyclic, b, 0x7'00010004ull);  // same low DWORD
    EXPECT_EQ(a, b);
    auto c = plain;
    encodeBlock(CryptMethod::Cyclic, c, 0x4);  // differs only above bit 16: a different key
    EXPECT_NE(a, c);
    decodeBlock(CryptMethod::Cyclic, a, 0x10004);
    EXPECT_EQ(a, plain);

    auto none = plain;
    encodeBlock(CryptMethod::None, none, 0x10004);
    EXPECT_EQ(none, plain);
}

TEST(LeReader, ReadsLittleEndianAndRefusesToRunPastTheEnd) {
    const std::vector<uint8_t> d = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    LeReader r(d, "test", 0x1000);
    EXPECT_EQ(r.u8(), 0x01);
    EXPECT_EQ(r.u16(), 0x0302);
    EXPECT_EQ(r.u32(), 0x07060504u);
    EXPECT_EQ(r.remaining(), 2u);
    try {
        r.u32("dwField");
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Corrupt);
        EXPECT_EQ(e.where().offset, 0x1007u);
        EXPECT_NE(std::string(e.what()).find("dwField"), std::string::npos);
    }
    EXPECT_EQ(r.pos(), 7u);  // a failed read does not move
    EXPECT_EQ(LeReader::u64At(std::vector<uint8_t>(d.begin() + 1, d.end()), 0), 0x0908070605040302ull);
    EXPECT_THROW(r.at(10), Error);
    EXPECT_THROW(r.bytes(SIZE_MAX), Error);  // no overflow in the bounds check
}

TEST(Error, CarriesKindPlaceExpectedAndActual) {
    Error e = Error::corrupt("block signature", Where::block(0x24), 0x1234, 0x4321);
    EXPECT_EQ(e.kind(), ErrorKind::Corrupt);
    EXPECT_EQ(e.where().bid, 0x24u);
    EXPECT_EQ(e.expected(), "0x1234");
    EXPECT_EQ(e.actual(), "0x4321");
    EXPECT_STREQ(e.what(), "corrupt: block signature (at BID 0x24): expected 0x1234, actual 0x4321");
    EXPECT_EQ(Error::notFound("node", Where::node(0x21)).kind(), ErrorKind::NotFound);
}
