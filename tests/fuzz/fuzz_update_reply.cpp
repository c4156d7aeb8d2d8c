// What the update service sends back: the reply body of the update check, the
// package URLs it names (which give the downloaded file its name) and the
// Content-Range header of a package download.
//
// Input: the first byte holds the flags (bit 0: interactive check, bit 1: the
// request failed, bit 2: the rest is a Content-Range value, bit 3: the rest is
// a package URL; without bits 2 and 3 the rest is the reply body).
//
// Invariants: an offer is shown only for code 0 with a ret object, type "0"
// and a deployment list; the latest-version page only for an interactive
// check; a Content-Range total is never negative; a package's file name is one
// plain name inside its kind folder.

#include "tests/fuzz/fuzz_support.h"
#include "update/ps_update_downloader.h"
#include "update/update_check.h"

#include <QJsonValue>

using namespace kelv;

namespace {

void checkFileName(const QString &url)
{
    const QString name = PsUpdateDownloader::fileNameForUrl(url);
    FUZZ_CHECK(!name.isEmpty(), "a package file has a name");
    FUZZ_CHECK(!name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')),
               "a package file name names no folder");
    FUZZ_CHECK(name != QLatin1String(".") && name != QLatin1String(".."),
               "a package file name is not the folder itself or its parent");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const bool interactive = data[0] & 1;
    const bool failed = data[0] & 2;
    const QByteArray rest(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));

    if (data[0] & 8) {
        checkFileName(QString::fromUtf8(rest));
        return 0;
    }
    if (data[0] & 4) {
        qint64 full = -1;
        if (PsUpdateDownloader::contentRangeFull(rest, &full))
            FUZZ_CHECK(full >= 0, "a total size is not negative");
        return 0;
    }

    const UpdateDecision decision =
        UpdateCheck::interpret(failed, QStringLiteral("fuzzed error"), rest, interactive);
    if (failed)
        FUZZ_CHECK(decision.action == UpdateDecision::ShowNothing && !decision.findNewVersion,
                   "a failed request shows nothing");
    if (decision.action == UpdateDecision::ShowOffer) {
        FUZZ_CHECK(decision.findNewVersion, "an offer comes with a ret object");
        FUZZ_CHECK(!decision.deployment.isEmpty(), "an offer lists what to deploy");
        FUZZ_CHECK(decision.ret.value(QLatin1String("type")).toString() == QLatin1String("0"),
                   "an offer has type 0");
    }
    for (const char *package : {"clientPackage", "devicePackage", "firmwarePackage"}) {
        const QJsonValue url = decision.ret.value(QLatin1String(package));
        if (url.isString())
            checkFileName(url.toString());
    }
    if (decision.action == UpdateDecision::ShowLatest)
        FUZZ_CHECK(interactive, "the latest-version page only for an interactive check");
    return 0;
}
