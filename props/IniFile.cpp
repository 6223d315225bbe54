#include "props/IniFile.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iterator>
#include <fstream>

namespace {

bool IsIniSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

BOOL CIniFile::Load(const std::string& strFileName)
{
    std::ifstream file(strFileName, std::ios::in | std::ios::binary);
    if (!file.is_open())
        return 0;

    std::string strLine;
    while (std::getline(file, strLine)) {
        // A CR LF line end is a line end too, as text mode reads it.
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        ParseLine(strLine);
    }
    return 1;
}

void CIniFile::Changed()
{
    static std::atomic<unsigned long> s_changes{0};
    m_generation = ++s_changes;
    m_numbers.clear();
}

BOOL CIniFile::ParseLine(std::string& strLine)
{
    Changed();
    size_t first = 0;
    while (first < strLine.size() && IsIniSpace(strLine[first]))
        ++first;
    size_t last = strLine.size();
    while (last > first && IsIniSpace(strLine[last - 1]))
        --last;
    strLine = strLine.substr(first, last - first);

    if (strLine.empty())
        return 1;

    if (strLine[0] == '[') {
        // The name is the line without its first and last character, whatever
        // that last character is; "[" alone names the empty section.
        std::string strName = strLine.size() >= 2 ? strLine.substr(1, strLine.size() - 2) : std::string();
        m_sections[strName] = KeyTable();
        m_strCurrentSection = std::move(strName);
        return 1;
    }

    if (strLine[0] == '#' || strLine[0] == ';')
        return 1;

    // Entries before the first section header have no table to go into.
    auto section = m_sections.find(m_strCurrentSection);
    if (section == m_sections.end())
        return 1;

    const size_t eq = strLine.find('=');
    if (eq == std::string::npos)
        section->second[std::string()] = strLine;
    else
        section->second[strLine.substr(0, eq)] = strLine.substr(eq + 1);
    return 1;
}

const std::string* CIniFile::Find(std::string_view section, std::string_view key) const
{
    auto s = m_sections.find(section);
    if (s == m_sections.end())
        return nullptr;
    auto entry = s->second.find(key);
    return entry == s->second.end() ? nullptr : &entry->second;
}

const std::string* CIniFile::FindNumber(std::string_view section, unsigned long number) const
{
    auto numbers = std::find_if(m_numbers.begin(), m_numbers.end(),
                                [&](const auto& entry) { return entry.first == section; });
    if (numbers == m_numbers.end()) {
        auto s = m_sections.find(section);
        if (s == m_sections.end())
            return nullptr;
        NumberTable table;
        for (const auto& [key, value] : s->second) {
            unsigned long n = 0;
            bool ok = key.size() == 10 && key[0] == '0' && key[1] == 'x';
            for (size_t i = 2; ok && i < key.size(); ++i) {
                const char c = key[i];
                ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                n = n * 16 + static_cast<unsigned long>(c <= '9' ? c - '0' : c - 'a' + 10);
            }
            if (ok)
                table.emplace(n, &value);
        }
        m_numbers.emplace_back(std::string(section), std::move(table));
        numbers = std::prev(m_numbers.end());
    }
    auto entry = numbers->second.find(number & 0xFFFFFFFFUL);
    return entry == numbers->second.end() ? nullptr : entry->second;
}

std::string CIniFile::GetValue(const std::string& strSection, const std::string& strKey) const
{
    const std::string* value = Find(strSection, strKey);
    return value ? *value : std::string();
}

std::vector<std::pair<std::string, std::string>> CIniFile::Entries(std::string_view section) const
{
    std::vector<std::pair<std::string, std::string>> entries;
    if (auto s = m_sections.find(section); s != m_sections.end())
        entries.assign(s->second.begin(), s->second.end());
    return entries;
}

void CIniFile::Clear()
{
    m_sections.clear();
    Changed();
    m_strCurrentSection.clear();
}

CIniFile& GetIniFile()
{
    static CIniFile iniFile;
    return iniFile;
}

namespace {

// strValue set to the value found, or emptied; TRUE exactly when it is not empty.
BOOL TakeName(const std::string* value, std::string& strValue)
{
    if (value)
        strValue = *value;
    else
        strValue.clear();
    return strValue.empty() ? 0 : 1;
}

} // namespace

BOOL LookupName(const char* pszSection, const char* pszKey, std::string& strValue)
{
    return TakeName(GetIniFile().Find(pszSection ? pszSection : "", pszKey ? pszKey : ""), strValue);
}

BOOL LookupNumber(const char* pszSection, unsigned long ulNumber, std::string& strValue)
{
    return TakeName(GetIniFile().FindNumber(pszSection ? pszSection : "", ulNumber), strValue);
}

void AppendDictionaryKey(std::string& out, unsigned long ulNumber)
{
    // "0x%08lx" of the low 32 bits, without the cost of a formatted print: the
    // dictionary is asked twice for every property listed.
    static constexpr char kDigits[] = "0123456789abcdef";
    char key[] = "0x00000000";
    for (int i = 9; i >= 2; --i, ulNumber >>= 4)
        key[i] = kDigits[ulNumber & 0xF];
    out.append(key, 10);
}

std::string DictionaryKey(unsigned long ulNumber)
{
    std::string key;
    AppendDictionaryKey(key, ulNumber);
    return key;
}
