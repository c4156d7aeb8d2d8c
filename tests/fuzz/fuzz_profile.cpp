// The profile commands on arbitrary XML texts and XPath expressions: a
// profile file and a second source file with fuzzed content are loaded into
// the profile text cache, then a fuzzed sequence of commands (queries, the
// edits, export to a file and import from it, reset, save) runs on them with
// fuzzed XPaths, names, values and fragments.
//
// Invariants: a query is answered at most once; an edit answered with success
// leaves a text that reads back as XML (or, when the edit removed every
// element, one without any); an export answered with success can be read back.

#include "bridge/commands.h"
#include "bridge/dispatcher.h"
#include "bridge/members.h"
#include "bridge/profile_export.h"
#include "bridge/profile_store.h"
#include "common/xml_text.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/testsupport/fake_app_host.h"
#include "tests/testsupport/recording_callback.h"

#include <QDir>
#include <fuzzer/FuzzedDataProvider.h>
#include <pugixml.hpp>

using namespace kelv;

namespace {

const QString kProfile = QStringLiteral("Resources/profiles/fuzz.xml");
const QString kSource = QStringLiteral("Resources/profiles/source.xml");

QString text(FuzzedDataProvider &in, size_t max)
{
    const std::string bytes = in.ConsumeRandomLengthString(max);
    return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
}

// Whether a cached profile text can still be used: the program's own reader
// takes it (within the depth, node and size bounds of common/xml_text.h), or
// it holds no element at all (every element was removed on request).
bool readable(const QString &profileText, pugi::xml_parse_status *status)
{
    const QByteArray utf8 = profileText.toUtf8();
    if (utf8.size() > kMaxProfileBytes) {
        *status = pugi::status_out_of_memory;
        return false;
    }
    pugi::xml_document doc;
    const XmlLoad load = loadXml(utf8, &doc);
    if (load == XmlLoad::TooDeep || load == XmlLoad::TooManyNodes) {
        *status = pugi::status_out_of_memory;
        return false;
    }
    *status = doc.load_buffer(utf8.constData(), size_t(utf8.size()), pugi::parse_default,
                              pugi::encoding_utf8)
                  .status;
    return *status == pugi::status_ok || *status == pugi::status_no_document_element;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::init(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::resetProgramFolder();
    FuzzedDataProvider in(data, size);

    // The files as they lie on disk (any bytes: BOM, CR LF, broken UTF-8).
    const std::string profileBytes = in.ConsumeRandomLengthString(2048);
    const std::string sourceBytes = in.ConsumeRandomLengthString(1024);
    fuzz::writeSandboxFile(kProfile, QByteArray::fromStdString(profileBytes));
    fuzz::writeSandboxFile(kSource, QByteArray::fromStdString(sourceBytes));
    const QString exportFile = fuzz::sandboxFile(QStringLiteral("exports/node.pfd"));
    QDir().mkpath(fuzz::sandboxFile(QStringLiteral("exports")));

    test::FakeAppHost host(fuzz::sandbox());
    Dispatcher dispatcher;
    registerProfileCommands(dispatcher, host);
    ProfileStore &store = host.profiles();

    const int steps = in.ConsumeIntegralInRange<int>(1, 8);
    for (int step = 0; step < steps && in.remaining_bytes() > 0; ++step) {
        Members m;
        const int command = in.ConsumeIntegralInRange<int>(0, 11);
        const QString target = in.ConsumeBool() ? kProfile : kSource;
        const QString other = target == kProfile ? kSource : kProfile;
        const QString xpath = text(in, 160);
        QString name;
        switch (command) {
        case 0:
            name = QStringLiteral("queryProfile");
            m = {{"filePath", target}, {"xpath", xpath}};
            break;
        case 1:
            name = QStringLiteral("nodeCounterProfile");
            m = {{"filePath", target}, {"xpath", xpath}};
            break;
        case 2:
            name = QStringLiteral("modifyProfile");
            m = {{"filePath", target},
                 {"xpath", xpath},
                 {"attribute", text(in, 64)},
                 {"attributeValue", text(in, 64)}};
            break;
        case 3:
            name = QStringLiteral("modifyProfileEx");
            m = {{"filePath", target}, {"xpath", xpath}, {"subTreeString", text(in, 512)}};
            break;
        case 4:
            name = QStringLiteral("modifyRemoveProfile");
            m = {{"filePath", target}, {"xpath", xpath}};
            break;
        case 5:
            name = QStringLiteral("modifyAddProfile");
            m = {{"filePath", target},
                 {"xpath", xpath},
                 {"attribute", text(in, 64)},
                 {"attributeValue", text(in, 64)}};
            if (in.ConsumeBool())
                m.insert(QStringLiteral("addNodeName"), text(in, 32));
            break;
        case 6:
            name = QStringLiteral("modifyReplaceProfile");
            m = {{"srcFilePath", other},
                 {"desFilePath", target},
                 {"srcXpath", text(in, 160)},
                 {"desXpath", xpath}};
            break;
        case 7:
            name = QStringLiteral("saveXmlAs");
            m = {{"srcFilePath", target}, {"desFilePath", exportFile}, {"xpath", xpath}};
            break;
        case 8:
            name = QStringLiteral("modifyReplaceProfileEx");
            m = {{"srcFilePath", exportFile},
                 {"desFilePath", target},
                 {"srcXpath", QString()},
                 {"desXpath", xpath}};
            break;
        case 9:
            name = QStringLiteral("resetProfile");
            m = {{"srcFilePath", other}, {"desFilePath", target}};
            break;
        case 10:
            name = QStringLiteral("queryHexByte");
            m = {{"filePath", target}, {"xpath", xpath}, {"args", text(in, 64)}};
            break;
        default:
            name = QStringLiteral("savexml");
            break;
        }

        // Whether the target read as XML before this command.
        pugi::xml_parse_status before = pugi::status_ok;
        const QString targetPath = store.resolve(target, nullptr);
        const bool wasCached = store.contains(targetPath);
        const bool wasReadable = !wasCached || readable(store.text(targetPath), &before);

        const auto callback = test::RecordingCallback::create();
        dispatcher.dispatch(name, m, callback);
        FUZZ_CHECK(callback->answerCount() <= 1, "a query is answered at most once");

        const bool edit = (command >= 2 && command <= 6) || command == 8;
        if (edit && callback->answered() && callback->ok() && wasCached && wasReadable) {
            pugi::xml_parse_status after = pugi::status_ok;
            FUZZ_CHECK(readable(store.text(targetPath), &after),
                       "an edit answered with success leaves readable XML");
        }
        if (command == 7 && callback->answered() && callback->ok()) {
            QByteArray exported;
            FUZZ_CHECK(ProfileExport::readFile(exportFile, &exported),
                       "a written export file reads back");
        }
    }
    fuzz::drainEvents();
    return 0;
}
