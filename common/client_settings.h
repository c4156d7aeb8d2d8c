#pragma once

#include <QMap>
#include <QString>

namespace kelv {

// The client settings: every attribute of root/client in
// Resources/profiles/conf.xml, plus the computed entries "MacAddress" and
// "IpAddress" which exist only in memory. The whole file text is kept as well
// ("settings text"); the settings commands edit it and write it back.
class ClientSettings
{
public:
    using Map = QMap<QString, QString>;

    // Reads the file. A file that cannot be opened or parsed leaves the map
    // and the text empty; the program runs on with its defaults.
    void load(const QString &path);

    QString path() const { return m_path; }
    bool isEmpty() const { return m_values.isEmpty(); }

    // The value stored under key, or the empty text when the key is absent.
    QString value(const QString &key) const { return m_values.value(key); }
    bool contains(const QString &key) const { return m_values.contains(key); }
    Map values() const { return m_values; }

    // Replaces the value of an existing key; an absent key is not created.
    bool setValue(const QString &key, const QString &value);

    QString text() const { return m_text; }
    void setText(const QString &text) { m_text = text; }

    enum class StoreResult {
        Stored,      // map, text and file hold the new value
        UnknownKey,  // no such setting: the map is unchanged, the file rewritten as it was
        NotParsed,   // the settings text does not parse: nothing changed
        NotWritten,  // the file could not be written: nothing changed, the old file is whole
        TooLarge,    // the file would exceed kMaxProfileBytes (no start could read it): nothing
                     // changed
        NotStorable, // the value holds a NUL character, which no XML attribute can hold: nothing
                     // changed
    };
    // Whether store() may add a setting the file does not have yet (the
    // program's own notes; the page's setConf changes only existing ones).
    enum class Create { Never, IfMissing };

    // Changes one setting everywhere at once: the attribute in the settings
    // text, the file (written atomically) and the map. Memory changes only
    // once the file holds the new text, so memory and disk never disagree.
    StoreResult store(const QString &key, const QString &value, Create create = Create::Never);

    // Writes the settings text to the file (atomically). Returns false when the
    // file cannot be written; the old file is then left whole.
    bool save() const;

    // The computed entries, split out so tests can check them.
    static QString firstHardwareAddress();
    static QString firstIpv4Address();

    // Serialises an XML document text with root/client's attribute key set to
    // value (an absent attribute is created only with Create::IfMissing, when
    // root/client exists); *set (when given) tells whether the document now
    // holds it. Returns false when text does not parse; *result then stays
    // untouched.
    static bool rewriteClientAttribute(const QString &text, const QString &key,
                                       const QString &value, QString *result,
                                       Create create = Create::Never, bool *set = nullptr);

private:
    QString m_path;
    Map m_values;
    QString m_text;
};

} // namespace kelv
