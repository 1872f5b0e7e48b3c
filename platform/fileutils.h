#pragma once
// File operations of an update run. Every file that replaces an installed one is
// written power-cut safe: a temporary file in the target folder, its content flushed
// to disk, then a rename over the old name and a flush of the folder. After a power
// cut every installed file is either whole old or whole new.

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

    // Copies the tree below source into target, replacing existing files atomically.
    // Missing target folders are created, permissions are kept and symbolic links are
    // copied as links. Names listed in excludes (file or folder names, any depth) are
    // skipped; an empty list copies everything. progress, when set, is called after
    // every file and at least once at the start and at the end.
    bool CopyRecursivelyOverwrite(const QString &source, const QString &target,
                                  const QStringList &excludes,
                                  const ProgressCallback &progress = {}) const;

    // Size of the regular files below a folder, as CopyRecursivelyOverwrite counts them.
    static CopyProgress measureTree(const QString &source, const QStringList &excludes = {});

    // Prefix of the temporary files a copy writes; what a power cut leaves behind with
    // this prefix is removed by the next copy into the same folder.
    static QString temporaryPrefix();
};
