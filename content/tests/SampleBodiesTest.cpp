// Bodies of real messages: the HTML (or text) read from the RTF of every message of every
// sample store and every sample .msg file has the same text as the message's PR_BODY, and
// no character comes out undecodable (U+FFFD).
#include "MsgStreams.h"

#include "content/HtmlText.h"
#include "content/RtfReader.h"
#include "mapi32/providers/pst/pst_text.h"
#include "mapi32/rtfcomp.h"
#include "mapi32/utf.h"
#include "pst/messaging/walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace dravik::content;

namespace {

std::vector<std::string> FilesIn(const char* dir, std::initializer_list<const char*> exts)
{
    std::vector<std::string> files;
    for (auto& e : fs::directory_iterator(dir))
        for (const char* ext : exts)
            if (e.path().extension() == ext)
                files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// One message's RTF (compressed) and its PR_BODY as UTF-8.
struct Sample
{
    std::string where;
    std::vector<uint8_t> rtfCompressed;
    std::optional<std::string> body;
    uint32_t codePage = 1252;
    std::optional<std::vector<uint8_t>> body8;  // an 8-bit PR_BODY in the message's code page
};

// What the RTF says, against PR_BODY. Returns the reader's kind for counting.
RtfKind Check(const Sample& s)
{
    SCOPED_TRACE(s.where);
    std::vector<uint8_t> raw;
    const auto r = dravik::mapi32::rtfcomp::Decompress(s.rtfCompressed, raw);
    EXPECT_TRUE(r) << r.error;
    const RtfContent c = ReadRtf(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()), s.codePage);
    const std::string text = c.kind == RtfKind::Html ? HtmlToText(c.html) : c.text;
    EXPECT_EQ(text.find("\xEF\xBF\xBD"), std::string::npos) << "U+FFFD in: " << text;
    // An 8-bit PR_BODY is in the code page the RTF declares.
    std::optional<std::string> body = s.body;
    if (!body && s.body8)
        body = dravik::mapi32::Utf16ToUtf8(dravik::mapi32::pst_text::Decode(*s.body8, c.codePage));
    if (body) {
        EXPECT_EQ(CollapseWhiteSpace(text), CollapseWhiteSpace(*body));
        EXPECT_EQ(body->find("\xEF\xBF\xBD"), std::string::npos) << "U+FFFD in PR_BODY: " << *body;
    }
    return c.kind;
}

uint32_t CodePageOf(const dravik::pst::PropertyContext& pc)
{
    for (uint16_t id : {0x3FFD, 0x3FDE}) {
        if (auto p = pc.get(id); p && p->int64() && dravik::mapi32::pst_text::IsSupportedCodePage(uint32_t(*p->int64())))
            return uint32_t(*p->int64());
    }
    return 1252;
}

} // namespace

TEST(SampleBodies, EveryStoreMessage)
{
    int counts[3] = {};
    for (const std::string& path : FilesIn(DRAVIK_SAMPLES_DIR, {".pst", ".ost"})) {
        auto store = dravik::pst::Store::open(path);
        dravik::pst::walkStore(*store, [&](const dravik::pst::WalkEvent& e) {
            if (e.kind != dravik::pst::WalkEvent::Kind::Message)
                return;
            const auto& pc = e.message->properties();
            auto rtf = pc.get(0x1009);
            if (!rtf || rtf->type != 0x0102)
                return;
            Sample s{path + " message " + std::to_string(e.nid), rtf->raw, std::nullopt, CodePageOf(pc), std::nullopt};
            if (auto body = pc.get(0x1000)) {
                if (body->type == 0x001F)
                    s.body = body->utf8();
                else if (body->type == 0x001E)
                    s.body = dravik::mapi32::Utf16ToUtf8(dravik::mapi32::pst_text::Decode(body->raw, s.codePage));
            }
            ++counts[int(Check(s))];
        });
    }
    EXPECT_GT(counts[0] + counts[1] + counts[2], 0);
}

TEST(SampleBodies, EveryMsgFile)
{
    int counts[3] = {};
    for (const std::string& path : FilesIn(DRAVIK_MSG_SAMPLES_DIR, {".msg"})) {
        const auto streams = dravik::content::test::ReadMsgStreams(path);
        ASSERT_TRUE(streams) << path;
        const auto rtf = streams->find("__substg1.0_10090102");
        if (rtf == streams->end())
            continue;
        Sample s{path, rtf->second, std::nullopt, 1252, std::nullopt};
        if (auto w = streams->find("__substg1.0_1000001F"); w != streams->end())
            s.body = dravik::mapi32::Utf16ToUtf8(dravik::mapi32::pst_text::FromUtf16Le(w->second));
        else if (auto a = streams->find("__substg1.0_1000001E"); a != streams->end())
            s.body8 = a->second;
        ++counts[int(Check(s))];
    }
    EXPECT_GT(counts[int(RtfKind::Html)], 0);
}
