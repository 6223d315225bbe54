// The RTF reader on small documents, one feature each: encapsulated HTML and text, code
// pages from the header, the font table and the caller, Unicode escapes, skipped groups;
// and the HTML text.
#include "content/HtmlText.h"
#include "content/RtfReader.h"

#include <gtest/gtest.h>

using namespace dravik::content;

TEST(RtfReader, Table)
{
    struct Case
    {
        const char* name;
        const char* rtf;
        uint32_t codePage;
        RtfKind kind;
        const char* out;  // html for kind Html, else text
    };
    const Case cases[] = {
        {"encapsulated HTML", "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\deff0{\\fonttbl{\\f0\\fswiss Arial;}}"
                              "{\\*\\htmltag19 <html>}{\\*\\htmltag64}\\htmlrtf {\\b x}\\htmlrtf0 Hello "
                              "{\\*\\htmltag84 &amp;}\\htmlrtf &\\htmlrtf0  world\\par{\\*\\htmltag27 </html>}}",
         1252, RtfKind::Html, "<html>Hello &amp; world\r\n</html>"},
        {"htmltag with \\par and escapes", "{\\rtf1\\fromhtml1{\\*\\htmltag2 <p\\par class=\\{x\\}>}t}", 1252,
         RtfKind::Html, "<p\r\nclass={x}>t"},
        {"mhtmltag left out", "{\\rtf1\\fromhtml1{\\*\\mhtmltag4 <img src=\"cid:a\">}{\\*\\htmltag4 <img src=\"b\">}}",
         1252, RtfKind::Html, "<img src=\"b\">"},
        {"encapsulated text", "{\\rtf1\\ansi\\fromtext{\\fonttbl{\\f0 Courier;}}\\f0 line one\\par line\\tab two}",
         1252, RtfKind::Text, "line one\r\nline\ttwo"},
        {"plain RTF, header groups skipped",
         "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red0\\green0\\blue0;}{\\*\\generator x;}"
         "{\\info{\\title T}}\\pard Hi {\\b there}\\par\\trowd a\\cell b\\cell\\row}",
         1252, RtfKind::Rtf, "Hi there\r\na\tb\t\r\n"},
        {"\\ansicpg1251 bytes", "{\\rtf1\\ansi\\ansicpg1251 \\'cf\\'f0\\'e8}", 1252, RtfKind::Rtf,
         "\xD0\x9F\xD1\x80\xD0\xB8"},
        {"caller's code page when none declared", "{\\rtf1\\ansi \\'e0\\'e1}", 1255, RtfKind::Rtf,
         "\xD7\x90\xD7\x91"},
        {"font charset: Shift-JIS pair", "{\\rtf1\\ansi\\ansicpg1252{\\fonttbl{\\f1\\fcharset128 MS Gothic;}}"
                                         "{\\f1 \\'93\\'fa}x}",
         1252, RtfKind::Rtf, "\xE6\x97\xA5x"},
        {"font \\cpg wins over charset", "{\\rtf1{\\fonttbl{\\f2\\fcharset0\\cpg1253 Greek;}}\\f2\\'e1}", 1252,
         RtfKind::Rtf, "\xCE\xB1"},
        {"\\u with its fallback skipped", "{\\rtf1\\uc1\\u26085?\\u-3913?x}", 1252, RtfKind::Rtf,
         "\xE6\x97\xA5\xEF\x82\xB7x"},
        {"\\uc2 skips two, \\'hh counts as one", "{\\rtf1\\uc2\\u1488\\'81\\'82y}", 1252, RtfKind::Rtf,
         "\xD7\x90y"},
        {"surrogate pair", "{\\rtf1\\uc0\\u-10179\\u-8704 }", 1252, RtfKind::Rtf, "\xF0\x9F\x98\x80"},
        {"character words", "{\\rtf1\\lquote a\\rquote\\~\\emdash}", 1252, RtfKind::Rtf,
         "\xE2\x80\x98" "a\xE2\x80\x99\xC2\xA0\xE2\x80\x94"},
        {"\\bin data skipped", "{\\rtf1{\\*\\blob\\bin3 }}}}a}", 1252, RtfKind::Rtf, "a"},
        {"unbalanced braces", "}}{\\rtf1 a{b", 1252, RtfKind::Rtf, "ab"},
        {"nothing after the document", "{\\rtf1 a}b\r\n", 1252, RtfKind::Rtf, "a"},
        {"\\fromhtml after text is text", "{\\rtf1 x\\fromhtml1 y}", 1252, RtfKind::Rtf, "xy"},
    };
    for (const Case& c : cases) {
        const RtfContent r = ReadRtf(c.rtf, c.codePage);
        EXPECT_EQ(r.kind, c.kind) << c.name;
        EXPECT_EQ(c.kind == RtfKind::Html ? r.html : r.text, c.out) << c.name;
    }
}

TEST(RtfReader, DeepNestingIsBounded)
{
    std::string rtf = "{\\rtf1\\ansi ";
    rtf += std::string(100000, '{') + "deep" + std::string(100000, '}') + " end}";
    EXPECT_EQ(ReadRtf(rtf).text, "deep end");
}

TEST(HtmlText, Table)
{
    struct Case
    {
        const char* html;
        const char* text;
    };
    const Case cases[] = {
        {"<html><head><style>p{x:y}</style><title>T</title></head><body><p>One  two</p><p>Three</p></body></html>",
         "One two\r\n\r\nThree"},
        {"a<br>b<div>c</div>d", "a\r\nb\r\nc\r\nd"},
        {"&lt;x&gt; &amp; &#65;&#x42;&nbsp;&euro; &bogus; 1 < 2", "<x> & AB\xC2\xA0\xE2\x82\xAC &bogus; 1 < 2"},
        {"<!-- hidden --><!--[if gte mso 9]><xml>x</xml><![endif]-->shown", "shown"},
        {"<table><tr><td>a</td><td>b</td></tr><tr><td>c</td></tr></table>", "a b\r\nc"},
        {"<pre>  two\n  lines</pre>", "  two\r\n  lines"},
        {"<a href=\"x>y\">link</a>", "link"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HtmlToText(c.html), c.text) << c.html;
    EXPECT_EQ(CollapseWhiteSpace(" a \r\n\tb\xC2\xA0 c "), "a b c");
}
