// Times the body codecs on 10 MiB of RTF shaped like Outlook's: HTML encapsulated in RTF
// (\fromhtml1, a tag group per tag, \htmlrtf runs between paragraphs, some \'hh bytes),
// compressed as PR_RTF_COMPRESSED holds it. Prints the fastest of RUNS runs of each step
// in milliseconds. A manual benchmark, not a test.
//
// Usage: bench_bodies [RUNS]   (default 7)
#include "content/HtmlText.h"
#include "content/RtfReader.h"
#include "mapi32/rtfcomp.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

// About `bytes` of encapsulated HTML RTF: paragraphs of words, a link now and then, and
// accented letters as \'hh.
std::string OutlookLikeRtf(size_t bytes)
{
    static const char* const kWords[] = {"engine", "mill", "store", "card", "column", "number", "table",
                                         "analytical", "difference", "operation", "variable", "result",
                                         "caf\\'e9", "na\\'efve"};
    std::string rtf =
        "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\fbidis \\deff0{\\fonttbl\r\n{\\f0\\fswiss\\fcharset0 Arial;}\r\n"
        "{\\f1\\fmodern Courier New;}}\r\n{\\colortbl\\red0\\green0\\blue0;\\red0\\green0\\blue255;}\r\n"
        "\\uc1\\pard\\plain\\deftab360 \\f0\\fs24 {\\*\\htmltag19 <html>}{\\*\\htmltag34 <head>}"
        "{\\*\\htmltag177 <style>p.MsoNormal {margin:0cm; font-family:\"Calibri\"}</style>}{\\*\\htmltag41 </head>}"
        "{\\*\\htmltag50 <body lang=EN-US link=\"#0563C1\">}\\htmlrtf {\\htmlrtf0 {\\*\\htmltag64}\r\n";
    uint64_t s = 88172645463325252ull;
    auto next = [&s] {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    };
    while (rtf.size() < bytes) {
        rtf += "{\\*\\htmltag64 <p class=MsoNormal>}\\htmlrtf {\\htmlrtf0 ";
        const int n = 8 + int(next() % 30);
        for (int i = 0; i < n; ++i) {
            if (next() % 40 == 0)
                rtf += "{\\*\\htmltag84 <a href=\"https://example.org/x\">}\\htmlrtf {\\field{\\*\\fldinst{HYPERLINK "
                       "\"https://example.org/x\"}}{\\fldrslt\\cf1\\ul \\htmlrtf0 link\\htmlrtf }\\htmlrtf0 \\htmlrtf }"
                       "\\htmlrtf0 {\\*\\htmltag92 </a>}";
            rtf += kWords[next() % 14];
            rtf += ' ';
        }
        rtf += "{\\*\\htmltag244 <o:p>}{\\*\\htmltag252 </o:p>}\\htmlrtf\\par}\\htmlrtf0\r\n{\\*\\htmltag72 </p>}\r\n";
    }
    rtf += "{\\*\\htmltag58 </body>}{\\*\\htmltag27 </html>}\\htmlrtf }\\htmlrtf0 }\r\n";
    return rtf;
}

double BestMs(int runs, const std::function<void()>& f)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const std::chrono::duration<double, std::milli> d = std::chrono::steady_clock::now() - t0;
        best = std::min(best, d.count());
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const std::string rtf = OutlookLikeRtf(10u << 20);
    const std::span<const uint8_t> rtfBytes(reinterpret_cast<const uint8_t*>(rtf.data()), rtf.size());
    std::vector<uint8_t> compressed;
    const double compressMs = BestMs(1, [&] { compressed = dravik::mapi32::rtfcomp::Compress(rtfBytes); });

    std::vector<uint8_t> out;
    const double decompressMs = BestMs(runs, [&] {
        if (!dravik::mapi32::rtfcomp::Decompress(compressed, out))
            std::abort();
    });
    if (out.size() != rtf.size())
        std::abort();
    std::string html;
    const double htmlMs = BestMs(runs, [&] { html = dravik::content::ReadRtf(rtf).html; });
    std::string text;
    const double textMs = BestMs(runs, [&] { text = dravik::content::HtmlToText(html); });

    std::printf("RTF: %.1f MiB, compressed %.1f MiB (compressing took %.0f ms); HTML %.1f MiB; text %.1f MiB\n",
                rtf.size() / 1048576.0, compressed.size() / 1048576.0, compressMs, html.size() / 1048576.0,
                text.size() / 1048576.0);
    std::printf("| step | fastest of %d | bar |\n|---|---|---|\n", runs);
    std::printf("| decompress 10 MiB of RTF | %.1f ms | 50 ms |\n", decompressMs);
    std::printf("| HTML from 10 MiB of RTF | %.1f ms | 100 ms |\n", htmlMs);
    std::printf("| text of that HTML | %.1f ms | - |\n", textMs);
    return 0;
}
