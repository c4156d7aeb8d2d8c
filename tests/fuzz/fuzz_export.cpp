// The profile export file reader: any bytes as an export file ("pfd"), decoded
// from memory and read from disk, then imported into a profile with the
// modifyReplaceProfileEx and queryExportFile commands.
//
// Invariants: reading the file and decoding its bytes agree; what decodes
// encodes to a file that decodes to the same text; the import is answered at
// most once and leaves the profile readable.

#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "bridge/members.h"
#include "bridge/profile_export.h"
#include "bridge/profile_store.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/testsupport/fake_app_host.h"
#include "tests/testsupport/recording_callback.h"

#include <pugixml.hpp>

using namespace kelv;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::resetProgramFolder();
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));

    QByteArray decoded;
    const bool ok = ProfileExport::decode(bytes, &decoded);
    const QString file = fuzz::writeSandboxFile(QStringLiteral("exports/in.pfd"), bytes);
    QByteArray read;
    FUZZ_CHECK(ProfileExport::readFile(file, &read) == ok, "file and memory reading agree");
    if (ok) {
        FUZZ_CHECK(read == decoded, "file and memory reading give the same text");
        QByteArray again;
        FUZZ_CHECK(ProfileExport::decode(ProfileExport::encode(decoded), &again) &&
                       again == decoded,
                   "export files round-trip");
    }

    test::FakeAppHost host(fuzz::sandbox());
    Dispatcher dispatcher;
    registerProfileCommands(dispatcher, host);
    const QString profile = QStringLiteral("Resources/profiles/configuration.xml");
    for (const char *xpath : {"/*", "//*[2]", "/*/*[1]/@*"}) {
        const auto callback = test::RecordingCallback::create();
        dispatcher.dispatch(QStringLiteral("modifyReplaceProfileEx"),
                            Members{{"srcFilePath", file},
                                    {"desFilePath", profile},
                                    {"srcXpath", QString()},
                                    {"desXpath", QLatin1String(xpath)}},
                            callback);
        FUZZ_CHECK(callback->answerCount() == 1, "an import is answered once");
        const QByteArray text =
            host.profiles().text(host.profiles().resolve(profile, nullptr)).toUtf8();
        pugi::xml_document doc;
        FUZZ_CHECK(doc.load_buffer(text.constData(), size_t(text.size())),
                   "the profile stays readable after an import");
    }
    // Read back as text: answered once, with XML that parses again.
    const auto query = test::RecordingCallback::create();
    dispatcher.dispatch(QStringLiteral("queryExportFile"), Members{{"srcFilePath", file}}, query);
    FUZZ_CHECK(query->answerCount() == 1, "reading an export file is answered once");
    if (query->ok()) {
        const QByteArray text = query->text().toUtf8();
        pugi::xml_document doc;
        FUZZ_CHECK(doc.load_buffer(text.constData(), size_t(text.size())),
                   "an export file reads back as XML");
    }
    fuzz::drainEvents();
    return 0;
}
