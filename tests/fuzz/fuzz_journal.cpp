// libFuzzer target for the journal parser: whatever bytes lie in the journal's place,
// it answers with a fault or with entries that stay where the installer puts them, and a
// journal it accepts is written back byte for byte. Each input is read as it is and,
// so that the entry lines are reached past the checksum, as the entry lines of a
// journal whose count and checksum fit them.

#include "journal.h"

#include <QCryptographicHash>

#include <cstddef>
#include <cstdint>

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

bool below(const QByteArray &path, const QByteArray &folder)
{
    const QByteArray inside = '/' + path + '/';
    return path.startsWith(folder + '/') && !inside.contains("/../") && !inside.contains("/./")
        && !inside.contains("//");
}

void parse(const QByteArray &text)
{
    static const QByteArray work = ".corvane-install";
    static const QList<QByteArray> targets = {"System", "Corvane"};
    std::vector<SwitchEntry> entries;
    const JournalFault fault = parseJournal(text, work, targets, &entries);
    if (fault != JournalFault::None) {
        check(entries.empty());
        return;
    }
    for (const SwitchEntry &e : entries) {
        check(e.kind == SwitchEntry::Kind::Times || below(e.staged, work + "/staging"));
        check(e.old.isEmpty() || below(e.old, work + "/old"));
        check(e.final == "System" || e.final == "Corvane" || below(e.final, "System")
              || below(e.final, "Corvane"));
    }
    // The installer writes the second format only; an accepted one comes back as it was.
    if (text.startsWith("corvane-update-journal 2\n"))
        check(journalText(entries) == text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    parse(input);
    QByteArray body = input;
    if (!body.isEmpty() && !body.endsWith('\n'))
        body += '\n';
    parse("corvane-update-journal 1\n" + QByteArray::number(body.count('\n')) + '\n' + body + "end "
          + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex() + '\n');
    return 0;
}
