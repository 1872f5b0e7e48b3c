// corvane-update-manifest: writes the signed list of an update, FOLDER/update.manifest,
// for the folder that holds the update's System and Corvane folders. The maker then
// signs it with minisign (minisign -S -s KEY -m FOLDER/update.manifest) and copies the
// folder, list and signature included, to the device.

#include "devicefiles.h"
#include "manifest.h"
#include "posixfs.h"

#include <QByteArray>
#include <QSaveFile>
#include <QString>

#include <cstdio>
#include <cstring>

namespace {

int usage(const char *program)
{
    std::fprintf(stderr,
                 "usage: %s FOLDER --version VERSION\n"
                 "Writes FOLDER/update.manifest, the list of every folder, file and link of\n"
                 "FOLDER/System and FOLDER/Corvane, for signing with minisign.\n",
                 program);
    return 2;
}

QString fileName(const char *devicePath)
{
    const QString path = QString::fromLatin1(devicePath);
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

int failed(const QString &what)
{
    std::fprintf(stderr, "corvane-update-manifest: %s\n", what.toLocal8Bit().constData());
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    using namespace corvane;
    QString folder;
    QByteArray version;
    bool haveVersion = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0 && i + 1 < argc && !haveVersion) {
            version = argv[++i];
            haveVersion = true;
        } else if (argv[i][0] != '-' && folder.isEmpty()) {
            folder = fs::dec(argv[i]);
        } else {
            return usage(argv[0]);
        }
    }
    if (folder.isEmpty() || !haveVersion)
        return usage(argv[0]);
    if (!update::isValidVersion(version))
        return failed(QStringLiteral("\"%1\" is not a version (numbers such as 2.4.1, maybe "
                                     "with a suffix such as -rc2)")
                          .arg(QString::fromLocal8Bit(version)));

    update::Manifest manifest;
    QString error;
    if (!update::buildManifest(folder, version, &manifest, &error))
        return failed(error);
    const QByteArray text = update::writeManifest(manifest);
    // What the device will parse must read back as what was found.
    update::Manifest reread;
    update::ManifestError readError;
    if (!update::parseManifest(text, &reread, &readError) || reread != manifest)
        return failed(QStringLiteral("the list does not read back: ") + readError.message);

    const QString path = folder + QLatin1Char('/') + fileName(device::updateManifest);
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit())
        return failed(QStringLiteral("writing %1 failed: %2").arg(path, out.errorString()));
    std::printf("%s: %zu entries, version %s\n", path.toLocal8Bit().constData(),
                manifest.entries.size(), version.constData());
    const QString signature = folder + QLatin1Char('/') + fileName(device::updateManifestSignature);
    if (fs::lexists(fs::enc(signature)))
        std::printf("%s belongs to the list before: sign again.\n",
                    signature.toLocal8Bit().constData());
    return 0;
}
