// ANSI stores whose 8-bit strings are in the code page of one script, as a
// Japanese, Chinese, Russian or Israeli Outlook writes them: a folder name, a
// message's subject, body and recipient, and a contact, with or without the
// code page or locale that says how to read them.
//   StoreDescription d = codePageStore(Script::Japanese, Declared::InternetCodePage);
//   const ScriptTexts& t = scriptTexts(Script::Japanese);   // the bytes and what they read as
#pragma once

#include "StoreDescription.h"

namespace dravik::pst::writer {

enum class Script { Japanese, Chinese, Cyrillic, Hebrew };

// What the messages declare about their 8-bit strings.
enum class Declared {
    Nothing,           // no code page, no locale: only a chosen code page reads them
    CodePage,          // PR_MESSAGE_CODEPAGE, the Windows ANSI code page
    Locale,            // PR_MESSAGE_LOCALE_ID only
    InternetCodePage,  // PR_INTERNET_CPID only, a MIME code page (50220 ISO-2022-JP, ...)
};

struct ScriptText {
    const char* bytes;  // as the store keeps it, in the script's ANSI code page
    const char* utf8;   // what it reads as
};

struct ScriptTexts {
    const char* name;           // "japanese", "chinese", "cyrillic", "hebrew"
    uint32_t codePage;          // the Windows ANSI code page
    uint32_t locale;            // an LCID of the script
    uint32_t internetCodePage;  // a MIME code page of the script
    ScriptText folder;          // a folder's name
    ScriptText subject;         // a message's subject (and, with "body: " before it, its body)
    ScriptText person;          // the message's recipient and the contact's name
};

const ScriptTexts& scriptTexts(Script script);

// The ANSI store: "Top of Personal Folders" holds the folder named in the
// script with one note (subject, body, one recipient), and "Contacts" with one
// contact (display name and subject).
StoreDescription codePageStore(Script script, Declared declared);

}  // namespace dravik::pst::writer
