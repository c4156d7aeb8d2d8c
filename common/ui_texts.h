#pragma once

#include <QList>
#include <QLocale>
#include <QString>
#include <QStringList>

namespace kelv {

// The languages of the program's own windows, chosen by the "language" client
// setting with the tray menu's table: "zh", "zh-TW"/"zh-HK", "de-DE", "ja",
// "ru", "ko", compared exactly; anything else is English.
enum class UiLanguage {
    English,
    SimplifiedChinese,
    TraditionalChinese,
    German,
    Japanese,
    Russian,
    Korean
};

UiLanguage uiLanguageFromSetting(const QString &setting);

// The language the process shows its own texts in (English until set).
UiLanguage uiLanguage();
void setUiLanguage(UiLanguage language);

// The locale for dates and numbers in the process's language (the system's
// own locale for English).
QLocale uiLocale();

// The language of the program folder's settings file (conf.xml), read now.
UiLanguage settingsUiLanguage();

// Qt's own texts (standard buttons, file dialogs) in the language, from Qt's
// translations; English needs none. Returns whether they are in use.
bool useQtTranslations(UiLanguage language);

// One of the program's own texts in a language. The source is the text as the
// program has it (English, or Chinese for the firmware messages); it is given
// back unchanged in its own language and for texts without a translation.
// Place markers (%1, %2) are kept, so .arg() works on the result.
QString uiText(const QString &source, UiLanguage language);

// Every text the catalogue knows, in every language (for checks).
QList<QStringList> uiTextRows();

// The same in the process's language.
inline QString uiText(const QString &source)
{
    return uiText(source, uiLanguage());
}

} // namespace kelv
