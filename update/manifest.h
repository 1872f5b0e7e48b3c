#pragma once
// The update's signed list ("update.manifest", beside the update's two folders): every
// folder, file and link of "System" and "Corvane" with what it must be. The maker writes
// it with corvane-update-manifest and signs it with minisign; the installer parses the
// bytes whose signature it verified (signature.h) and compares the list with the folders
// before anything is changed.
//
// The text, byte for byte. Every line ends in one LF (no CR, no blank line, no line
// without its LF); fields are separated by one space; only printable ASCII occurs.
// There is exactly one way to write each manifest:
//
//   corvane-update-manifest 1
//   version 2.4.1
//   folder 0755 Corvane
//   file 0755 4 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08 Corvane/Corvane.exe
//   link Corvane/current lib/libcorvane.so.2
//   folder 0755 System
//   file 0644 6 5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03 System/My%20Notes.txt
//
// - Line 1 names the format and its number. Another number is refused: a later format is
//   never half understood.
// - Line 2 is "version " and the update's version (grammar below).
// - Then one line per entry, sorted by the bytes of the path (compared as unsigned), no
//   path twice:
//     folder MODE PATH
//     file MODE SIZE SHA256 PATH
//     link PATH TARGET
//   MODE: four octal digits, the permission bits with set-user-ID, set-group-ID and
//   sticky (at most 7777). SIZE: bytes in decimal, no leading zero. SHA256: 64 lowercase
//   hex digits of the content. A link has neither mode (Linux keeps none) nor size.
// - PATH: relative, components separated by one "/", the first one "Corvane" or
//   "System"; both are listed, as folders. No empty component, ".", "..", and no "/" at
//   either end; a component has at most 255 bytes, a path at most 4095. Every other
//   entry's parent folder is listed as a folder (the sort puts it first).
// - PATH and TARGET are bytes (a name may hold blanks, bytes that are not UTF-8, even a
//   line feed), written one way: A-Z a-z 0-9 - . _ ~ + and "/" as they are, every other
//   byte as "%" and two uppercase hex digits ("My File" is My%20File, "%" is %25). A
//   TARGET is 1 to 4095 bytes without NUL; where it points is not the list's concern.
//
// Versions: 1 to 4 numbers separated by ".", each "0" or a decimal number of at most 9
// digits without leading zero, then optionally "-", 1 to 16 lowercase letters and an
// optional number of the same kind ("7.0", "2.4.1", "2.5.0-rc2", "3.0-beta"). Versions
// compare number by number, a missing one counting as 0 ("2.4" equals "2.4.0"); with
// equal numbers a version with a suffix comes before the one without ("2.5.0-rc2" before
// "2.5.0"), and two suffixes compare by their letters, then by their number (none before
// any: "2.5-rc" before "2.5-rc0").

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>
#include <utility>
#include <vector>

namespace corvane::update {

inline constexpr char manifestFormatName[] = "corvane-update-manifest";
inline constexpr int manifestFormatNumber = 1;
// Larger texts are refused unread: room for about 150,000 entries (about 100 bytes each).
inline constexpr qint64 maxManifestBytes = qint64(16) * 1024 * 1024;

struct ManifestEntry
{
    enum class Type { Folder, File, Link };

    Type type = Type::File;
    QByteArray path;   // relative, the name's bytes
    quint32 mode = 0;  // folders and files: permission bits, at most 07777
    qint64 size = 0;   // files
    QByteArray sha256; // files: the 32 bytes of the digest
    QByteArray target; // links: the target's bytes

    bool operator==(const ManifestEntry &other) const;
    bool operator!=(const ManifestEntry &other) const { return !(*this == other); }
};

struct Manifest
{
    QByteArray version;
    std::vector<ManifestEntry> entries; // in the order of the text

    bool operator==(const Manifest &other) const;
    bool operator!=(const Manifest &other) const { return !(*this == other); }
};

struct ManifestError
{
    int line = 0;    // 1-based; 0 when the text as a whole is wrong
    QString message; // what is wrong, with the line: "line 7: path listed twice"
};

// The manifest of a text, or false with the first fault. Accepts exactly the texts that
// writeManifest produces.
[[nodiscard]] bool parseManifest(const QByteArray &text, Manifest *manifest, ManifestError *error);

// The same text kept as the installer needs it while it installs: the text itself and
// where each entry's line begins, every entry looked up by its path. A fraction of the
// memory of a Manifest.
class ManifestIndex
{
public:
    // The text's entries, or false with the first fault (as parseManifest); the text is
    // kept.
    [[nodiscard]] bool parse(QByteArray text, ManifestError *error);
    const QByteArray &version() const { return m_version; }
    qsizetype size() const { return qsizetype(m_lines.size()); }
    // The entry's number (in the order of the text), or -1 when the path is not listed.
    qsizetype find(const QByteArray &path) const;
    ManifestEntry entry(qsizetype i) const;

private:
    struct Store;
    std::pair<const char *, const char *> line(qsizetype i) const;

    QByteArray m_text;
    QByteArray m_version;
    std::vector<quint32> m_lines;
};

// The canonical text of a manifest that follows the rules above (as parseManifest and
// buildManifest return them); parseManifest(writeManifest(m)) gives m back.
QByteArray writeManifest(const Manifest &manifest);

// The manifest of the update in folder (the folder that holds System and Corvane), read
// with lstat, never following a link. A special file, an entry that cannot be read or
// a file that changes while it is hashed fails it, with error naming the path.
[[nodiscard]] bool buildManifest(const QString &folder, const QByteArray &version,
                                 Manifest *manifest, QString *error);

// One way the update on disk differs from its list.
struct Difference
{
    enum class Kind {
        Missing,    // listed, not on disk
        Extra,      // on disk, not listed
        Type,       // another kind of entry (a special file included)
        Size,       // a file of another size
        Mode,       // other permission bits
        Hash,       // a file with other content
        Target,     // a link that points elsewhere
        Unreadable, // could not be read (error holds errno)
    };

    Kind kind = Kind::Missing;
    QByteArray path; // relative, as in the manifest; empty: the update folder itself
    QString listed;  // what the list says, as text ("0755", "file", a hash)
    QString found;   // what the disk holds
    int error = 0;

    // One line for the log: "Corvane/Corvane.exe": SHA-256 is 1f..., listed 9f...
    QString text() const;
};

enum class Stop { AtFirst, Never };

// Compares the update in folder with a manifest that follows the rules above, in the
// order of its paths. Below a folder that is missing, extra, of another type or
// unreadable nothing more is reported. Files are hashed only where everything else
// matches. Empty when the folder holds exactly what is listed.
std::vector<Difference> compareWithFolder(const Manifest &manifest, const QString &folder,
                                          Stop stop = Stop::AtFirst);

// Whether a text follows the version grammar above.
bool isValidVersion(const QByteArray &version);
// Less than, equal to or greater than 0 as a is older than, equal to or newer than b;
// nothing when either is not a version.
std::optional<int> compareVersions(const QByteArray &a, const QByteArray &b);

} // namespace corvane::update
