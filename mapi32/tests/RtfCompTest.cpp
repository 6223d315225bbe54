// The compressed-RTF codec: decompression against pffexport on every sample store, a known
// stream, round trips through the compressor, a table of damaged streams each refused with
// its reason, and WrapCompressedRTFStream over a stream.
#include "mapi32/mapicode.h"
#include "mapi32/mapiutil.h"
#include "mapi32/memstream.h"
#include "mapi32/rtfcomp.h"
#include "mapi32/rtfstream.h"

#include "PffExport.h"
#include "pst/messaging/walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace dravik::mapi32;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes B(std::string_view s)
{
    return Bytes(s.begin(), s.end());
}

void PutLe32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}

// A stream with a header made for data: COMPSIZE and CRC right unless changed after.
Bytes Stream(const Bytes& data, uint32_t rawSize, uint32_t type = rtfcomp::kCompressed)
{
    Bytes s(16);
    PutLe32(s, 0, uint32_t(data.size() + 12));
    PutLe32(s, 4, rawSize);
    PutLe32(s, 8, type);
    PutLe32(s, 12, type == rtfcomp::kCompressed ? rtfcomp::Crc(data) : 0);
    s.insert(s.end(), data.begin(), data.end());
    return s;
}

// Every store file of the samples folder, whatever is added there.
std::vector<std::string> SampleStores()
{
    std::vector<std::string> files;
    for (auto& e : fs::directory_iterator(DRAVIK_SAMPLES_DIR)) {
        const auto ext = e.path().extension();
        if (ext == ".pst" || ext == ".ost")
            files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// PR_RTF_COMPRESSED of every message and embedded message of a store that pffexport writes
// the body of.
std::vector<Bytes> CompressedBodies(const std::string& path)
{
    std::vector<Bytes> out;
    auto store = dravik::pst::Store::open(path);
    dravik::pst::walkStore(*store, [&](const dravik::pst::WalkEvent& e) {
        if (e.kind != dravik::pst::WalkEvent::Kind::Message)
            return;
        const auto& pc = e.message->properties();
        const auto cls = pc.get(0x001A);
        if (cls && !dravik::pffexport::hasRtfBodyFile(cls->type == 0x001F ? cls->utf8() : std::string(cls->raw.begin(), cls->raw.end())))
            return;
        if (auto p = pc.get(0x1009); p && p->type == 0x0102)
            out.push_back(p->raw);
    });
    return out;
}

} // namespace

// The example of MS-OXRTFCP section 4.1: a short RTF and its compressed form.
TEST(RtfComp, DecompressesKnownStream)
{
    const Bytes compressed = {0x2d, 0x00, 0x00, 0x00, 0x2b, 0x00, 0x00, 0x00, 0x4c, 0x5a, 0x46, 0x75,
                              0xf1, 0xc5, 0xc7, 0xa7, 0x03, 0x00, 0x0a, 0x00, 0x72, 0x63, 0x70, 0x67,
                              0x31, 0x32, 0x35, 0x42, 0x32, 0x0a, 0xf3, 0x20, 0x68, 0x65, 0x6c, 0x09,
                              0x00, 0x20, 0x62, 0x77, 0x05, 0xb0, 0x6c, 0x64, 0x7d, 0x0a, 0x80, 0x0f,
                              0xa0};
    Bytes rtf;
    const auto r = rtfcomp::Decompress(compressed, rtf);
    ASSERT_TRUE(r) << r.error;
    EXPECT_EQ(std::string(rtf.begin(), rtf.end()), "{\\rtf1\\ansi\\ansicpg1252\\pard hello world}\r\n");
}

TEST(RtfComp, RoundTrips)
{
    std::mt19937 rng(21);
    std::vector<Bytes> inputs = {{}, B("a"), B("{\\rtf1\\ansi\\ansicpg1252\\pard hello world}\r\n"),
                                 Bytes(100000, 'x')};
    Bytes text;  // words from a small vocabulary: long runs of matches, across the 4 KiB window
    const char* words[] = {"\\par ", "hello ", "{\\f0 ", "world}", "\\'e9", "\r\n", "Dravik "};
    for (int i = 0; i < 30000; ++i)
        for (const char* c = words[rng() % 7]; *c; ++c)
            text.push_back(uint8_t(*c));
    inputs.push_back(text);
    Bytes noise(20000);
    for (auto& b : noise)
        b = uint8_t(rng());
    inputs.push_back(noise);
    for (const Bytes& in : inputs) {
        for (const Bytes& stream : {rtfcomp::Compress(in), rtfcomp::StoreUncompressed(in)}) {
            Bytes out;
            const auto r = rtfcomp::Decompress(stream, out);
            ASSERT_TRUE(r) << r.error << " (input of " << in.size() << " bytes)";
            EXPECT_TRUE(out == in) << "input of " << in.size() << " bytes";
        }
    }
    EXPECT_LT(rtfcomp::Compress(text).size(), text.size() / 3);
}

TEST(RtfComp, RefusesDamagedStreams)
{
    using rtfcomp::Fault;
    const Bytes good = rtfcomp::Compress(B("{\\rtf1\\ansi\\ansicpg1252\\pard hello world}\r\n"));
    const Bytes data(good.begin() + 16, good.end());
    const uint32_t raw = 43;
    struct Case
    {
        const char* name;
        std::function<Bytes()> make;
        Fault fault;
        const char* says;
    };
    const Case cases[] = {
        {"shorter than the header", [&] { return Bytes(good.begin(), good.begin() + 10); }, Fault::TooShort, "16 bytes"},
        {"COMPSIZE beyond the value", [&] { Bytes s = good; PutLe32(s, 0, 4000); return s; }, Fault::BadSize, "COMPSIZE 4000"},
        {"COMPSIZE below the header", [&] { Bytes s = good; PutLe32(s, 0, 3); return s; }, Fault::BadSize, "COMPSIZE 3"},
        {"unknown COMPTYPE", [&] { Bytes s = good; PutLe32(s, 8, 0x12345678); return s; }, Fault::UnknownType, "0x12345678"},
        {"CRC wrong", [&] { Bytes s = good; s[12] ^= 1; return s; }, Fault::BadCrc, "CRC"},
        {"data changed under its CRC", [&] { Bytes s = good; s[20] ^= 0x40; return s; }, Fault::BadCrc, "CRC"},
        // control byte 1: a reference to dictionary offset 300, where nothing is written yet
        {"reference to unwritten dictionary", [&] { return Stream({0x01, 0x12, 0xC0}, 2); }, Fault::BadReference, "offset 300"},
        {"no end marker", [&] { return Stream({0x00, 'a', 'b'}, 2); }, Fault::Truncated, "end marker"},
        {"reference cut off", [&] { return Stream({0x02, 'a', 0x0D}, 1); }, Fault::Truncated, "cut off"},
        {"RAWSIZE larger than the RTF", [&] { return Stream(data, raw + 5); }, Fault::WrongLength, "RAWSIZE 48"},
        {"RAWSIZE smaller than the RTF", [&] { return Stream(data, raw - 5); }, Fault::WrongLength, "RAWSIZE 38"},
        {"uncompressed RAWSIZE beyond the data", [&] { return Stream(B("{\\rtf1}"), 8, rtfcomp::kUncompressed); }, Fault::BadSize, "RAWSIZE 8"},
    };
    for (const Case& c : cases) {
        Bytes rtf = {1, 2, 3};
        const auto r = rtfcomp::Decompress(c.make(), rtf);
        EXPECT_EQ(r.fault, c.fault) << c.name << ": " << r.error;
        EXPECT_NE(r.error.find(c.says), std::string::npos) << c.name << ": " << r.error;
        EXPECT_TRUE(rtf.empty()) << c.name;
    }
    // The CRC comparison can be switched off; the other checks cannot.
    Bytes s = good;
    s[12] ^= 1;
    Bytes rtf;
    EXPECT_TRUE(rtfcomp::Decompress(s, rtf, false));
    EXPECT_EQ(rtfcomp::Decompress(Stream({0x01, 0x12, 0xC0}, 2), rtf, false).fault, Fault::BadReference);
}

TEST(RtfComp, WrapCompressedRTFStreamReadsTheRtf)
{
    const Bytes rtf = B("{\\rtf1\\ansi\\fromtext hello}");
    LPSTREAM compressed = nullptr;
    ASSERT_EQ(CreateMemoryStream(rtfcomp::Compress(rtf), &compressed), S_OK);
    LPSTREAM plain = nullptr;
    EXPECT_EQ(WrapCompressedRTFStream(compressed, MAPI_MODIFY, &plain), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(WrapCompressedRTFStream(compressed, 0x40000000, &plain), MAPI_E_UNKNOWN_FLAGS);
    ASSERT_EQ(WrapCompressedRTFStream(compressed, 0, &plain), S_OK);
    Bytes read;
    ASSERT_EQ(ReadWholeStream(plain, read), S_OK);
    EXPECT_TRUE(read == rtf);
    plain->Release();
    compressed->Release();

    Bytes damaged = rtfcomp::Compress(rtf);
    damaged[12] ^= 1;
    ASSERT_EQ(CreateMemoryStream(damaged, &compressed), S_OK);
    EXPECT_EQ(WrapCompressedRTFStream(compressed, 0, &plain), MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(plain, nullptr);
    LARGE_INTEGER zero{};
    compressed->Seek(zero, STREAM_SEEK_SET, nullptr);
    rtfcomp::Result why;
    EXPECT_EQ(ReadCompressedRTF(compressed, read, &why), MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(why.fault, rtfcomp::Fault::BadCrc);
    compressed->Release();
}

// The RTF of every message of every sample store, byte for byte as pffexport exports it.
TEST(RtfComp, EverySampleAgreesWithPffexport)
{
    size_t compared = 0;
    for (const std::string& path : SampleStores()) {
        SCOPED_TRACE(path);
        std::vector<Bytes> pff;
        std::string error;
        ASSERT_TRUE(dravik::pffexport::runRtfBodies(path, pff, error)) << error;
        std::vector<Bytes> ours;
        for (const Bytes& stream : CompressedBodies(path)) {
            Bytes rtf;
            const auto r = rtfcomp::Decompress(stream, rtf);
            ASSERT_TRUE(r) << r.error;
            ours.push_back(std::move(rtf));
        }
        std::sort(ours.begin(), ours.end());
        ASSERT_EQ(ours.size(), pff.size());
        for (size_t i = 0; i < ours.size(); ++i)
            EXPECT_TRUE(ours[i] == pff[i]) << "body " << i << " differs: " << ours[i].size() << " bytes against "
                                           << pff[i].size();
        // The compressor's output reads back to the same RTF.
        for (const Bytes& rtf : ours) {
            Bytes back;
            ASSERT_TRUE(rtfcomp::Decompress(rtfcomp::Compress(rtf), back));
            EXPECT_TRUE(back == rtf);
        }
        compared += ours.size();
    }
    EXPECT_GT(compared, 0u);
}
