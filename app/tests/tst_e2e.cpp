// The built program as a process: started offscreen with --connect-file on a
// real store, closed with SIGTERM as "E&xit" would close it; the temporary
// profile is gone afterwards.
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

class TestE2E : public QObject
{
    Q_OBJECT
private slots:
    void connectFileThenCloseLeavesNoProfile()
    {
        QTemporaryDir profiles;
        QVERIFY(profiles.isValid());
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("DRAVIK_MAPI_PROFILES"), profiles.path());
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setWorkingDirectory(QStringLiteral(DRAVIK_SOURCE_DIR));
        process.start(QStringLiteral(DRAVIK_BINARY_DIR "/app/dravik"),
                      {QStringLiteral("-Embedding"), QStringLiteral("--connect-file"),
                       QStringLiteral(DRAVIK_SAMPLES_DIR "/pstsdk-sample2.pst")});
        QVERIFY(process.waitForStarted());

        // The connected workspace's profile appears in the profile folder.
        const auto profileFiles = [&]() {
            QStringList names = QDir(profiles.path()).entryList(QDir::Files);
            names.removeIf([](const QString& s) { return s.startsWith(QLatin1Char('.')) || s.endsWith(QStringLiteral(".lock")); });
            return names;
        };
        QTRY_VERIFY_WITH_TIMEOUT(!profileFiles().isEmpty(), 20000);
        QVERIFY(profileFiles().first().startsWith(QStringLiteral("PROFILE")));

        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        QVERIFY2(process.waitForFinished(20000), process.readAll().constData());
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(profileFiles(), QStringList());
    }
};

QTEST_MAIN(TestE2E)
#include "tst_e2e.moc"
