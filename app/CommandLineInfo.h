// The program's command line: its options, their parse, and the help and
// version texts. Parsing needs no application object, so that --help and
// --version can be answered without a display.
#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

class CCommandLineInfo
{
public:
    CCommandLineInfo();

    // FALSE on a bad command line; ErrorText() says what is wrong.
    bool Parse(const QStringList& arguments);
    QString ErrorText() const { return m_parser.errorText(); }

    bool WantsHelpOrVersion() const;
    // Writes the help or the version text and ends the process with status
    // 0. Needs the application object (any kind) and its identity.
    [[noreturn]] void ShowHelpOrVersion();

    // No splash screen (-Embedding, -Automation).
    bool ShowSplash() const;
    // --connect-profile: the profile to connect the first workspace to.
    bool ConnectsProfile() const;
    QString Profile() const;
    // Store files to connect, in order: --connect-file's, then the bare ones.
    QStringList StoreFiles() const;

private:
    QCommandLineParser m_parser;
    QCommandLineOption m_help;
    QCommandLineOption m_version;
    QCommandLineOption m_connectFile;
    QCommandLineOption m_connectProfile;
    QCommandLineOption m_embedding;
    QCommandLineOption m_automation;
};
