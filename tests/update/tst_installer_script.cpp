// The installer script, run by bash in a sandbox of temporary folders with real tar archives. The desktop
// tools it calls (pkexec, xdg-open, zenity, notify-send) are stubs on PATH that record their arguments;
// the core tools are the real ones, reached through a folder of links so that nothing else on the
// machine's PATH leaks in. A target that the user cannot write is made by running the script as
// "nobody" when the tests run as root, and by removing the write permission otherwise.
#include "update/InstallerScript.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

const QString alertTitle = QStringLiteral("Não foi possível instalar a atualização automaticamente.");
const QString alertMessage = QStringLiteral(
    "O instalador foi aberto. Feche o Voxlet, se necessário, e arraste o aplicativo para Applications.");

constexpr uid_t nobodyId = 65534;

bool writeFile(const QString& path, const QByteArray& content, bool executable = false) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return false;
    file.close();
    QFile::Permissions permissions =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    if (executable)
        permissions |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    return file.setPermissions(permissions);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Arguments a stub recorded, one NUL-terminated string each.
QStringList recordedArguments(const QString& path) {
    QStringList arguments;
    const QByteArray content = readFile(path);
    for (const QByteArray& part : content.split('\0'))
        arguments.append(QString::fromUtf8(part));
    if (!arguments.isEmpty())
        arguments.removeLast();
    return arguments;
}

QByteArray shellQuoted(const QString& text) {
    QByteArray quoted = text.toUtf8();
    quoted.replace('\'', "'\\''");
    return '\'' + quoted + '\'';
}

// One installation scenario: the folders the script works in, the stubs, the archive and the target.
class Sandbox {
public:
    Sandbox() {
        root = dir.path();
        // Everything must be reachable by the unprivileged user some tests run the script as.
        QFile::setPermissions(root, QFile::Permissions(0x7755));
        for (const char* name : {"private", "tmp", "stubs", "tools", "records", "opt", "staging"})
            QDir(root).mkpath(QString::fromLatin1(name));
        linkTools();
        setAlertTool(QStringLiteral("zenity"));
        writeStub(QStringLiteral("xdg-open"), "exit 0");
        script = privateDir() + QLatin1Char('/') + InstallerScript::newFileName();
        writeFile(script, InstallerScript::text(), true);
    }

    ~Sandbox() {
        // Give back what the tests took away, so that the temporary folder can be removed.
        for (const QString& path : lockedPaths)
            QFile::setPermissions(path, QFile::Permissions(0x7755));
    }

    QString privateDir() const { return root + QStringLiteral("/private"); }
    QString tmpDir() const { return root + QStringLiteral("/tmp"); }
    QString records() const { return root + QStringLiteral("/records"); }
    QString optDir() const { return root + QStringLiteral("/opt"); }
    QString target() const { return optDir() + QStringLiteral("/Voxlet"); }
    QString archive() const { return privateDir() + QStringLiteral("/VoxletUpdate.tar.gz"); }
    QString logPath() const { return privateDir() + QLatin1Char('/') + InstallerScript::logFileName; }
    QString log() const { return QString::fromUtf8(readFile(logPath())); }

    // An install tree whose program writes its version into records/started when it runs.
    void makeTree(const QString& path, const QByteArray& version) {
        writeFile(path + QStringLiteral("/VERSION"), version);
        writeFile(path + QStringLiteral("/share/voxlet/Info.json"),
                  "{\"CFBundleVersion\": \"" + version + "\"}");
        writeFile(path + QStringLiteral("/bin/voxlet"),
                  "#!/bin/bash\necho " + version + " > " +
                      shellQuoted(records() + QStringLiteral("/started")) + "\n",
                  true);
    }

    void installOldTree() { makeTree(target(), "1"); }

    // Archive layouts: "release" holds Voxlet/ (version 2), "other" holds only Other/, "file" holds a
    // plain file named Voxlet, "garbage" is not an archive at all.
    bool makeArchive(const QString& layout) {
        const QString staging = root + QStringLiteral("/staging");
        if (layout == QLatin1String("garbage"))
            return writeFile(archive(), "<html><body>404 Not Found</body></html>\n");
        QString member = QStringLiteral("Voxlet");
        if (layout == QLatin1String("release")) {
            makeTree(staging + QStringLiteral("/Voxlet"), "2");
        } else if (layout == QLatin1String("other")) {
            makeTree(staging + QStringLiteral("/Other"), "2");
            member = QStringLiteral("Other");
        } else if (layout == QLatin1String("file")) {
            writeFile(staging + QStringLiteral("/Voxlet"), "not a folder");
        }
        QProcess tar;
        tar.start(QStringLiteral("tar"),
                  {QStringLiteral("-czf"), archive(), QStringLiteral("-C"), staging, member});
        return tar.waitForFinished(30000) && tar.exitStatus() == QProcess::NormalExit && tar.exitCode() == 0;
    }

    // A stub that records its arguments in records/<name>.args, then runs `body`.
    void writeStub(const QString& name, const QByteArray& body) {
        const QByteArray recordPath =
            shellQuoted(records() + QLatin1Char('/') + name + QStringLiteral(".args"));
        writeFile(root + QStringLiteral("/stubs/") + name,
                  "#!/bin/bash\nprintf '%s\\0' \"$@\" > " + recordPath + "\n" + body + "\n", true);
    }

    void removeStub(const QString& name) { QFile::remove(root + QStringLiteral("/stubs/") + name); }

    // "zenity", "notify-send" or "none".
    void setAlertTool(const QString& tool) {
        removeStub(QStringLiteral("zenity"));
        removeStub(QStringLiteral("notify-send"));
        if (tool != QLatin1String("none"))
            writeStub(tool, "exit 0");
    }

    QString realTool(const QString& name) const { return QStandardPaths::findExecutable(name); }

    // Makes the target's folder and the target unwritable for the user the script runs as.
    void lockTarget() {
        if (geteuid() == 0) {
            runAsNobody = true;
            for (const QString& path : {privateDir(), tmpDir(), records(), script})
                QVERIFY(::chown(QFile::encodeName(path).constData(), nobodyId, nobodyId) == 0);
            return;
        }
        for (const QString& path : {target(), optDir()}) {
            QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                                    QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
            lockedPaths.append(path);
        }
    }

    void unlockTarget() {
        for (const QString& path : lockedPaths)
            QFile::setPermissions(path, QFile::Permissions(0x7755));
        lockedPaths.clear();
    }

    void start(QProcess& process, qint64 runningPid) {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PATH"),
                           root + QStringLiteral("/stubs:") + root + QStringLiteral("/tools"));
        environment.insert(QStringLiteral("TMPDIR"), tmpDir());
        environment.insert(QStringLiteral("HOME"), root);
        environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        process.setProcessEnvironment(environment);
        QStringList arguments{script, archive(), target(), QString::number(runningPid)};
        QString program = realTool(QStringLiteral("bash"));
        if (runAsNobody) {
            arguments = QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                    QStringLiteral("--clear-groups"), program} +
                        arguments;
            program = realTool(QStringLiteral("setpriv"));
        }
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, arguments);
    }

    // Runs the script for a program that has already ended; the script's exit code.
    int run() {
        QProcess script;
        start(script, endedProcessId());
        if (!script.waitForFinished(60000) || script.exitStatus() != QProcess::NormalExit)
            return -1;
        output = QString::fromUtf8(script.readAll());
        return script.exitCode();
    }

    static qint64 endedProcessId() {
        QProcess ended;
        ended.start(QStandardPaths::findExecutable(QStringLiteral("true")), {});
        ended.waitForFinished();
        return ended.processId() > 0 ? ended.processId() : 999999;
    }

    QStringList entries(const QString& path) const {
        return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }

    QString scriptPath() const { return script; }
    QString output;

private:
    void linkTools() {
        for (const char* name : {"bash", "tar", "gzip", "cp", "mv", "rm", "mkdir", "rmdir", "mktemp",
                                 "dirname", "sleep", "chmod", "setsid", "cat"}) {
            const QString tool = realTool(QString::fromLatin1(name));
            QVERIFY2(!tool.isEmpty(), name);
            QVERIFY(QFile::link(tool, root + QStringLiteral("/tools/") + QString::fromLatin1(name)));
        }
    }

    QTemporaryDir dir;
    QString root;
    QString script;
    bool runAsNobody = false;
    QStringList lockedPaths;
};

} // namespace

class InstallerScriptTest : public QObject {
    Q_OBJECT

private:
    static void verifyNothingLeftBehind(const Sandbox& sandbox) {
        QVERIFY2(!QFile::exists(sandbox.scriptPath()), "the script did not delete itself");
        QVERIFY2(sandbox.entries(sandbox.tmpDir()).isEmpty(),
                 qPrintable(sandbox.entries(sandbox.tmpDir()).join(' ')));
        QCOMPARE(sandbox.entries(sandbox.optDir()), QStringList{QStringLiteral("Voxlet")});
    }

    static void verifyFallback(const Sandbox& sandbox, const QString& alertTool) {
        QCOMPARE(recordedArguments(sandbox.records() + QStringLiteral("/xdg-open.args")),
                 QStringList{sandbox.privateDir()});
        if (alertTool == QLatin1String("zenity")) {
            QCOMPARE(recordedArguments(sandbox.records() + QStringLiteral("/zenity.args")),
                     (QStringList{QStringLiteral("--error"), QStringLiteral("--title=") + alertTitle,
                                  QStringLiteral("--text=") + alertMessage}));
        } else if (alertTool == QLatin1String("notify-send")) {
            QCOMPARE(recordedArguments(sandbox.records() + QStringLiteral("/notify-send.args")),
                     (QStringList{QStringLiteral("--urgency=critical"), QStringLiteral("--app-name=Voxlet"),
                                  alertTitle, alertMessage}));
        }
        QVERIFY2(QFile::exists(sandbox.archive()), "the archive must stay for the user");
        QCOMPARE(readFile(sandbox.target() + QStringLiteral("/VERSION")), QByteArray("1"));
        QVERIFY2(!QFile::exists(sandbox.records() + QStringLiteral("/started")), "no program may be started");
    }

private Q_SLOTS:
    void scriptIsShipped() {
        const QByteArray text = InstallerScript::text();
        QVERIFY(text.startsWith("#!/bin/bash\n"));
        QVERIFY(text.contains("\nset -euo pipefail\n"));
        QVERIFY(InstallerScript::newFileName().contains(QRegularExpression(
            QStringLiteral("^VoxletUpdater-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.sh$"))));
    }

    void waitsForTheProgramToEnd() {
        Sandbox sandbox;
        sandbox.installOldTree();
        QVERIFY(sandbox.makeArchive(QStringLiteral("release")));
        QProcess running;
        running.start(sandbox.realTool(QStringLiteral("sleep")), {QStringLiteral("60")});
        QVERIFY(running.waitForStarted());

        QProcess script;
        sandbox.start(script, running.processId());
        QVERIFY(script.waitForStarted());
        QTRY_VERIFY(sandbox.log().contains(QStringLiteral("Waiting for process")));
        QTest::qWait(600);
        QCOMPARE(script.state(), QProcess::Running);
        QCOMPARE(readFile(sandbox.target() + QStringLiteral("/VERSION")), QByteArray("1"));

        running.kill();
        QVERIFY(running.waitForFinished());
        QVERIFY(script.waitForFinished(30000));
        QVERIFY2(script.exitCode() == 0, qPrintable(sandbox.log()));
        QCOMPARE(readFile(sandbox.target() + QStringLiteral("/VERSION")), QByteArray("2"));
    }

    void installsIntoWritableTarget_data() {
        QTest::addColumn<bool>("previousTree");
        QTest::newRow("replaces the previous tree") << true;
        QTest::newRow("installs where nothing was") << false;
    }

    void installsIntoWritableTarget() {
        QFETCH(bool, previousTree);
        Sandbox sandbox;
        if (previousTree) {
            sandbox.installOldTree();
            writeFile(sandbox.target() + QStringLiteral("/stale-file"), "from the old release");
        }
        QVERIFY(sandbox.makeArchive(QStringLiteral("release")));

        QCOMPARE(sandbox.run(), 0);

        QCOMPARE(readFile(sandbox.target() + QStringLiteral("/VERSION")), QByteArray("2"));
        QVERIFY(!QFile::exists(sandbox.target() + QStringLiteral("/stale-file")));
        QVERIFY(QFileInfo(sandbox.target() + QStringLiteral("/bin/voxlet")).isExecutable());
        QCOMPARE(QFileInfo(sandbox.target()).permissions() & QFile::Permissions(0x7077),
                 QFile::Permissions(0x7055));
        QTRY_COMPARE(readFile(sandbox.records() + QStringLiteral("/started")), QByteArray("2\n"));
        QVERIFY2(!QFile::exists(sandbox.archive()), "the archive must be deleted after installing");
        verifyNothingLeftBehind(sandbox);
        QVERIFY(!QFile::exists(sandbox.records() + QStringLiteral("/xdg-open.args")));
        QVERIFY(!QFile::exists(sandbox.records() + QStringLiteral("/pkexec.args")));
        QVERIFY(sandbox.log().contains(QStringLiteral("Update installed")));
    }

    void keepsPreviousTreeWhenInstallFails_data() {
        QTest::addColumn<QString>("failingTool");
        QTest::addColumn<QByteArray>("stub");
        // The copy breaks off after writing part of the new tree.
        QTest::newRow("copy fails") << QStringLiteral("cp")
                                    << QByteArray("\"$REAL_TOOLS/cp\" \"$@\" || true\nexit 1");
        // The new tree is complete but cannot be moved into place, after the old one was moved aside.
        QTest::newRow("swap fails")
            << QStringLiteral("mv")
            << QByteArray(
                   "if [[ \"$2\" == *.Voxlet-install.* ]]; then exit 1; fi\nexec \"$REAL_TOOLS/mv\" \"$@\"");
    }

    void keepsPreviousTreeWhenInstallFails() {
        QFETCH(QString, failingTool);
        QFETCH(QByteArray, stub);
        Sandbox sandbox;
        sandbox.installOldTree();
        QVERIFY(sandbox.makeArchive(QStringLiteral("release")));
        const QByteArray tools = shellQuoted(QFileInfo(sandbox.realTool(failingTool)).path());
        sandbox.writeStub(failingTool, "REAL_TOOLS=" + tools + "\n" + stub);

        QCOMPARE(sandbox.run(), 1);

        verifyFallback(sandbox, QStringLiteral("zenity"));
        QVERIFY(QFileInfo(sandbox.target() + QStringLiteral("/bin/voxlet")).isExecutable());
        verifyNothingLeftBehind(sandbox);
    }

    void fallsBackWhenArchiveIsUnusable_data() {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("alertTool");
        QTest::newRow("no Voxlet folder, zenity") << QStringLiteral("other") << QStringLiteral("zenity");
        QTest::newRow("no Voxlet folder, notify-send")
            << QStringLiteral("other") << QStringLiteral("notify-send");
        QTest::newRow("Voxlet is a file") << QStringLiteral("file") << QStringLiteral("zenity");
        QTest::newRow("not an archive") << QStringLiteral("garbage") << QStringLiteral("notify-send");
        QTest::newRow("no alert tool") << QStringLiteral("garbage") << QStringLiteral("none");
    }

    void fallsBackWhenArchiveIsUnusable() {
        QFETCH(QString, layout);
        QFETCH(QString, alertTool);
        Sandbox sandbox;
        sandbox.installOldTree();
        sandbox.setAlertTool(alertTool);
        QVERIFY(sandbox.makeArchive(layout));

        QCOMPARE(sandbox.run(), 1);

        verifyFallback(sandbox, alertTool);
        verifyNothingLeftBehind(sandbox);
    }

    void asksForAdministratorRightsWhenTargetIsNotWritable() {
        Sandbox sandbox;
        sandbox.installOldTree();
        QVERIFY(sandbox.makeArchive(QStringLiteral("release")));
        // The stub grants without running anything, but keeps the new tree so that the test can run
        // the privileged command the script handed over.
        const QByteArray kept = shellQuoted(sandbox.records() + QStringLiteral("/source"));
        sandbox.writeStub(QStringLiteral("pkexec"), "cp -a \"$5\" " + kept + "\nexit 0");
        sandbox.lockTarget();

        QCOMPARE(sandbox.run(), 0);

        const QStringList arguments = recordedArguments(sandbox.records() + QStringLiteral("/pkexec.args"));
        QCOMPARE(arguments.size(), 6);
        QCOMPARE(arguments.at(0), QStringLiteral("/bin/bash"));
        QCOMPARE(arguments.at(1), QStringLiteral("-c"));
        QVERIFY(arguments.at(4).startsWith(sandbox.tmpDir() + QStringLiteral("/VoxletUpdateExtract.")));
        QCOMPARE(arguments.at(5), sandbox.target());
        QTRY_VERIFY(QFile::exists(sandbox.records() + QStringLiteral("/started")));
        QVERIFY(!QFile::exists(sandbox.archive()));
        QVERIFY(!QFile::exists(sandbox.records() + QStringLiteral("/xdg-open.args")));
        QVERIFY(!QFile::exists(sandbox.scriptPath()));

        // What pkexec would have run as the administrator installs the new tree.
        sandbox.unlockTarget();
        QProcess privileged;
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
        privileged.setProcessEnvironment(environment);
        privileged.start(QStringLiteral("/bin/bash"),
                         {arguments.at(1), arguments.at(2), arguments.at(3),
                          sandbox.records() + QStringLiteral("/source"), arguments.at(5)});
        QVERIFY(privileged.waitForFinished(30000));
        QVERIFY2(privileged.exitCode() == 0, privileged.readAllStandardError().constData());
        QCOMPARE(readFile(sandbox.target() + QStringLiteral("/VERSION")), QByteArray("2"));
        QCOMPARE(sandbox.entries(sandbox.optDir()), QStringList{QStringLiteral("Voxlet")});
    }

    void fallsBackWhenAdministratorCopyFails_data() {
        QTest::addColumn<QByteArray>("pkexec");
        QTest::newRow("refused") << QByteArray("exit 126");
        QTest::newRow("pkexec missing") << QByteArray();
        // Granted, but the copy itself fails (here: it runs without the rights it needs).
        QTest::newRow("copy fails") << QByteArray("exec \"$@\"");
    }

    void fallsBackWhenAdministratorCopyFails() {
        QFETCH(QByteArray, pkexec);
        Sandbox sandbox;
        sandbox.installOldTree();
        QVERIFY(sandbox.makeArchive(QStringLiteral("release")));
        if (!pkexec.isEmpty())
            sandbox.writeStub(QStringLiteral("pkexec"), pkexec);
        sandbox.lockTarget();

        QCOMPARE(sandbox.run(), 1);

        verifyFallback(sandbox, QStringLiteral("zenity"));
        QVERIFY(sandbox.log().contains(QStringLiteral("The administrator copy was refused or failed")));
        verifyNothingLeftBehind(sandbox);
    }
};

QTEST_GUILESS_MAIN(InstallerScriptTest)
#include "tst_installer_script.moc"
