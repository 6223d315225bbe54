// The built program as a process, started offscreen with --connect-file and
// ended by a signal in the states a user can leave it in: connected, behind
// the logon failure report, behind the store password prompt. Each time it
// ends at once with status 0, its temporary profile is gone, and its layout
// is kept in the settings folder.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

class TestE2E : public QObject
{
    Q_OBJECT
private slots:
    void signalEndsTheProgramCleanly_data()
    {
        QTest::addColumn<QString>("store");
        QTest::addColumn<int>("signal");
        const QString good = QStringLiteral(DRAVIK_SAMPLES_DIR "/pstsdk-sample2.pst");
        const QString locked = QStringLiteral(DRAVIK_SAMPLES_DIR "/java-libpst-passworded.pst");
        QTest::newRow("connected, SIGTERM") << good << int(SIGTERM);
        QTest::newRow("connected, SIGINT") << good << int(SIGINT);
        // A bare path, as the desktop passes a double-clicked store.
        QTest::newRow("connected by a bare path, SIGTERM") << good << int(SIGTERM);
        // An empty file is refused: the logon failure report waits for the user.
        QTest::newRow("failure report, SIGTERM") << QString() << int(SIGTERM);
        QTest::newRow("failure report, SIGINT") << QString() << int(SIGINT);
        QTest::newRow("password prompt, SIGTERM") << locked << int(SIGTERM);
        QTest::newRow("password prompt, SIGINT") << locked << int(SIGINT);
    }
    void signalEndsTheProgramCleanly()
    {
        QFETCH(QString, store);
        QFETCH(int, signal);
        QTemporaryDir profiles;
        QTemporaryDir files;
        QTemporaryDir config;
        QVERIFY(profiles.isValid() && files.isValid() && config.isValid());
        if (store.isEmpty()) {
            store = files.filePath(QStringLiteral("empty.pst"));
            QFile empty(store);
            QVERIFY(empty.open(QIODevice::WriteOnly));
        }
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("DRAVIK_MAPI_PROFILES"), profiles.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setWorkingDirectory(QStringLiteral(DRAVIK_SOURCE_DIR));
        const bool bBare = QString::fromLatin1(QTest::currentDataTag()).contains(QStringLiteral("bare path"));
        process.start(QStringLiteral(DRAVIK_BINARY_DIR "/app/dravik"),
                      bBare ? QStringList{QStringLiteral("-Embedding"), store}
                            : QStringList{QStringLiteral("-Embedding"), QStringLiteral("--connect-file"), store});
        QVERIFY(process.waitForStarted());

        // The workspace's temporary profile exists from before the logon until
        // the workspace is closed, and while a report or prompt waits.
        const auto profileFiles = [&]() {
            QStringList names = QDir(profiles.path()).entryList(QDir::Files);
            names.removeIf([](const QString& s) { return s.startsWith(QLatin1Char('.')) || s.endsWith(QStringLiteral(".lock")); });
            return names;
        };
        QTRY_VERIFY_WITH_TIMEOUT(!profileFiles().isEmpty(), 60000);
        QVERIFY(profileFiles().first().startsWith(QStringLiteral("PROFILE")));
        // Time for the logon to reach its report or prompt, which then waits.
        QTest::qWait(500);
        QCOMPARE(process.state(), QProcess::Running);

        ::kill(static_cast<pid_t>(process.processId()), signal);
        QVERIFY2(process.waitForFinished(60000), process.readAll().constData());
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(profileFiles(), QStringList());

        // The window's layout, and a store once connected, are kept in the
        // settings folder, also when a signal ends the program.
        const QSettings kept(config.filePath(QStringLiteral("Dravik/Dravik.conf")), QSettings::IniFormat);
        QVERIFY(!kept.value(QStringLiteral("MainWindow/Geometry")).toByteArray().isEmpty());
        const bool bConnected = QString::fromLatin1(QTest::currentDataTag()).startsWith(QStringLiteral("connected"));
        QCOMPARE(kept.value(QStringLiteral("Stores/Recent")).toStringList(),
                 bConnected ? QStringList{store} : QStringList());
    }

    // A program killed outright (SIGKILL: no handler runs) leaves its
    // temporary profile; the next start finds that its owner is gone and
    // deletes it, while the profile of a running program stays.
    void staleProfilesAreDeletedAtStart()
    {
        QTemporaryDir profiles;
        QTemporaryDir config;
        QVERIFY(profiles.isValid() && config.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("DRAVIK_MAPI_PROFILES"), profiles.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        const auto profileFiles = [&]() {
            QStringList names = QDir(profiles.path()).entryList(QDir::Files);
            names.removeIf([](const QString& s) { return s.startsWith(QLatin1Char('.')) || s.endsWith(QStringLiteral(".lock")); });
            return names;
        };
        const auto start = [&](QProcess& process) {
            process.setProcessEnvironment(env);
            process.setProcessChannelMode(QProcess::MergedChannels);
            process.setWorkingDirectory(QStringLiteral(DRAVIK_SOURCE_DIR));
            process.start(QStringLiteral(DRAVIK_BINARY_DIR "/app/dravik"),
                          {QStringLiteral("-Embedding"), QStringLiteral("--connect-file"),
                           QStringLiteral(DRAVIK_SAMPLES_DIR "/pstsdk-sample2.pst")});
            return process.waitForStarted();
        };

        QProcess killed;
        QVERIFY(start(killed));
        QTRY_COMPARE_WITH_TIMEOUT(profileFiles().size(), 1, 60000);
        const QString strStale = profileFiles().first();
        ::kill(static_cast<pid_t>(killed.processId()), SIGKILL);
        QVERIFY(killed.waitForFinished(60000));
        QCOMPARE(profileFiles(), QStringList{strStale});

        // The next start deletes it and makes its own, which stays while it runs.
        QProcess next;
        QVERIFY(start(next));
        QTRY_VERIFY_WITH_TIMEOUT(profileFiles().size() == 1 && profileFiles().first() != strStale, 60000);
        QProcess third;
        QVERIFY(start(third));
        QTRY_COMPARE_WITH_TIMEOUT(profileFiles().size(), 2, 60000);
        for (QProcess* pProcess : {&third, &next}) {
            ::kill(static_cast<pid_t>(pProcess->processId()), SIGTERM);
            QVERIFY2(pProcess->waitForFinished(60000), pProcess->readAll().constData());
        }
        QCOMPARE(profileFiles(), QStringList());
    }
};

QTEST_MAIN(TestE2E)
#include "tst_e2e.moc"
