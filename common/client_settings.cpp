#include "common/client_settings.h"

#include "common/text_file.h"
#include "common/xml_text.h"

#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>
#include <pugixml.hpp>

namespace kelv {

void ClientSettings::load(const QString &path)
{
    m_path = path;
    m_values.clear();
    m_text.clear();

    // A settings file beyond the profile bound, or nested deeper than the
    // depth bound, counts as one that does not parse: no settings. So does a
    // named pipe in its place, whose opening would hold the start for ever.
    QFile file;
    if (!openRegularFile(&file, path))
        return;
    const QByteArray bytes = file.read(kMaxProfileBytes + 1);
    file.close();
    if (bytes.size() > kMaxProfileBytes)
        return;

    const QByteArray utf8 = xmlBytesAsUtf8(bytes);
    pugi::xml_document doc;
    if (loadXml(utf8, &doc) != XmlLoad::Parsed)
        return;

    for (const pugi::xml_attribute &attribute : doc.child("root").child("client").attributes())
        m_values.insert(QString::fromUtf8(attribute.name()), QString::fromUtf8(attribute.value()));

    m_values.insert(QStringLiteral("MacAddress"), firstHardwareAddress());
    m_values.insert(QStringLiteral("IpAddress"), firstIpv4Address());

    // The text the settings commands edit is the one just parsed. Read
    // again as UTF-8, a file in UTF-16 gave a text that did not parse (no
    // setting could be changed), and so did a file replaced in between.
    m_text = decodeText(utf8);
}

bool ClientSettings::setValue(const QString &key, const QString &value)
{
    auto it = m_values.find(key);
    if (it == m_values.end())
        return false;
    it.value() = value;
    return true;
}

ClientSettings::StoreResult ClientSettings::store(const QString &key, const QString &value,
                                                  Create create)
{
    // Written as it stands, the value would end at the NUL in the file while
    // the program went on with all of it.
    if (value.contains(QChar(0)))
        return StoreResult::NotStorable;
    QString text;
    bool set = false;
    if (!rewriteClientAttribute(m_text, key, value, &text, create, &set))
        return StoreResult::NotParsed;
    // The file is read with the profile bound: a larger one would leave the
    // next start without any settings.
    if (encodeTextForDisk(text).size() > kMaxProfileBytes)
        return StoreResult::TooLarge;
    if (m_path.isEmpty() || !writeTextFile(m_path, text))
        return StoreResult::NotWritten;
    m_text = text;
    // The computed entries live in memory only.
    if (!set && !m_values.contains(key))
        return StoreResult::UnknownKey;
    m_values.insert(key, value);
    return StoreResult::Stored;
}

bool ClientSettings::save() const
{
    if (m_path.isEmpty())
        return false;
    return writeTextFile(m_path, m_text);
}

QString ClientSettings::firstHardwareAddress()
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        if (!iface.flags().testFlag(QNetworkInterface::IsLoopBack))
            return iface.hardwareAddress();
    }
    return QString();
}

QString ClientSettings::firstIpv4Address()
{
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol &&
            address != QHostAddress(QHostAddress::LocalHost))
            return address.toString();
    }
    return QString();
}

bool ClientSettings::rewriteClientAttribute(const QString &text, const QString &key,
                                            const QString &value, QString *result, Create create,
                                            bool *set)
{
    pugi::xml_document doc;
    if (!parseXmlText(text, &doc))
        return false;
    pugi::xml_node client = doc.child("root").child("client");
    const QByteArray name = key.toUtf8();
    // No attribute name holds a NUL; cut there, the name would be another one's.
    const bool validName = !name.contains('\0');
    pugi::xml_attribute attribute =
        validName ? client.attribute(name.constData()) : pugi::xml_attribute();
    if (!attribute && client && validName && create == Create::IfMissing)
        attribute = client.append_attribute(name.constData());
    // A name given twice (a hand edit) is read from its last attribute: every
    // one of that name takes the value, so the next start reads the change.
    const QByteArray utf8Value = value.toUtf8();
    for (pugi::xml_attribute same = attribute; same; same = same.next_attribute()) {
        if (name == same.name())
            same.set_value(utf8Value.constData());
    }
    if (set)
        *set = bool(attribute);
    *result = serializeXmlDocument(doc);
    return true;
}

} // namespace kelv
