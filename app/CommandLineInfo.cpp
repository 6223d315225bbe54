#include "app/CommandLineInfo.h"

CCommandLineInfo::CCommandLineInfo()
    : m_help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
             QStringLiteral("Displays help on commandline options.")),
      m_version(QStringList{QStringLiteral("v"), QStringLiteral("version")},
                QStringLiteral("Displays version information.")),
      m_connectFile(QStringLiteral("connect-file"), QStringLiteral("Connect the first workspace to the store file PATH."),
                    QStringLiteral("PATH")),
      m_connectProfile(QStringLiteral("connect-profile"),
                       QStringLiteral("Connect the first workspace to the profile NAME."), QStringLiteral("NAME")),
      m_embedding(QStringList{QStringLiteral("Embedding"), QStringLiteral("embedding")},
                  QStringLiteral("Started by another program: no splash screen.")),
      m_automation(QStringList{QStringLiteral("Automation"), QStringLiteral("automation")},
                   QStringLiteral("Started for automation: no splash screen."))
{
    m_parser.setApplicationDescription(QStringLiteral("Dravik: raw MAPI objects and properties of mail stores"));
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    // Help and version are options of our own, not the parser's: its own
    // would be acted on by process() only, and parse() is what works
    // without an application object.
    m_parser.addOptions({m_help, m_version, m_connectFile, m_connectProfile, m_embedding, m_automation});
    m_parser.addPositionalArgument(QStringLiteral("files"),
        QStringLiteral("Store files (.pst, .ost) and message files (.msg): the first workspace connects to the first one, as with "
                       "--connect-file, and each further one opens in a workspace of its own."),
        QStringLiteral("[FILE...]"));
}

bool CCommandLineInfo::Parse(const QStringList& arguments)
{
    return m_parser.parse(arguments);
}

bool CCommandLineInfo::WantsHelpOrVersion() const
{
    return m_parser.isSet(m_help) || m_parser.isSet(m_version);
}

void CCommandLineInfo::ShowHelpOrVersion()
{
    if (m_parser.isSet(m_help))
        m_parser.showHelp(0);
    m_parser.showVersion();
}

bool CCommandLineInfo::ShowSplash() const
{
    return !m_parser.isSet(m_embedding) && !m_parser.isSet(m_automation);
}

bool CCommandLineInfo::ConnectsProfile() const
{
    return m_parser.isSet(m_connectProfile);
}

QString CCommandLineInfo::Profile() const
{
    return m_parser.value(m_connectProfile);
}

QStringList CCommandLineInfo::StoreFiles() const
{
    QStringList files = m_parser.positionalArguments();
    if (m_parser.isSet(m_connectFile))
        files.prepend(m_parser.value(m_connectFile));
    return files;
}
