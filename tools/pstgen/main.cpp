// pstgen: writes PST stores for the demo, the tests and the benchmarks.
//
//   pstgen demo OUT.pst
//   pstgen scale OUT.pst [--folders N] [--messages N] [--recipients N] [--attachments N]
//                        [--body-size BYTES] [--attachment-size BYTES] [--seed N]
//                        [--encoding none|permute|cyclic] [--data-offset BYTES]
//                        [--format unicode|ansi] [--body text|rtf|html-rtf] [--damaged-rtf]
//   pstgen codepage OUT.pst --script japanese|chinese|cyrillic|hebrew
//                           [--declare nothing|codepage|locale|internet]
//   pstgen --help | --version
#include "CodePageStore.h"
#include "RtfBody.h"
#include "DemoStore.h"
#include "StoreWriter.h"

#include "DravikVersion.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <optional>
#include <string>

using namespace dravik::pst::writer;

namespace {

const char* const kUsageText =
    "usage: pstgen demo OUT.pst\n"
    "       pstgen scale OUT.pst [--folders N] [--messages N] [--recipients N]\n"
    "                            [--attachments N] [--body-size BYTES]\n"
    "                            [--attachment-size BYTES] [--seed N]\n"
    "                            [--encoding none|permute|cyclic] [--data-offset BYTES]\n"
    "                            [--format unicode|ansi] [--body text|rtf|html-rtf]\n"
    "                            [--damaged-rtf]\n"
    "       pstgen codepage OUT.pst --script japanese|chinese|cyrillic|hebrew\n"
    "                               [--declare nothing|codepage|locale|internet]\n"
    "       pstgen --help | --version\n"
    "  demo: the small store that the start command opens\n"
    "  scale: a store of generated folders, messages, recipients and attachments;\n"
    "  --body rtf or html-rtf gives each message an RTF body (PR_RTF_COMPRESSED,\n"
    "  its text encapsulated as text or as HTML) beside PR_BODY; --damaged-rtf\n"
    "  spoils the CRC of the first message's RTF\n"
    "  codepage: an ANSI store with a folder name, a message and a contact in the\n"
    "  script's code page; the messages declare its code page, its locale, a MIME\n"
    "  code page of it (50220, 50227, 20866, 28598) or nothing (default: nothing)\n"
    "Exit status: 0 written, 1 the store could not be written, 2 bad usage.\n";

constexpr int kUsage = 2;

// Bad usage: what is wrong, then the usage, on standard error.
int usage(const std::string& problem) {
    std::fprintf(stderr, "pstgen: %s\n%s", problem.c_str(), kUsageText);
    return kUsage;
}

int unknownOption(const std::string& opt) {
    return usage(opt.size() > 1 && opt[0] == '-' ? "unknown option " + opt : "unexpected argument " + opt);
}

// xorshift64*: fast, deterministic for a seed.
struct Rng {
    uint64_t s;
    uint64_t next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 0x2545F4914F6CDD1Dull;
    }
};

struct ScaleOptions {
    uint64_t folders = 10, messages = 100, recipients = 2, attachments = 1;
    uint64_t bodySize = 2000, attachmentSize = 100000, seed = 1, dataOffset = 0;
    Encoding encoding = Encoding::None;
    StoreFormat format = StoreFormat::Unicode;
    std::optional<pstgen::RtfBodyKind> rtf;  // none: PR_BODY only
    bool damagedRtf = false;
};

std::string words(Rng& rng, size_t bytes) {
    static const char* const kWords[] = {"engine", "mill", "store", "card", "column", "number", "table",
                                         "analytical", "difference", "operation", "variable", "result"};
    std::string s;
    s.reserve(bytes + 16);
    while (s.size() < bytes) {
        s += kWords[rng.next() % 12];
        s += (rng.next() % 12 == 0) ? ".\r\n" : " ";
    }
    s.resize(bytes);
    return s;
}

int scale(const std::string& out, const ScaleOptions& o) {
    StoreOptions so;
    so.displayName = "pstgen scale store";
    so.encoding = o.encoding;
    so.format = o.format;
    so.dataStartOffset = o.dataOffset;
    StoreWriter w(out, so);
    Rng rng{o.seed * 0x9E3779B97F4A7C15ull + 1};
    std::vector<uint8_t> data(o.attachmentSize);
    for (uint64_t f = 0; f < o.folders; ++f) {
        const auto folder = w.addFolder(w.ipmSubtree(), "Folder " + std::to_string(f + 1), "IPF.Note");
        for (uint64_t m = 0; m < o.messages; ++m) {
            Message msg;
            const std::string body = words(rng, o.bodySize);
            msg.props.set(0x001A001F, PropValue::unicode("IPM.Note"))
                .set(0x0037001F, PropValue::unicode("Message " + std::to_string(f + 1) + "." + std::to_string(m + 1) + " " + words(rng, 20)))
                .set(0x0C1A001F, PropValue::unicode("Sender " + std::to_string(rng.next() % 1000)))
                .set(0x00390040, PropValue::systime(133500000000000000ull + (rng.next() % 100000000) * 10000000ull))
                .set(0x1000001F, PropValue::unicode(body));
            if (o.rtf) {
                std::vector<uint8_t> rtf = pstgen::compressedRtfBody(body, *o.rtf);
                if (o.damagedRtf && f == 0 && m == 0) rtf[12] ^= 0xFF;  // the CRC
                msg.props.set(0x10090102, PropValue::binary(std::move(rtf)))
                    .set(0x0E1F000B, PropValue::boolean(true))
                    .set(0x10160003, PropValue::i4(*o.rtf == pstgen::RtfBodyKind::Html ? 3 : 2));
            }
            for (uint64_t r = 0; r < o.recipients; ++r) {
                Recipient rc;
                const std::string n = "user" + std::to_string(rng.next() % 100000);
                rc.props.set(0x3001001F, PropValue::unicode(n))
                    .set(0x3003001F, PropValue::unicode(n + "@example.org"))
                    .set(0x3002001F, PropValue::unicode("SMTP"))
                    .set(0x0C150003, PropValue::i4(1));
                msg.recipients.push_back(std::move(rc));
            }
            for (uint64_t a = 0; a < o.attachments; ++a) {
                Attachment at;
                for (size_t i = 0; i < data.size(); i += 8) {
                    const uint64_t v = rng.next();
                    std::memcpy(data.data() + i, &v, std::min<size_t>(8, data.size() - i));
                }
                at.data = data;
                at.props.set(0x3707001F, PropValue::unicode("attachment-" + std::to_string(a + 1) + ".bin"))
                    .set(0x3704001F, PropValue::unicode("ATTACH~" + std::to_string(a + 1) + ".BIN"));
                msg.attachments.push_back(std::move(at));
            }
            w.addMessage(folder, msg);
        }
    }
    w.finish();
    const auto s = w.stats();
    std::printf("%s: %llu bytes, %llu blocks\n", out.c_str(), static_cast<unsigned long long>(s.fileSize),
                static_cast<unsigned long long>(s.blocks));
    return 0;
}

bool parseNumber(const char* text, uint64_t& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno || !end || *end || text[0] == '-') return false;
    out = v;
    return true;
}

int codePage(const std::string& out, int argc, char** argv) {
    std::optional<Script> script;
    Declared declared = Declared::Nothing;
    for (int i = 3; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt != "--script" && opt != "--declare") return unknownOption(opt);
        if (i + 1 >= argc) return usage(opt + " needs a value");
        const std::string val = argv[++i];
        if (opt == "--script") {
            for (Script s : {Script::Japanese, Script::Chinese, Script::Cyrillic, Script::Hebrew})
                if (val == scriptTexts(s).name) script = s;
            if (!script) return usage("unknown script " + val);
        } else if (val == "nothing") declared = Declared::Nothing;
        else if (val == "codepage") declared = Declared::CodePage;
        else if (val == "locale") declared = Declared::Locale;
        else if (val == "internet") declared = Declared::InternetCodePage;
        else return usage("unknown --declare " + val);
    }
    if (!script) return usage("codepage needs --script");
    writeStore(out, codePageStore(*script, declared));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage("no command given");
    // Help and version, asked for anywhere on the line, write nothing.
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h" || (i == 1 && arg == "help")) {
            std::fputs(kUsageText, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("pstgen %s\n", DRAVIK_VERSION);
            return 0;
        }
    }
    const std::string cmd = argv[1];
    if (cmd != "demo" && cmd != "scale" && cmd != "codepage")
        return cmd[0] == '-' ? unknownOption(cmd) : usage("unknown command " + cmd);
    if (argc < 3) return usage(cmd + " needs OUT.pst");
    const std::string out = argv[2];
    // An option where the store's name belongs is not taken for a file name.
    if (out.size() > 1 && out[0] == '-') return unknownOption(out);
    try {
        if (cmd == "demo") {
            if (argc > 3) return unknownOption(argv[3]);
            writeStore(out, demoStore());
            return 0;
        }
        if (cmd == "codepage") return codePage(out, argc, argv);
        ScaleOptions o;
        for (int i = 3; i < argc; ++i) {
            const std::string opt = argv[i];
            if (opt == "--damaged-rtf") {
                o.damagedRtf = true;
                continue;
            }
            static const char* const kOptions[] = {"--body", "--format", "--encoding", "--folders", "--messages",
                                                   "--recipients", "--attachments", "--body-size",
                                                   "--attachment-size", "--seed", "--data-offset"};
            if (std::find(std::begin(kOptions), std::end(kOptions), opt) == std::end(kOptions))
                return unknownOption(opt);
            if (i + 1 >= argc) return usage(opt + " needs a value");
            const char* val = argv[++i];
            if (opt == "--format") {
                const std::string f = val;
                if (f == "unicode") o.format = StoreFormat::Unicode;
                else if (f == "ansi") o.format = StoreFormat::Ansi;
                else return usage("unknown --format " + f);
                continue;
            }
            if (opt == "--body") {
                const std::string b = val;
                if (b == "text") o.rtf.reset();
                else if (b == "rtf") o.rtf = pstgen::RtfBodyKind::Text;
                else if (b == "html-rtf") o.rtf = pstgen::RtfBodyKind::Html;
                else return usage("unknown --body " + b);
                continue;
            }
            if (opt == "--encoding") {
                const std::string e = val;
                if (e == "none") o.encoding = Encoding::None;
                else if (e == "permute") o.encoding = Encoding::Permute;
                else if (e == "cyclic") o.encoding = Encoding::Cyclic;
                else return usage("unknown --encoding " + e);
                continue;
            }
            uint64_t* target = opt == "--folders"           ? &o.folders
                               : opt == "--messages"        ? &o.messages
                               : opt == "--recipients"      ? &o.recipients
                               : opt == "--attachments"     ? &o.attachments
                               : opt == "--body-size"       ? &o.bodySize
                               : opt == "--attachment-size" ? &o.attachmentSize
                               : opt == "--seed"            ? &o.seed
                                                            : &o.dataOffset;
            if (!parseNumber(val, *target)) return usage("bad value " + opt + " " + val);
        }
        return scale(out, o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pstgen: %s\n", e.what());
        return 1;
    }
}
