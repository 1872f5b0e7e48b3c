#include "leftovers.h"

#include "posixfs.h"
#include "treeremoval.h"

#include <QDebug>

#include <cerrno>

#include <unistd.h>

using namespace corvane::fs;

namespace {
constexpr char kLog[] = "Update:";
}

bool removeLeftovers(const WorkFolder &w, QStringList *failures)
{
    QStringList collected;
    bool ok = corvane::removeFolderTree(w.staging, &collected);
    ok = corvane::removeFolderTree(w.old, &collected) && ok;
    for (const QByteArray &file : {w.journalNew, w.rollback}) {
        if (::unlink(file.constData()) != 0 && errno != ENOENT) {
            logFailure(kLog, "removal of", file, errno, &collected);
            ok = false;
        }
    }
    if (failures) {
        *failures += collected;
    } else {
        for (const QString &failure : std::as_const(collected))
            qDebug().noquote() << kLog << failure;
    }
    return ok;
}

bool hasLeftovers(const WorkFolder &w)
{
    return lexists(w.staging) || lexists(w.old) || lexists(w.journalNew) || lexists(w.rollback);
}

BackgroundRemoval::~BackgroundRemoval()
{
    wait();
}

void BackgroundRemoval::start(const WorkFolder &w)
{
    wait();
    m_thread = std::thread([this, w] { removeLeftovers(w, &m_failures); });
}

void BackgroundRemoval::wait()
{
    if (!m_thread.joinable())
        return;
    m_thread.join();
    for (const QString &failure : std::as_const(m_failures))
        qDebug().noquote() << kLog << failure;
    m_failures.clear();
}
