// The transport headers of a message as an export writes them: what GMime reads
// of PR_TRANSPORT_MESSAGE_HEADERS, with what cannot be a header left out.
#include "content/InternetMessage.h"

#include <gtest/gtest.h>

using namespace dravik::content;

TEST(TransportHeaders, Block)
{
    struct Case
    {
        const char* name;
        std::string text;
        std::string block;
    };
    const Case cases[] = {
        {"CRLF lines, the first line no header, the body after the blank line left out",
         "Microsoft Mail Internet Headers Version 2.0\r\nFrom: a@example.org\r\nSubject: s\r\n\r\nFrom: body\r\n",
         "From: a@example.org\nSubject: s\n"},
        {"Content-* headers left out: the structure is made anew",
         "Subject: s\nMIME-Version: 1.0\nContent-Type: text/plain\nCONTENT-transfer-encoding: 7bit\n",
         "Subject: s\nMIME-Version: 1.0\n"},
        {"folded value kept folded", "Subject: a\n b\nTo: x@example.org\n", "Subject: a\n b\nTo: x@example.org\n"},
        {"a field named with an 8-bit byte left out (found by the fuzzer)", ",\xa5,: v\nSubject: s\n", "Subject: s\n"},
        {"no header at all", "just a line of text\n", ""},
        {"empty", "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TransportHeaderBlock(c.text), c.block) << c.name;
}
