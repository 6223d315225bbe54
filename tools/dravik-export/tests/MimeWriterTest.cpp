// The direct writer of plain messages against GMime's tree: every message of
// every sample store, every sample .msg file and pstgen's stores (text, RTF
// and HTML bodies, attachments, CR/LF in subjects, four scripts of non-ASCII
// names and subjects) converted both ways gives the same bytes and the same
// report, and the direct writer takes most of the messages.
#include "TempProfile.h"

#include "content/InternetMessage.h"
#include "content/MimeTree.h"
#include "mapi32/mapix.h"
#include "props/IniFile.h"
#include "props/MapiRef.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using dravik::content::InternetMessage;
using dravik::content::MessageToInternetMessage;
using dravik::content::MimeWriter;

namespace {

struct Counts
{
    int messages = 0;
    int direct = 0;
};

void CompareMessage(IMessage* message, const std::string& where, Counts& counts)
{
    InternetMessage any;
    InternetMessage gmime;
    const HRESULT hrAny = MessageToInternetMessage(message, where, any, MimeWriter::Any);
    const HRESULT hrGMime = MessageToInternetMessage(message, where, gmime, MimeWriter::GMime);
    ASSERT_EQ(hrAny, hrGMime) << where;
    ++counts.messages;
    counts.direct += any.writtenDirectly ? 1 : 0;
    EXPECT_FALSE(gmime.writtenDirectly);
    EXPECT_EQ(any.bytes, gmime.bytes) << where;
    EXPECT_EQ(any.problems.size(), gmime.problems.size()) << where;
    EXPECT_EQ(any.attachments, gmime.attachments) << where;
    EXPECT_EQ(any.envelopeSender, gmime.envelopeSender) << where;
    // The base64 runs the direct writer marks are whole lines of base64 only, and the
    // mbox form that passes over them is the one that reads every line.
    size_t end = 0;
    for (const auto& [from, to] : any.base64) {
        ASSERT_TRUE(end <= from && from < to && to <= any.bytes.size()) << where;
        ASSERT_TRUE(from > 0 && any.bytes[from - 1] == '\n' && any.bytes[to - 1] == '\n') << where;
        ASSERT_GE(any.bytes.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\n", from),
                  to)
            << where << ": not base64 at " << from;
        end = to;
    }
    EXPECT_TRUE(gmime.base64.empty());
    std::string mboxAny, mboxGMime;
    dravik::content::AppendMboxrd(any, mboxAny);
    dravik::content::AppendMboxrd(gmime, mboxGMime);
    EXPECT_EQ(mboxAny, mboxGMime) << where;
}

void CompareFolder(IMsgStore* store, IMAPIFolder* folder, const std::string& where, Counts& counts)
{
    CRef<IMAPITable> contents;
    if (SUCCEEDED(folder->GetContentsTable(MAPI_UNICODE, contents.Out()))) {
        LPSRowSet rows = nullptr;
        SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
        ASSERT_EQ(HrQueryAllRows(contents.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows),
                  S_OK)
            << where;
        for (ULONG i = 0; i < rows->cRows; ++i) {
            const SPropValue& eid = rows->aRow[i].lpProps[0];
            if (PROP_TYPE(eid.ulPropTag) != PT_BINARY)
                continue;
            ULONG type = 0;
            LPUNKNOWN unk = nullptr;
            if (FAILED(store->OpenEntry(eid.Value.bin.cb, reinterpret_cast<LPENTRYID>(eid.Value.bin.lpb), nullptr, 0,
                                        &type, &unk)))
                continue;  // a damaged message: the export reports it, there is nothing to compare
            CRef<IMessage> message(static_cast<IMessage*>(unk));
            CompareMessage(message.Get(), where + "/" + std::to_string(i + 1), counts);
        }
        FreeProws(rows);
    }
    CRef<IMAPITable> hierarchy;
    if (FAILED(folder->GetHierarchyTable(MAPI_UNICODE, hierarchy.Out())))
        return;
    LPSRowSet rows = nullptr;
    SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
    if (FAILED(HrQueryAllRows(hierarchy.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows)))
        return;
    for (ULONG i = 0; i < rows->cRows; ++i) {
        const SPropValue& eid = rows->aRow[i].lpProps[0];
        ULONG type = 0;
        LPUNKNOWN unk = nullptr;
        if (PROP_TYPE(eid.ulPropTag) != PT_BINARY ||
            FAILED(store->OpenEntry(eid.Value.bin.cb, reinterpret_cast<LPENTRYID>(eid.Value.bin.lpb), nullptr, 0,
                                    &type, &unk)))
            continue;
        CRef<IMAPIFolder> sub(static_cast<IMAPIFolder*>(unk));
        CompareFolder(store, sub.Get(), where + "/" + std::to_string(i + 1), counts);
    }
    FreeProws(rows);
}

// Every message of the store file; false when it cannot be logged on to (a password).
bool CompareStore(const std::string& path, Counts& counts)
{
    CTempProfile profile;
    std::string step;
    EXPECT_EQ(profile.Create(path, step), S_OK) << path << ": " << step;
    LPMAPISESSION raw = nullptr;
    if (FAILED(MAPILogonEx(0, const_cast<char*>(profile.Name().c_str()), nullptr,
                           MAPI_NEW_SESSION | MAPI_EXTENDED | MAPI_NO_MAIL, &raw)))
        return false;
    CRef<IMAPISession> session(raw);
    {
        CRef<IMsgStore> store;
        CRef<IMAPIFolder> root;
        EXPECT_EQ(OpenFirstStoreRoot(session.Get(), store.Out(), root.Out()), S_OK) << path;
        if (root)
            CompareFolder(store.Get(), root.Get(), fs::path(path).filename().string(), counts);
    }
    session->Logoff(0, 0, 0);
    return true;
}

class MimeWriter_ : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/dravik-mimewriter-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_dir = dir;
        fs::create_directories(m_dir / "profiles");
        ASSERT_EQ(::setenv("DRAVIK_MAPI_PROFILES", (m_dir / "profiles").c_str(), 1), 0);
        GetIniFile().Load(DRAVIK_SOURCE_DIR "/Dravik.ini");
        MAPIINIT_0 init{MAPI_INIT_VERSION, 0};
        ASSERT_EQ(MAPIInitialize(&init), S_OK);
    }
    void TearDown() override
    {
        MAPIUninitialize();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    std::string Pstgen(const std::string& name, const std::string& args)
    {
        const std::string path = (m_dir / name).string();
        const std::string command = std::string(DRAVIK_PSTGEN_EXE) + " " + args.substr(0, args.find(' ')) + " " +
                                    path + args.substr(std::min(args.size(), args.find(' '))) + " > /dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return path;
    }
    fs::path m_dir;
};

std::vector<std::string> FilesIn(const std::string& dir, std::initializer_list<const char*> exts)
{
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(dir))
        for (const char* ext : exts)
            if (e.path().extension() == ext)
                files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

TEST_F(MimeWriter_, EverySampleGivesGMimesBytes)
{
    Counts counts;
    int stores = 0;
    for (const std::string& path : FilesIn(DRAVIK_SAMPLES_DIR, {".pst", ".ost"}))
        stores += CompareStore(path, counts) ? 1 : 0;
    for (const std::string& path : FilesIn(DRAVIK_SOURCE_DIR "/../shared/data/msg", {".msg"}))
        stores += CompareStore(path, counts) ? 1 : 0;
    EXPECT_GE(stores, 20);
    EXPECT_GT(counts.messages, 100);
    EXPECT_GT(counts.direct * 10, counts.messages * 7) << counts.direct << " of " << counts.messages;
    std::printf("%d messages of %d samples, %d written directly\n", counts.messages, stores, counts.direct);
}

TEST_F(MimeWriter_, PstgenStoresGiveGMimesBytes)
{
    const std::vector<std::string> stores = {
        Pstgen("text.pst", "scale --folders 2 --messages 150 --recipients 3 --attachments 1 --attach-every 2 --seed 7"),
        Pstgen("html.pst", "scale --folders 1 --messages 150 --body html-rtf --attachments 2 --attach-every 3 --seed 3"),
        Pstgen("rtf.pst", "scale --folders 1 --messages 100 --body rtf --attachments 0 --seed 4"),
        Pstgen("ansi.pst", "scale --folders 1 --messages 100 --format ansi --seed 5"),
        Pstgen("japanese.pst", "codepage --script japanese --declare internet"),
        Pstgen("chinese.pst", "codepage --script chinese --declare codepage"),
        Pstgen("cyrillic.pst", "codepage --script cyrillic --declare locale"),
        Pstgen("hebrew.pst", "codepage --script hebrew --declare internet"),
        Pstgen("demo.pst", "demo"),
    };
    Counts counts;
    for (const std::string& path : stores)
        EXPECT_TRUE(CompareStore(path, counts)) << path;
    EXPECT_GT(counts.messages, 500);
    EXPECT_GT(counts.direct * 10, counts.messages * 7) << counts.direct << " of " << counts.messages;
    std::printf("%d messages of pstgen's stores, %d written directly\n", counts.messages, counts.direct);
}

// Base64 of every length up to a few lines, around line ends, and of a
// megabyte: the same characters and line breaks as GMime's encoder, with
// vector instructions (where the processor has them) and without.
// An mbox passes over the marked base64 text and quotes every other line that
// begins with "From " after any number of ">".
TEST(Mboxrd, QuotesFromLinesOutsideBase64Text)
{
    InternetMessage m;
    m.envelopeSender = "a@example.com";
    m.bytes = "Subject: x\n\nFrom here\n>From there\nRnJvbSBh\nFrom\n>>From x\n";
    const size_t b64 = m.bytes.find("RnJv");
    m.base64 = {{b64, b64 + 9}};
    std::string mbox;
    dravik::content::AppendMboxrd(m, mbox);
    EXPECT_EQ(mbox.substr(mbox.find('\n') + 1),
              "Subject: x\n\n>From here\n>>From there\nRnJvbSBh\nFrom\n>>>From x\n\n");
}

TEST(MimeBase64, WritesGMimesBytes)
{
    std::mt19937 random(7);
    std::string bytes(1 << 20, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    std::vector<size_t> sizes;
    for (size_t n = 0; n <= 400; ++n)
        sizes.push_back(n);
    sizes.insert(sizes.end(), {57 * 64 - 1, 57 * 64, 57 * 64 + 1, 57 * 65, bytes.size() - 2, bytes.size()});
    for (size_t n : sizes) {
        const std::string_view in(bytes.data(), n);
        GMimeEncoding state;
        g_mime_encoding_init_encode(&state, GMIME_CONTENT_ENCODING_BASE64);
        std::string expected(g_mime_encoding_outlen(&state, n), '\0');
        expected.resize(g_mime_encoding_flush(&state, in.data(), n, expected.data()));
        std::string ours = "x";
        dravik::content::mime::AppendBase64(ours, in);
        ASSERT_EQ(ours, "x" + expected) << n << " bytes";
        std::string portable = "x";
        dravik::content::mime::AppendBase64Portable(portable, in);
        ASSERT_EQ(portable, "x" + expected) << n << " bytes, portable";
    }
}
