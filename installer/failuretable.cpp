#include "failuretable.h"

#include "posixfs.h"

namespace {

using Kind = UpdateTransaction::FailureKind;

const std::vector<FailureRow> kTable = {
    {Kind::NoSpace, "Not enough space on the flash disk",
     "Update failed: not enough space on the flash disk; nothing was installed."},
    {Kind::FolderInTheWay, "A folder is in the way of the update: %1",
     "Update failed: the installed folder %1 stands where the update has a file; nothing was "
     "installed."},
    {Kind::FileInTheWay, "A file is in the way of an update folder: %1",
     "Update failed: the installed file %1 stands where the update has a folder; nothing was "
     "installed."},
    {Kind::SpecialFile, "Not a file, folder or link in the update: %1",
     "Update failed: %1 in the update is neither a file, a folder nor a link; nothing was "
     "installed."},
    {Kind::ReadFailed, "Cannot read %1: %2",
     "Update failed: %1 cannot be read (%2); nothing was installed."},
    // Also after the clean-up, from a switch that failed and was undone: the old lists are
    // gone then, so the installed folders are not quite as before.
    {Kind::WriteFailed, "Cannot write %1: %2",
     "Update failed: %1 cannot be written (%2); nothing was installed."},
    {Kind::Unrecovered, "Not installed: the last installation could not be completed or undone",
     "Update failed: the last installation could not be completed or undone (%1: %2), so this "
     "one was not begun; nothing was installed."},
    {Kind::WorkFolder, "The installer's work folder on the flash disk cannot be used",
     "Update failed: the installer's work folder %1 cannot be used; nothing was installed."},
    {Kind::SwitchStuck,
     "The update stopped half-way and could not be undone (%1: %2). Restart the device to "
     "settle it.",
     "Update failed: the switch to the new files could be neither finished nor undone (%1: %2); "
     "the installed folders hold old and new files until the next start settles them."},
    {Kind::LeftoversStay, "Not installed: files left by the last installation cannot be removed",
     "Update failed: files left by the last installation in %1 cannot be removed (each one is "
     "logged above); nothing was installed."},
    // Refusals come before the clean-up of the lists and before the switch (what was staged
    // is removed). The update's application folder still goes afterwards, as after every
    // run: the installed folders are what is untouched.
    {Kind::NotSigned, "The update is not signed by a trusted key",
     "Update refused: it is not signed by a trusted key (%2); the installed folders were not "
     "changed."},
    {Kind::NotAsListed, "%1 does not match the signed list",
     "Update refused: %1 does not match the signed list (%2); the installed folders were not "
     "changed."},
    {Kind::Older, "The update is older than the installed version",
     "Update refused: it is older than the installed version (%2); the installed folders were "
     "not changed."},
    {Kind::KeysUnusable, "The trusted keys of this device cannot be used",
     "Update refused: the device's trusted keys cannot be used (%2); no update is installed "
     "until they are mended; the installed folders were not changed."},
    {Kind::VersionRecordUnusable,
     "The record of the installed version is damaged or cannot be read",
     "Update refused: the record of the installed version %1 is damaged or cannot be read "
     "(%2); no signed update is installed until it is mended or removed; the installed "
     "folders were not changed."},
    {Kind::NotAsUnsignedList, "%1 does not match the update's unsigned list",
     "Update refused: %1 does not match the update's own list, which is not signed (%2): the "
     "copy on the flash disk differs from what its maker listed; the installed folders were "
     "not changed."},
    {Kind::ListUnusable, "The update's list %1 is damaged or cannot be read",
     "Update refused: its list %1 is damaged or cannot be read (%2); the installed folders "
     "were not changed."},
    {Kind::Pending, "Not installed: the last update is not yet confirmed",
     "Update refused: the last update (%2) is not yet confirmed; it is once the application has "
     "run for the confirmation window, or by corvane-installer --confirm. The installed folders "
     "were not changed."},
    {RunTrouble::CleanUp, "Old list or backup files could not all be removed",
     "Clean-up failed: old list or backup files could not all be removed (each one is logged "
     "above)."},
    {RunTrouble::OldFilesStay,
     "The replaced files could not all be removed; the next start tries again",
     "Update: the replaced files could not all be removed (each one is logged above); the next "
     "start tries again."},
    {RunTrouble::LastInstallationUnsettled,
     "The last installation could not be completed or undone: %1: %2",
     "Recovery: the last installation could not be completed or undone: %1: %2. The installed "
     "folders may hold old and new files; no update is installed until it is settled."},
    {RunTrouble::LastInstallationLeftovers, "Files left by the last installation cannot be removed",
     "Recovery: files left by the last installation in %1 cannot be removed (each one is logged "
     "above); the installed folders are whole, but no update is installed until they are gone."},
};

const FailureRow *rowOf(const FailureReason &reason)
{
    for (const FailureRow &row : kTable) {
        if (row.reason == reason)
            return &row;
    }
    return nullptr;
}

// The text with %1 and %2 put in, in one pass: a path may hold "%2" itself.
QString filledIn(const char *text, const UpdateTransaction::Failure &failure)
{
    const QString why = !failure.detail.isEmpty() ? failure.detail
        : failure.error != 0                      ? corvane::fs::errorText(failure.error)
                                                  : QStringLiteral("no reason given");
    const QString in = QString::fromUtf8(text);
    QString out;
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == QLatin1Char('%') && i + 1 < in.size()
            && (in[i + 1] == QLatin1Char('1') || in[i + 1] == QLatin1Char('2'))) {
            out += in[i + 1] == QLatin1Char('1') ? failure.path : why;
            ++i;
        } else {
            out += in[i];
        }
    }
    return out;
}

// A reason without a row still says something, and which reason it is.
QString unlisted(const FailureReason &reason)
{
    return QStringLiteral("Installation failed (reason %1.%2)")
        .arg(reason.index())
        .arg(std::visit([](auto value) { return int(value); }, reason));
}

} // namespace

const std::vector<FailureRow> &failureTable()
{
    return kTable;
}

QString failureScreenLine(const FailureReason &reason, const UpdateTransaction::Failure &failure)
{
    const FailureRow *row = rowOf(reason);
    return row ? filledIn(row->screen, failure) : unlisted(reason);
}

QString failureLogLine(const FailureReason &reason, const UpdateTransaction::Failure &failure)
{
    const FailureRow *row = rowOf(reason);
    return row ? filledIn(row->log, failure) : unlisted(reason);
}
