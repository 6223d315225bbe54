// The tag dictionary: an INI-style file that names property IDs, property
// types and MAPI object types.
//
// The reader is small and strict. Keys are matched as exact, case-sensitive
// strings, so the key form "0x%08x" (eight lower-case digits) is part of the
// contract between the file and the program. Names, keys and values are taken
// byte for byte from the file.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

using BOOL = int;

class CIniFile
{
public:
    // Reads the named file line by line into the dictionary. FALSE, with
    // nothing read, when the file cannot be opened. A read error in the middle
    // ends the reading; what was read stays and the result is still TRUE.
    BOOL Load(const std::string& strFileName);

    // Trims the line in place and applies it: a section header, a comment,
    // or a key=value entry of the current section. Always TRUE.
    BOOL ParseLine(std::string& strLine);

    // The value stored under the key in the section, or the empty string.
    std::string GetValue(const std::string& strSection, const std::string& strKey) const;
    // The same, or null, without copying: valid until the dictionary changes.
    const std::string* Find(std::string_view section, std::string_view key) const;
    // The value under the key DictionaryKey(number), or null, found by the number.
    const std::string* FindNumber(std::string_view section, unsigned long number) const;

    // Every key and value of a section, in no particular order.
    std::vector<std::pair<std::string, std::string>> Entries(std::string_view section) const;

    // Forgets every section (the dictionary as it is before any load).
    void Clear();

    // A number that changes whenever the dictionary does (no two changes of
    // any dictionary of the process give the same): a caller that keeps
    // texts made from the dictionary makes them anew when it differs.
    unsigned long Generation() const { return m_generation; }

private:
    // Looked up by string_view too, without making a string of the key.
    struct Hash
    {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    using KeyTable = std::unordered_map<std::string, std::string, Hash, std::equal_to<>>;

    std::unordered_map<std::string, KeyTable, Hash, std::equal_to<>> m_sections;
    // Each section's keys of the form "0x%08x" by their number, made when a
    // section is first searched by number and forgotten when the dictionary changes.
    // A few sections are searched this way (property IDs, types, object
    // types), each many times a listing: found by comparing their names, not
    // hashing them.
    using NumberTable = std::unordered_map<unsigned long, const std::string*>;
    mutable std::vector<std::pair<std::string, NumberTable>> m_numbers;
    std::string m_strCurrentSection;
    unsigned long m_generation = 0;
    void Changed();
};

// The one dictionary of the process.
CIniFile& GetIniFile();

// Sets strValue to the process-wide dictionary's value for the section and
// key; TRUE exactly when that value is not empty.
BOOL LookupName(const char* pszSection, const char* pszKey, std::string& strValue);
// The same for the key DictionaryKey(ulNumber).
BOOL LookupNumber(const char* pszSection, unsigned long ulNumber, std::string& strValue);

// The dictionary key of a number: "0x%08x".
std::string DictionaryKey(unsigned long ulNumber);
// The same appended to out.
void AppendDictionaryKey(std::string& out, unsigned long ulNumber);
