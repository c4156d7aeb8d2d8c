// What the update service sends back: the reply body of the update check, the
// package addresses it names and the Content-Range header of a package
// download.
//
// Input: the first byte holds the flags (bit 0: interactive check, bit 1: the
// request failed, bit 2: the rest is a Content-Range value, bit 3: the rest is
// a package URL; without bits 2 and 3 the rest is the reply body).
//
// Invariants: an offer is shown only for code 0 with a ret object, type "0"
// and a deployment list; the latest-version page only for an interactive
// check; a Content-Range total is never negative; a package address is used
// only when it is https, or plain http to a loopback host (a refused one has a
// reason and a text for the user). No address names a file: the downloader
// writes each kind's package under a fixed name.

#include "tests/fuzz/fuzz_support.h"
#include "update/ps_update_downloader.h"
#include "update/update_check.h"
#include "update/update_transport.h"

#include <QHostAddress>
#include <QJsonValue>
#include <QUrl>

using namespace kelv;

namespace {

void checkAddress(const QString &text)
{
    const QUrl url(text);
    if (!updateUrlRefusal(url).isEmpty()) {
        FUZZ_CHECK(!refusedAddressMessage(url).isEmpty(), "a refused address is shown");
        return;
    }
    const QString scheme = url.scheme().toLower();
    const QString host = url.host();
    const bool loopback = host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
                          QHostAddress(host).isLoopback();
    FUZZ_CHECK(url.isValid() && !host.isEmpty(), "an accepted address names a host");
    FUZZ_CHECK(scheme == QLatin1String("https") || (scheme == QLatin1String("http") && loopback),
               "an accepted address is https, or plain http to a loopback host");
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
        checkAddress(QString::fromUtf8(rest));
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
            checkAddress(url.toString());
    }
    if (decision.action == UpdateDecision::ShowLatest)
        FUZZ_CHECK(interactive, "the latest-version page only for an interactive check");
    return 0;
}
