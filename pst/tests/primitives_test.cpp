#include "pst/ndb/crc.h"
#include "pst/ndb/encoding.h"
#include "pst/util/error.h"
#include "pst/util/reader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <numeric>
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
