#include "testsupport.h"

#include "devicefiles.h"
#include "logmessagehandler.h"
#include "manifest.h"
#include "ui_installerview.h"
#include "wiring.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTest>
#include <QTextBrowser>

#include <cstring>

#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Roots of the simulated devices a run was started on, not yet checked.
QSet<QString> &runRoots()
{
    static QSet<QString> roots;
    return roots;
}

} // namespace

void noteRunOn(const QString &root)
{
    runRoots().insert(root);
}

DeviceTree::DeviceTree(const QStringList &options)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return;
    }
    QString output;
    const int code
        = runTool(QStringLiteral("make-device.sh"), QStringList{root()} + options, &output);
    m_ok = code == 0;
    if (!m_ok)
        m_error = QStringLiteral("make-device.sh failed (%1): %2").arg(code).arg(output);
}

DeviceTree::~DeviceTree()
{
    if (runRoots().remove(root()) && !QTest::currentTestFailed())
        checkStartLine();
    // Immutable files left by a failed test must not keep the temporary tree alive.
    QProcess chattr;
    chattr.start(QStringLiteral("chattr"),
                 {QStringLiteral("-R"), QStringLiteral("-f"), QStringLiteral("-i"), root()});
    chattr.waitForFinished(10000);
    // Folders made read-only by a test must not keep the temporary tree alive. Only real
    // folders: a test's link may name anything outside the tree, /dev/null included.
    QDirIterator it(root(), QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo entry = it.nextFileInfo();
        if (entry.isDir() && !entry.isSymLink())
            QFile::setPermissions(entry.filePath(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
}

QString DeviceTree::path(const QString &devicePath) const
{
    return root() + devicePath;
}

bool DeviceTree::exists(const QString &devicePath) const
{
    return QFileInfo::exists(path(devicePath)) || QFileInfo(path(devicePath)).isSymLink();
}

QByteArray DeviceTree::read(const QString &devicePath) const
{
    QFile file(path(devicePath));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void DeviceTree::checkStartLine() const
{
    // Only a log that is a file: a test may put a pipe or a link in its place.
    const QString log = QFile::exists(logPath()) ? logPath() : pulledLogPath();
    struct stat st;
    if (::lstat(QFile::encodeName(log).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    const QStringList written = logLines().mid(m_seededLogLines);
    if (!written.isEmpty() && !written.first().startsWith(QLatin1String("Installer started at ")))
        QTest::qFail(qPrintable(QStringLiteral("The log on the stick begins with \"%1\", not with "
                                               "the start line")
                                    .arg(written.first())),
                     __FILE__, __LINE__);
}

bool DeviceTree::write(const QString &devicePath, const QByteArray &content) const
{
    const QString host = path(devicePath);
    if (host == logPath())
        m_seededLogLines += int(content.count('\n'));
    QDir().mkpath(QFileInfo(host).absolutePath());
    QFile file(host);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(content) == content.size();
}

QString DeviceTree::logPath() const
{
    return logFileOn(root());
}

static QStringList linesOf(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromUtf8(f.readAll());
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

QStringList DeviceTree::logLines() const
{
    return withoutPlatformNoise(linesOf(QFile::exists(logPath()) ? logPath() : pulledLogPath()));
}

QString DeviceTree::pulledLogPath() const
{
    return root() + QStringLiteral("/pulled-stick/log.txt");
}

bool DeviceTree::pullStick() const
{
    return QDir().rename(onDevice(root(), corvane::device::stickFolder),
                         root() + QStringLiteral("/pulled-stick"));
}

QStringList DeviceTree::listTree(const QString &devicePath) const
{
    const QString base = path(devicePath);
    QStringList result;
    QDirIterator it(base, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        result << QDir(base).relativeFilePath(it.next());
    result.sort();
    return result;
}

int runTool(const QString &script, const QStringList &arguments, QString *output)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CORVANE_ENCRYPT_TOOL"), QStringLiteral(CORVANE_ENCRYPT_EXE));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(CORVANE_SOURCE_DIR "/tools/") + script, arguments);
    if (!process.waitForFinished(120000))
        return -1;
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool makePe(const QString &out, const QStringList &options)
{
    return runTool(QStringLiteral("make-pe.sh"), QStringList{out} + options) == 0;
}

static QStringList g_messages;

static void recordAndLog(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    g_messages << message;
    corvane::logMessageHandler(type, context, message);
}

LogToDevice::LogToDevice()
{
    // A device without a stick folder: nothing reaches a file.
    corvane::setLogDevice(corvane::DeviceRoot(QStringLiteral("/nonexistent")));
    g_messages.clear();
    qInstallMessageHandler(recordAndLog);
}

LogToDevice::LogToDevice(const DeviceTree &device)
    : LogToDevice()
{
    corvane::setLogDevice(device.device());
}

LogToDevice::~LogToDevice()
{
    qInstallMessageHandler(nullptr);
    corvane::setLogDevice(corvane::DeviceRoot(QStringLiteral("/nonexistent")));
}

QStringList LogToDevice::messages()
{
    return withoutPlatformNoise(g_messages);
}

QStringList withoutPlatformNoise(const QStringList &lines)
{
    QStringList result;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("This plugin does not support"))
            || line.startsWith(QLatin1String("QStandardPaths:")))
            continue;
        result << line;
    }
    return result;
}

bool setImmutable(const QString &path, bool immutable)
{
    QProcess process;
    process.start(QStringLiteral("chattr"),
                  {immutable ? QStringLiteral("+i") : QStringLiteral("-i"), path});
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

MessageLog *MessageLog::s_current = nullptr;

MessageLog::MessageLog()
{
    s_current = this;
    m_previous = qInstallMessageHandler(&MessageLog::handler);
}

MessageLog::~MessageLog()
{
    qInstallMessageHandler(m_previous);
    s_current = nullptr;
}

void MessageLog::handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (!s_current)
        return;
    if (type == QtDebugMsg)
        s_current->m_debug << message;
    s_current->m_all << message;
}

QStringList installLeftovers(const QString &workFolder)
{
    QStringList found;
    QDirIterator it(workFolder,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        // The lock, and a count of no wrong entries: both stay by design.
        if (it.fileName() == QLatin1String("lock"))
            continue;
        if (it.fileName() == QLatin1String(corvane::device::wrongEntryCountName)
            && get(it.filePath()) == "0\n")
            continue;
        found << it.fileName();
    }
    return found;
}

QStringList DeviceTree::leftovers() const
{
    return installLeftovers(onDevice(root(), corvane::device::installWorkFolder));
}

bool put(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

QByteArray get(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QByteArray contentHash(const QString &path)
{
    QFile f(path);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    return f.open(QIODevice::ReadOnly) && hash.addData(&f) ? hash.result().toHex()
                                                           : QByteArray("unreadable");
}

QMap<QString, QByteArray> fingerprint(const QString &folder)
{
    QMap<QString, QByteArray> result;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        QByteArray print = QByteArray::number(st.st_mode, 8) + ' '
            + QByteArray::number(qint64(st.st_mtim.tv_sec)) + '.'
            + QByteArray::number(qint64(st.st_mtim.tv_nsec));
        if (S_ISLNK(st.st_mode)) {
            print += " -> " + QFile::encodeName(it.fileInfo().symLinkTarget());
        } else if (S_ISREG(st.st_mode)) {
            print += ' ' + QByteArray::number(qint64(st.st_size)) + ' ' + contentHash(path);
        }
        result.insert(QDir(folder).relativeFilePath(path), print);
    }
    return result;
}

QString onDevice(const QString &root, const char *devicePath)
{
    return root + QLatin1String(devicePath);
}

QString logFileOn(const QString &root)
{
    return onDevice(root, corvane::device::stickFolder) + QLatin1Char('/')
        + QLatin1String(corvane::device::logFileName);
}

QString &installerProgram()
{
    static QString program = QStringLiteral(CORVANE_INSTALLER_EXE);
    return program;
}

QString &confirmSeconds()
{
    static QString seconds = QStringLiteral("0");
    return seconds;
}

void startInstaller(QProcess &process, const QString &root, const QStringList &arguments,
                    const QStringList &wrapper, const QString &platform)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CORVANE_DEVICE_ROOT"), root);
    env.insert(QStringLiteral("CORVANE_CONFIRM_SECONDS"), confirmSeconds());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    env.remove(QStringLiteral("DISPLAY"));
    process.setProcessEnvironment(env);
    noteRunOn(root);
    if (wrapper.isEmpty())
        process.start(installerProgram(), arguments);
    else
        process.start(wrapper.first(),
                      wrapper.mid(1) + QStringList{installerProgram()} + arguments);
}

WholeRun::WholeRun(const DeviceTree &device, PasswordPage page)
    : installer(nullptr, device.device())
{
    noteRunOn(device.root());
    corvane::wireParts(view, installer, manager);
    if (page == CancelPasswordPage) {
        QObject::connect(&manager, &InstallerViewManager::notifyShowInputPanel, &view, [this] {
            pageShown = true;
            manager.cancelPassword();
        });
    }
}

void WholeRun::start()
{
    InstallerViewManager::logStartLine();
    manager.setStartLineLogged();
    installer.recoverInterruptedInstallation(false);
    manager.onStartup();
}

QString WholeRun::title() const
{
    return view.form().txtTitle->text();
}

QString WholeRun::question() const
{
    return view.form().txtQuestion->text();
}

QStringList WholeRun::output() const
{
    return view.form().txtOutput->toPlainText().split(QLatin1Char('\n'));
}

WithoutReadOverride::WithoutReadOverride()
{
    static_assert(sizeof(m_saved) == 2 * sizeof(__user_cap_data_struct));
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[2]{};
    if (::syscall(SYS_capget, &header, sets) != 0)
        return;
    std::memcpy(m_saved, sets, sizeof(m_saved));
    sets[0].effective &= ~((1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH));
    m_ok = ::syscall(SYS_capset, &header, sets) == 0;
}

WithoutReadOverride::~WithoutReadOverride()
{
    if (!m_ok)
        return;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[2]{};
    std::memcpy(sets, m_saved, sizeof(m_saved));
    ::syscall(SYS_capset, &header, sets);
}

bool SmallDisk::mount(const QString &folder, const char *size)
{
    m_folder = QFile::encodeName(folder);
    const QByteArray options = QByteArray("size=") + size;
    m_mounted = ::mount("tmpfs", m_folder.constData(), "tmpfs", 0, options.constData()) == 0;
    return m_mounted;
}

SmallDisk::~SmallDisk()
{
    if (m_mounted)
        ::umount2(m_folder.constData(), MNT_DETACH);
}

int runShell(const QString &folder, const QString &script, const QStringList &environment)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &pair : environment)
        env.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("sh"), {QStringLiteral("-ec"), script});
    return process.waitForFinished(30000) ? process.exitCode() : -1;
}

bool SigningKeys::make(const QStringList &names)
{
    if (QStandardPaths::findExecutable(QStringLiteral("minisign")).isEmpty() || !m_dir.isValid())
        return false;
    for (const QString &name : names) {
        if (runShell(m_dir.path(),
                     QStringLiteral("minisign -G -W -p '%1.pub' -s '%1.key' >/dev/null").arg(name))
            != 0)
            return false;
    }
    return true;
}

QString SigningKeys::publicKey(const QString &name) const
{
    return m_dir.filePath(name + QStringLiteral(".pub"));
}

bool SigningKeys::sign(const QString &folder, const QString &name) const
{
    return runShell(folder,
                    QStringLiteral("minisign -S -s '%1/%2.key' -m update.manifest "
                                   "-t 'Corvane 2.4.1' >/dev/null")
                        .arg(m_dir.path(), name))
        == 0;
}

bool writeUpdateList(const QString &folder, const QByteArray &version)
{
    corvane::update::Manifest manifest;
    QString error;
    if (!corvane::update::buildManifest(folder, version, &manifest, &error)) {
        qWarning() << error;
        return false;
    }
    QFile file(folder + QStringLiteral("/update.manifest"));
    return file.open(QIODevice::WriteOnly)
        && file.write(corvane::update::writeManifest(manifest)) > 0;
}

int openDescriptorCount()
{
    // The listing's own descriptor is counted in every listing alike.
    const QDir fds(QStringLiteral("/proc/self/fd"));
    return fds.exists()
        ? int(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size())
        : -1;
}
