// libFuzzer target for the manifest parser: every text it accepts must be the one text
// the writer makes of the result, and every refusal must name a line of the text. The
// installer's index must take and refuse the same texts, and find every entry. The
// same bytes are tried as a version against itself and a fixed one.

#include "manifest.h"

#include <cstddef>
#include <cstdint>

using namespace corvane::update;

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    Manifest manifest;
    ManifestError error;
    ManifestIndex index;
    ManifestError indexError;
    const bool indexed = index.parse(text, &indexError);
    if (parseManifest(text, &manifest, &error)) {
        check(writeManifest(manifest) == text);
        check(compareVersions(manifest.version, manifest.version) == 0);
        check(indexed && index.size() == qsizetype(manifest.entries.size()));
        for (qsizetype i = 0; indexed && i < index.size(); ++i)
            check(index.entry(i) == manifest.entries[size_t(i)]
                  && index.find(manifest.entries[size_t(i)].path) == i);
    } else {
        check(!indexed && indexError.message == error.message);
        check(!error.message.isEmpty());
        check(error.line >= 0 && error.line <= text.count('\n') + 1);
    }

    const std::optional<int> forward = compareVersions(text, "2.4.1-rc2");
    const std::optional<int> backward = compareVersions("2.4.1-rc2", text);
    check(forward.has_value() == isValidVersion(text)
          && forward.has_value() == backward.has_value());
    if (forward) {
        check(*forward == -*backward);
        check(compareVersions(text, text) == 0);
    }
    return 0;
}
