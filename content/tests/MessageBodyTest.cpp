// The best body of a message from the values it has: a table of combinations, and damage.
#include "content/MessageBody.h"

#include "mapi32/rtfcomp.h"

#include <gtest/gtest.h>

using namespace dravik::content;

namespace {

std::vector<uint8_t> Compressed(std::string_view rtf)
{
    return dravik::mapi32::rtfcomp::Compress(std::span(reinterpret_cast<const uint8_t*>(rtf.data()), rtf.size()));
}

std::vector<uint8_t> Bytes(std::string_view s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

} // namespace

TEST(MessageBody, BestBody)
{
    const auto rtfHtml = Compressed("{\\rtf1\\fromhtml1{\\*\\htmltag1 <b>}from rtf{\\*\\htmltag1 </b>}}");
    const auto rtfText = Compressed("{\\rtf1\\pard rtf text}");
    struct Case
    {
        const char* name;
        BodyValues values;
        BodyKind best;
        const char* source;
        const char* shown;  // the html or text of the best body
    };
    auto values = [](auto&& f) {
        BodyValues v;
        f(v);
        return v;
    };
    const Case cases[] = {
        {"nothing", {}, BodyKind::None, "", ""},
        {"PR_BODY only", values([](BodyValues& v) { v.body = "plain"; }), BodyKind::Text, "PR_BODY", "plain"},
        {"PR_HTML over RTF and PR_BODY", values([&](BodyValues& v) {
             v.html = Bytes("<i>h</i>");
             v.rtfCompressed = rtfHtml;
             v.body = "plain";
         }),
         BodyKind::Html, "PR_HTML", "<i>h</i>"},
        {"HTML from RTF", values([&](BodyValues& v) {
             v.rtfCompressed = rtfHtml;
             v.body = "plain";
         }),
         BodyKind::Html, "PR_RTF_COMPRESSED", "<b>from rtf</b>"},
        {"RTF as text over PR_BODY", values([&](BodyValues& v) {
             v.rtfCompressed = rtfText;
             v.body = "plain";
         }),
         BodyKind::Text, "PR_RTF_COMPRESSED", "rtf text"},
        {"RTF out of sync: PR_BODY", values([&](BodyValues& v) {
             v.rtfCompressed = rtfText;
             v.body = "plain";
             v.rtfInSync = false;
         }),
         BodyKind::Text, "PR_BODY", "plain"},
        {"native plain text", values([&](BodyValues& v) {
             v.html = Bytes("<i>h</i>");
             v.body = "plain";
             v.nativeBody = 1;
         }),
         BodyKind::Text, "PR_BODY", "plain"},
        {"native RTF", values([&](BodyValues& v) {
             v.html = Bytes("<i>h</i>");
             v.rtfCompressed = rtfText;
             v.nativeBody = 2;
         }),
         BodyKind::Text, "PR_RTF_COMPRESSED", "rtf text"},
        {"native HTML without PR_HTML", values([&](BodyValues& v) {
             v.rtfCompressed = rtfHtml;
             v.nativeBody = 3;
         }),
         BodyKind::Html, "PR_RTF_COMPRESSED", "<b>from rtf</b>"},
        {"HTML in its code page", values([&](BodyValues& v) {
             v.html = Bytes("<p>\xE0</p>");
             v.htmlCodePage = 1255;
         }),
         BodyKind::Html, "PR_HTML", "<p>\xD7\x90</p>"},
        {"HTML's meta charset", values([&](BodyValues& v) {
             v.html = Bytes("<meta charset=\"windows-1251\"><p>\xE0</p>");
         }),
         BodyKind::Html, "PR_HTML", "<meta charset=\"windows-1251\"><p>\xD0\xB0</p>"},
    };
    for (const Case& c : cases) {
        const MessageBody b = MakeMessageBody(c.values);
        EXPECT_EQ(b.best, c.best) << c.name;
        EXPECT_EQ(b.source, c.source) << c.name;
        const auto& shown = c.best == BodyKind::Html ? b.html : b.text;
        EXPECT_EQ(shown.value_or(""), c.shown) << c.name;
        EXPECT_TRUE(b.damage.empty()) << c.name;
    }
}

TEST(MessageBody, DamagedRtfIsReportedAndTheRestShown)
{
    BodyValues v;
    v.rtfCompressed = Compressed("{\\rtf1 x}");
    (*v.rtfCompressed)[12] ^= 1;
    v.body = "plain";
    const MessageBody b = MakeMessageBody(v);
    ASSERT_EQ(b.damage.size(), 1u);
    EXPECT_NE(b.damage[0].find("PR_RTF_COMPRESSED: compressed RTF: CRC"), std::string::npos) << b.damage[0];
    EXPECT_FALSE(b.rtf);
    EXPECT_EQ(b.source, "PR_BODY");
}

TEST(MessageBody, DecodedBodyValues)
{
    auto rtf = Compressed("{\\rtf1 x}");
    EXPECT_EQ(DecodedBodyValue(0x10090102, rtf, 0), "{\\rtf1 x}");
    rtf[12] ^= 1;
    EXPECT_EQ(DecodedBodyValue(0x10090102, rtf, 0).value_or("").rfind("Damaged: compressed RTF: CRC", 0), 0u);
    EXPECT_EQ(DecodedBodyValue(0x10130102, Bytes("<p>\xE0</p>"), 1251), "<p>\xD0\xB0</p>");
    EXPECT_FALSE(DecodedBodyValue(0x10000102, Bytes("x"), 0));
}
