#pragma once
// File operations of an update run: existence checks, folder removal that never
// follows a link, and a copy that replaces a whole tree power-cut safe (see
// UpdateTransaction for how).

#include <QString>
#include <QStringList>

#include <functional>

class FileUtils
{
public:
    // What a copy has done so far, of the total counted before it started.
    struct CopyProgress
    {
        qint64 bytesDone = 0;
        qint64 bytesTotal = 0;
        qint64 filesDone = 0;
        qint64 filesTotal = 0;
    };
    using ProgressCallback = std::function<void(const CopyProgress &)>;

    FileUtils() = default;
    ~FileUtils() = default;

    bool dirExists(QString path) const;
    bool fileExists(QString path) const;

    // Removes the folder with everything below it. A folder that does not exist is
    // already removed: that is a success. Symbolic links are removed, never followed,
    // also one that stands in place of the folder itself.
    bool removeDir(const QString &path) const;

    // Copies the tree below source into target as one whole: every file is staged
    // first, and only when all of them are on disk are they switched in; a failure
    // leaves the target as it was. Missing target folders are created, permissions
    // and times are kept and symbolic links are copied as links. Names listed in
    // excludes (file or folder names, any depth) are skipped; an empty list copies
    // everything. progress, when set, is called after every file and at least once
    // at the start and at the end.
    bool CopyRecursivelyOverwrite(const QString &source, const QString &target,
                                  const QStringList &excludes,
                                  const ProgressCallback &progress = {}) const;
};
