#include "installerviewmanager.h"

#include "aes_encryption.h"
#include "beneath.h"
#include "dbconnection.h"
#include "devicefiles.h"
#include "fileinstaller.h"
#include "installerview.h"
#include "passwordpage.h"
#include "posixfs.h"
#include "usermenuitemrepository.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QEvent>
#include <QLineEdit>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTimer>

#include <utility>

#include <fcntl.h>
#include <sys/stat.h>

namespace {
const QString kAdminConnection = QLatin1String(corvane::device::adminConnection);
const QString kSystemConnection = QLatin1String(corvane::device::systemConnection);
const QString kDriver = QLatin1String(corvane::device::sqlDriver);
constexpr char kFlashDisk[] = "/FlashDisk";
constexpr int kAdminPasswordId = 3;
constexpr int kMaxPasswordLength = 50;
// Fixed multiplier of the service code; the service tools use the same.
constexpr int kServiceCodeMultiplier = 48271;
const QString kTitle = QStringLiteral("Corvane Installer");
constexpr int kCountdownTickMs = 1000;
// How often the page looks whether the stick is still there.
constexpr int kStickPollMs = 100;
// A database of the password step, opened once and checked, for SQLite to open as that
// descriptor. Only root's files in root's folders are read: a database others could make
// or change would hand them the service code or take the password away. SQLite opens the
// file again by its name (and its journal beside it), so every folder from the flash disk
// down must be closed to others, not only the file: then the name still leads to what was
// checked. The flash disk itself may be writable by others when it is sticky, as root's
// folders in it can then not be renamed by them.
struct CheckedDatabase
{
    enum State { Missing, Refused, Open } state = Missing;
    corvane::fs::UniqueFd fd;
    QString problem; // Refused: why

    // The name SQLite opens: the descriptor, with read and write allowed so that it can
    // roll back the journal a power cut left (nothing is created, nothing else written).
    QString sqliteName() const
    {
        return QStringLiteral("file:/proc/self/fd/%1?mode=rw").arg(fd.get());
    }
};

// Opened below the flash disk folder as the work folder holds it: opened once and checked
// there (one that others could rename entries out of ends the program before any page).
CheckedDatabase openDatabase(const WorkFolder &work, const char *devicePath)
{
    using namespace corvane::fs;
    CheckedDatabase db;
    const QByteArray &flash = work.base;
    if (work.baseFd() < 0) {
        db.state = CheckedDatabase::Refused;
        db.problem = QStringLiteral("the flash disk folder %1 cannot be used")
                         .arg(corvane::quotedForLog(flash));
        return db;
    }
    const QByteArray relative = QByteArray(devicePath).mid(qsizetype(sizeof kFlashDisk));
    db.fd.reset(
        openOwnedBeneath(work.baseFd(), relative, O_RDONLY | O_NONBLOCK, flash, &db.problem));
    const QByteArray file = join(flash, relative);
    if (!db.fd.isValid()) {
        const int error = errno;
        // Missing below folders nobody else can change: really not there.
        if (error == ENOENT)
            return db;
        db.state = CheckedDatabase::Refused;
        if (db.problem.isEmpty())
            db.problem = error == ELOOP
                ? QStringLiteral("%1 is reached through a link").arg(corvane::quotedForLog(file))
                : failureText("opening of", file, error);
        return db;
    }
    struct stat st;
    if (::fstat(db.fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        db.state = CheckedDatabase::Refused;
        db.problem = QStringLiteral("%1 is not a regular file").arg(corvane::quotedForLog(file));
        db.fd.reset();
        return db;
    }
    db.state = CheckedDatabase::Open;
    return db;
}

} // namespace

InstallerViewManager::InstallerViewManager(QObject *parent, InstallerView *view_,
                                           FileInstaller *installer_)
    : QObject(parent)
    , view(view_)
    , installer(installer_)
    , m_entryCount(installer_->workFolder())
{
    m_countdown.setInterval(kCountdownTickMs);
    // Never early: each tick takes a whole second off the text.
    m_countdown.setTimerType(Qt::PreciseTimer);
    connect(&m_countdown, &QTimer::timeout, this, &InstallerViewManager::onCountdownTick);
}

InstallerViewManager::~InstallerViewManager() = default;

void InstallerViewManager::logStartLine()
{
    qDebug() << "Installer started at " << QDateTime::currentDateTime().toUTC();
}

void InstallerViewManager::onStartup()
{
    if (!m_startLineLogged)
        logStartLine();
    m_startLineLogged = true;
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

void InstallerViewManager::onOutputWriteLine(
    QString text) // NOLINT(performance-unnecessary-value-param)
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
    // The work folder (opened at start by the program; here for whoever else runs the step)
    // holds the count of wrong entries, and the flash disk folder the databases are read
    // below. Without it, no entry is compared.
    installer->openWorkFolder();
    m_adminPassword = readAdminPassword();
    m_serviceCode = readServiceCode();
    if (m_adminPassword.isEmpty() && !m_passwordUnknown)
        return true;

    qDebug() << "Enter Password...";
    m_refusals = m_entryCount.load();
    PasswordPage page(kMaxPasswordLength);
    m_passwordEdit = page.lineEdit();
    connect(m_passwordEdit.data(), &QLineEdit::editingFinished, this,
            &InstallerViewManager::onEditingFinished);
    // A close request of the window system on the page counts as Cancel.
    m_passwordPage = &page;
    page.installEventFilter(this);
    // The page's own Cancel, up while a pause keeps the keyboard away: giving up grants
    // nothing, so no pause withholds it. The count stays, and the next start serves the
    // pause again.
    connect(&page, &PasswordPage::cancelPressed, this, [this] {
        if (passwordAccepted || passwordCancelled)
            return;
        cancelPassword();
        emit notifyHideInputPanel();
    });
    // A stick pulled meanwhile counts as Cancel: nobody is left to tap it, and the
    // terminal must not wait for someone who has gone.
    // (Watched here: the installer's own watch is for the result screen, and its signal ends
    // the run.)
    QTimer stickWatch;
    const QString stick = installer->deviceRoot().path(corvane::device::stickFolder);
    connect(&stickWatch, &QTimer::timeout, this, [this, &stick] {
        if (passwordAccepted || passwordCancelled || fileUtils.dirExists(stick))
            return;
        qDebug() << "Stick removed while the password page is shown: cancelled.";
        cancelPassword();
        emit notifyHideInputPanel();
    });
    stickWatch.start(kStickPollMs);
    page.showFullScreen();
    // A pause that a restart, a kill or a power cut cut short is served again, whole. Its
    // rest is not worked out from a stored time: the clock of a device without a clock
    // battery starts at 1970 and jumps at its first time sync, and whoever sets the clock
    // would skip pauses. Serving it whole costs an honest technician at most one pause per
    // start, and never gives anybody a guess sooner.
    if (const int pauseMs = EntryCount::pauseMs(m_refusals); pauseMs > 0) {
        qDebug().noquote() << QStringLiteral(
                                  "Password refused %1 times in a row before this start: entry "
                                  "closed for %2 s.")
                                  .arg(m_refusals)
                                  .arg(pauseMs / 1000);
        startPause(pauseMs);
    }
    emit notifyShowInputPanel();

    // Sleeps until something happens: the page waits without using the processor.
    while (!passwordAccepted && !passwordCancelled)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);

    m_passwordPage = nullptr;
    m_countdown.stop();
    page.close();
    m_passwordEdit = nullptr;
    return !passwordCancelled;
}

bool InstallerViewManager::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Close && watched == m_passwordPage && !passwordAccepted
        && !passwordCancelled) {
        qDebug() << "Password page closed: cancelled.";
        cancelPassword();
        emit notifyHideInputPanel();
    }
    return QObject::eventFilter(watched, event);
}

void InstallerViewManager::setPauseTimer(PauseTimer timer)
{
    m_pauseTimer = std::move(timer);
}

bool InstallerViewManager::checkEntry(const QString &entry)
{
    if (m_entryPaused)
        return false;
    ++m_refusals;
    if (!m_entryCount.store(m_refusals)) {
        // Compared without its count on disk, a guess could be taken back by pulling the
        // power; this entry stays unseen and counts in memory.
        qDebug() << "Wrong-entry count not stored: the entry was not checked.";
    } else if (isAcceptedEntry(entry)) {
        m_refusals = 0;
        // Should this fail (logged), the next start only serves a pause too many.
        (void)m_entryCount.store(0);
        return true;
    }
    const int pauseMs = EntryCount::pauseMs(m_refusals);
    if (pauseMs == 0 || !m_passwordEdit)
        return false;
    // Trying every service code takes days instead of minutes; a technician who
    // mistypes a few times does not notice.
    qDebug().noquote() << QStringLiteral(
                              "Password refused %1 times in a row: entry closed for %2 s.")
                              .arg(m_refusals)
                              .arg(pauseMs / 1000);
    startPause(pauseMs);
    return false;
}

void InstallerViewManager::startPause(int pauseMs)
{
    if (!m_passwordEdit || !m_passwordPage)
        return;
    // Paused before the field is disabled: the focus it loses then is no entry.
    m_entryPaused = true;
    m_passwordEdit->setEnabled(false);
    m_pauseSecondsLeft = (pauseMs + kCountdownTickMs - 1) / kCountdownTickMs;
    m_passwordPage->showRetryIn(m_pauseSecondsLeft);
    m_countdown.start();
    emit notifyHideInputPanel();
    const auto reopen = [this] { endPause(); };
    if (m_pauseTimer)
        m_pauseTimer(pauseMs, reopen);
    else
        QTimer::singleShot(pauseMs, this, reopen);
}

void InstallerViewManager::onCountdownTick()
{
    // The pause's own timer ends it; the text never reaches 0 s before that.
    if (m_pauseSecondsLeft > 1)
        --m_pauseSecondsLeft;
    if (m_passwordPage)
        m_passwordPage->showRetryIn(m_pauseSecondsLeft);
}

void InstallerViewManager::endPause()
{
    m_entryPaused = false;
    m_countdown.stop();
    if (m_passwordPage)
        m_passwordPage->showRetryIn(0);
    if (!m_passwordEdit || passwordAccepted || passwordCancelled)
        return;
    m_passwordEdit->setEnabled(true);
    m_passwordEdit->clear();
    m_passwordEdit->setFocus(Qt::OtherFocusReason);
    emit notifyResumeInputPanel();
}

QString InstallerViewManager::readAdminPassword()
{
    QString result;
    const CheckedDatabase checked
        = openDatabase(installer->workFolder(), corvane::device::adminDatabase);
    if (checked.state == CheckedDatabase::Missing) {
        qDebug() << "Admin-DB not available.";
        return result;
    }
    if (checked.state == CheckedDatabase::Refused) {
        // It may hold a password all the same: as one that cannot be read.
        qDebug().noquote() << QStringLiteral("Admin-DB not trusted (%1): read as not readable.")
                                  .arg(checked.problem);
        m_passwordUnknown = true;
        return result;
    }
    adminDbConnection = new DBConnection(this, kDriver, kAdminConnection);
    itemRepository = new UserMenuItemRepository(this, adminDbConnection, checked.sqliteName());
    // Decided from this one read. A database that could not be read (locked past the
    // busy wait, damaged, not a database) may well hold a password: the page is shown,
    // and only the service code opens it. A readable one without the item holds none.
    UserItemReader::Outcome outcome = UserItemReader::Outcome::Failed;
    const QVariant value = itemRepository->loadValue(kAdminPasswordId, &outcome);
    if (outcome == UserItemReader::Outcome::Failed) {
        qDebug() << "Admin-DB not readable.";
        m_passwordUnknown = true;
        return result;
    }
    const QString stored = value.toString();
    if (!stored.isEmpty()) {
        AES_Encryption encryption;
        bool ok = false;
        result = encryption.Decrypt(stored, &ok);
        if (!ok) {
            // Still asked for: only the service code can open the installation then.
            qDebug() << "Stored administrator password could not be decrypted.";
            result.clear();
            m_passwordUnknown = true;
        }
        // A value that decrypts to the empty password stores no password: no page.
    }
    return result;
}

QString InstallerViewManager::readServiceCode()
{
    QString result;
    const CheckedDatabase checked
        = openDatabase(installer->workFolder(), corvane::device::systemDatabase);
    if (checked.state == CheckedDatabase::Missing) {
        qDebug() << "System-DB not available.";
        return result;
    }
    if (checked.state == CheckedDatabase::Refused) {
        qDebug().noquote() << QStringLiteral("System-DB not trusted (%1): no service code from it.")
                                  .arg(checked.problem);
        return result;
    }
    const QString path = checked.sqliteName();
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
    // The field losing its focus when it is shut for a pause is no entry.
    if (!passwordCancelled && !passwordAccepted && !m_entryPaused)
        emit notifyKeyboardEnter();
}

void InstallerViewManager::showInstallVersion()
{
    view->setTitle(kTitle);
    view->setButtonsVisible(false);
    view->clearOutput();
    showRecoveryTrouble();
    view->setQuestion(
        QStringLiteral("Install version %1").arg(installer->updateVersion(), 0, QLatin1Char(' ')));
}

void InstallerViewManager::showResult(const QString &outputLine, const QString &question)
{
    view->setTitle(kTitle);
    view->setButtonsVisible(false);
    showRecoveryTrouble();
    view->appendOutput(outputLine);
    view->setQuestion(question);
}

// What the start found stands first in the pane, once: an update undone since the last
// stick, what is wrong with the last installation. Whatever this run does, the technician
// learns of it.
void InstallerViewManager::showRecoveryTrouble()
{
    if (m_recoveryTroubleShown)
        return;
    m_recoveryTroubleShown = true;
    for (const QString &line : installer->startNotices())
        view->appendOutput(line);
}

void InstallerViewManager::showSuccess()
{
    showResult(QStringLiteral("Done"),
               QStringLiteral("Update was successful. Remove stick to start Corvane."));
}

void InstallerViewManager::showFailure()
{
    // The bar goes rather than stay where the failure stopped it: nothing of a failed
    // update is installed (all or nothing), so a bar at 40 % would suggest that part of it
    // went in. (It is never full here, unless the update went in and only the clean-up of
    // the lists failed.)
    view->hideProgress();
    showResult(QStringLiteral("Failed."),
               QStringLiteral("Update was not successful. Remove stick to start Corvane."));
}

void InstallerViewManager::showNothingDone()
{
    showResult(QStringLiteral("Done"),
               QStringLiteral("Nothing done. Remove stick to start Corvane."));
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
