#include "installerviewmanager.h"

#include "aes_encryption.h"
#include "dbconnection.h"
#include "devicepath.h"
#include "fileinstaller.h"
#include "installerview.h"
#include "passwordform.h"
#include "usermenuitemrepository.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QLineEdit>
#include <QSqlQuery>
#include <QSqlRecord>

using corvane::devicePath;

namespace {
const QString kAdminDb = QStringLiteral("/FlashDisk/Corvane/data/Administrator_setting.db");
const QString kAdminConnection = QStringLiteral("Administrator_setting");
const QString kSystemDb = QStringLiteral("/FlashDisk/Vane_System/system.db");
const QString kSystemConnection = QStringLiteral("system");
const QString kDriver = QStringLiteral("QSQLITE");
constexpr int kAdminPasswordId = 3;
constexpr int kMaxPasswordLength = 50;
// Fixed multiplier of the service code; the service tools use the same.
constexpr int kServiceCodeMultiplier = 48271;
const QString kTitle = QStringLiteral("Corvane Installer");

// Whether SQLite can read the database at all (its schema), whatever tables it holds.
bool isReadable(IDBConnection *connection, const QString &path, const QString &name)
{
    bool readable = false;
    {
        QSqlDatabase db = connection->getDatabase(path, name);
        QSqlQuery query(db);
        readable = db.isOpen() && query.exec(QStringLiteral("select count(*) from sqlite_master"))
            && query.next();
    }
    connection->closeDatabase(name);
    return readable;
}
}

InstallerViewManager::InstallerViewManager(QObject *parent, InstallerView *view_,
                                           FileInstaller *installer_)
    : QObject(parent), view(view_), installer(installer_)
{
}

InstallerViewManager::~InstallerViewManager() = default;

void InstallerViewManager::onStartup()
{
    qDebug() << "Installer started at " << QDateTime::currentDateTime().toUTC();
    WireViewManager();
    HandleEvents(StartupEvent);
}

void InstallerViewManager::WireViewManager()
{
    connect(installer, &FileInstaller::NotifyWriteLine, this,
            &InstallerViewManager::onOutputWriteLine);
    connect(installer, &FileInstaller::notifyProgress, this, &InstallerViewManager::onProgress);
}

void InstallerViewManager::onButton1Clicked()
{
    HandleEvents(Button1Event);
}

void InstallerViewManager::onButton2Clicked()
{
    HandleEvents(Button2Event);
}

void InstallerViewManager::onOutputWriteLine(QString text)
{
    view->appendOutput(text);
}

void InstallerViewManager::onProgress(qint64 bytesDone, qint64 bytesTotal)
{
    view->setProgress(bytesDone, bytesTotal);
}

void InstallerViewManager::onStickRemoved()
{
    HandleEvents(StickRemovedEvent);
}

void InstallerViewManager::HandleEvents(int event)
{
    if (state == WaitPassword) {
        if (!requestPassword()) {
            qDebug() << "HandleEvents: WaitPassword: Cancelled.";
            view->showFullScreen();
            state = WaitStickRemoval;
            showCancelled();
            finishRun();
            return;
        }
        qDebug() << "HandleEvents: WaitPassword: Ok.";
        view->showFullScreen();
        state = InitialState;
    }

    if (state == InitialState) {
        if (!installer->isUpdateAvailable()) {
            qDebug() << "HandleEvents: InitialState: Nothing done.";
            state = WaitStickRemoval;
            showNothingDone();
        } else {
            showInstallVersion();
            if (installer->installUpdate()) {
                qDebug() << "HandleEvents: InitialState: Successful.";
                state = WaitStickRemoval;
                showSuccess();
            } else {
                qDebug() << "HandleEvents: InitialState: Failed.";
                state = WaitStickRemoval;
                showFailure();
            }
        }
        finishRun();
        return;
    }

    if (state == WaitStickRemoval && event == StickRemovedEvent)
        startApplicationAndQuit();
}

bool InstallerViewManager::requestPassword()
{
    m_adminPassword = readAdminPassword();
    m_serviceCode = readServiceCode();
    if (m_adminPassword.isEmpty() && !m_passwordStored)
        return true;

    qDebug() << "Enter Password...";
    QWidget page;
    Ui_MainForm form;
    m_passwordEdit = buildPasswordForm(&page, &form, kMaxPasswordLength);
    connect(m_passwordEdit.data(), &QLineEdit::editingFinished, this,
            &InstallerViewManager::onEditingFinished);
    page.showFullScreen();
    emit notifyShowInputPanel();

    // Sleeps until something happens: the page waits without using the processor.
    while (!passwordAccepted && !passwordCancelled)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);

    page.close();
    m_passwordEdit = nullptr;
    return !passwordCancelled;
}

QString InstallerViewManager::readAdminPassword()
{
    QString result;
    if (!fileUtils.fileExists(devicePath(kAdminDb))) {
        qDebug() << "Admin-DB not available.";
        return result;
    }
    adminDbConnection = new DBConnection(this, kDriver, kAdminConnection);
    itemRepository = new UserMenuItemRepository(this, adminDbConnection);
    const QVariant value = itemRepository->loadValue(kAdminPasswordId);
    if (!value.isValid() && !isReadable(adminDbConnection, devicePath(kAdminDb), kAdminConnection)) {
        // Locked, damaged or no database at all: a password may well be stored in it, so
        // the page is still shown, and only the service code opens it.
        qDebug() << "Admin-DB not readable.";
        m_passwordStored = true;
        return result;
    }
    const QString stored = value.toString();
    if (!stored.isEmpty()) {
        m_passwordStored = true;
        AES_Encryption encryption;
        bool ok = false;
        result = encryption.Decrypt(stored, &ok);
        if (!ok) {
            // Still asked for: only the service code can open the installation then.
            qDebug() << "Stored administrator password could not be decrypted.";
            result.clear();
        }
    }
    return result;
}

QString InstallerViewManager::readServiceCode()
{
    QString result;
    const QString path = devicePath(kSystemDb);
    if (!fileUtils.fileExists(path)) {
        qDebug() << "System-DB not available.";
        return result;
    }
    systemDbConnection = new DBConnection(this, kDriver, kSystemConnection);
    {
        // Every handle ends before the connection is removed below.
        QSqlDatabase db = systemDbConnection->getDatabase(path, kSystemConnection);
        if (!db.isOpen()) {
            qDebug() << "System-DB not open.";
        } else {
            QSqlQuery query(db);
            if (!query.exec(QStringLiteral("select number from sensor order by nr desc limit 1"))) {
                qDebug() << "System-DB query not executable.";
            } else if (!query.next()) {
                qDebug() << "System-DB record not retrievable.";
            } else {
                const QString serial = query.record().value(QStringLiteral("number")).toString();
                if (!query.isValid())
                    qDebug() << "System-DB record not valid.";
                else
                    result = makeServiceCode(serial);
            }
        }
    }
    systemDbConnection->closeDatabase(kSystemConnection);
    return result;
}

QString InstallerViewManager::makeServiceCode(const QString &serialNumber)
{
    const QString serial = serialNumber.isEmpty() ? QString(7, QLatin1Char('0')) : serialNumber;
    // A part that is no number counts as 0.
    const int first = serial.left(4).toInt();
    const int last = serial.right(3).toInt();
    // Four digits and three digits (with signs) keep the product far inside 32 bits.
    const int product = (first - last) * kServiceCodeMultiplier;
    const int code = (product % 65536) % 10000;
    return QStringLiteral("%1").arg(code, 4, 10, QLatin1Char('0'));
}

QString InstallerViewManager::enteredPassword() const
{
    return m_passwordEdit ? m_passwordEdit->text() : QString();
}

bool InstallerViewManager::isAcceptedEntry(const QString &entry) const
{
    if (!m_adminPassword.isEmpty() && entry == m_adminPassword)
        return true;
    return !m_serviceCode.isEmpty() && entry == m_serviceCode;
}

void InstallerViewManager::onEditingFinished()
{
    if (!passwordCancelled && !passwordAccepted)
        emit notifyKeyboardEnter();
}

void InstallerViewManager::showInstallVersion()
{
    view->setTitle(kTitle);
    view->setButtonsVisible(false);
    view->clearOutput();
    view->setQuestion(QStringLiteral("Install version %1").arg(installer->updateVersion(), 0,
                                                               QLatin1Char(' ')));
}

void InstallerViewManager::showResult(const QString &outputLine, const QString &question)
{
    view->setTitle(kTitle);
    view->setButtonsVisible(false);
    view->appendOutput(outputLine);
    view->setQuestion(question);
}

void InstallerViewManager::showSuccess()
{
    showResult(QStringLiteral("Done"),
               QStringLiteral("Update was successful. Remove stick to start Corvane."));
}

void InstallerViewManager::showFailure()
{
    showResult(QStringLiteral("Failed."),
               QStringLiteral("Update was not successful. Remove stick to start Corvane."));
}

void InstallerViewManager::showNothingDone()
{
    showResult(QStringLiteral("Done"), QStringLiteral("Nothing done. Remove stick to start Corvane."));
}

void InstallerViewManager::showCancelled()
{
    showResult(QStringLiteral("Cancelled"),
               QStringLiteral("Nothing done. Remove stick to start Corvane."));
}

void InstallerViewManager::finishRun()
{
    installer->removeInstallerDirectory();
    installer->startStickWatch();
}

void InstallerViewManager::startApplicationAndQuit()
{
    installer->startApplication();
    QCoreApplication::exit(0);
}
