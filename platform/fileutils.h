#pragma once
// The file calls of an update run: existence checks and folder removal that never
// follows a link. Installing an update is the update engine's work (update/), not
// this class's.

#include <QString>

class FileUtils
{
public:
    FileUtils() = default;
    ~FileUtils() = default;

    // By value, as the callers' shape is: a copy of a QString costs a reference count.
    bool dirExists(QString path) const;  // NOLINT(performance-unnecessary-value-param)
    bool fileExists(QString path) const; // NOLINT(performance-unnecessary-value-param)

    // Removes the folder with everything below it. A folder that does not exist is
    // already removed: that is a success. Symbolic links are removed, never followed,
    // also one that stands in place of the folder itself.
    bool removeDir(const QString &path) const;
};
