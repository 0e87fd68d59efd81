#include "quenlocale.h"

#include <QHash>
#include <QStringList>

namespace {

// Languages that have a translation file, by language part of the locale name.
const QHash<QString, QString>& LanguageCodes() {
  static const QHash<QString, QString> codes = {
      {QStringLiteral("cs"), QStringLiteral("csy")}, {QStringLiteral("da"), QStringLiteral("dan")},
      {QStringLiteral("en"), QStringLiteral("enu")}, {QStringLiteral("fr"), QStringLiteral("fre")},
      {QStringLiteral("de"), QStringLiteral("ger")}, {QStringLiteral("hu"), QStringLiteral("hun")},
      {QStringLiteral("it"), QStringLiteral("ita")}, {QStringLiteral("ja"), QStringLiteral("jpn")},
      {QStringLiteral("ko"), QStringLiteral("krn")}, {QStringLiteral("nl"), QStringLiteral("nld")},
      {QStringLiteral("nb"), QStringLiteral("nor")}, {QStringLiteral("nn"), QStringLiteral("nor")},
      {QStringLiteral("no"), QStringLiteral("nor")}, {QStringLiteral("pl"), QStringLiteral("plk")},
      {QStringLiteral("ru"), QStringLiteral("rus")}, {QStringLiteral("es"), QStringLiteral("spn")},
      {QStringLiteral("sv"), QStringLiteral("sve")}, {QStringLiteral("th"), QStringLiteral("tha")},
      {QStringLiteral("tr"), QStringLiteral("trk")},
  };
  return codes;
}

QString EnvValue(const char* name) { return QString::fromLocal8Bit(qgetenv(name)); }

bool IsPlainCLocale(const QString& name) {
  return name == QLatin1String("C") || name == QLatin1String("POSIX") ||
         name.startsWith(QLatin1String("C."));
}

}  // namespace

QuenLocale* QuenLocale::getInstance() {
  static QuenLocale instance;
  return &instance;
}

QString QuenLocale::codeForLocaleName(const QString& name) {
  // language[_territory][.codeset][@modifier]; "-" is accepted for "_" as well.
  QString base = name.trimmed().section(QLatin1Char('@'), 0, 0).section(QLatin1Char('.'), 0, 0);
  base.replace(QLatin1Char('-'), QLatin1Char('_'));
  const QStringList parts = base.split(QLatin1Char('_'), Qt::SkipEmptyParts);
  if (parts.isEmpty()) return QString();
  const QString language = parts.at(0).toLower();
  QStringList rest;
  for (int i = 1; i < parts.size(); ++i) rest << parts.at(i).toUpper();

  if (language == QLatin1String("zh")) {
    // Traditional script by explicit script tag or by region.
    if (rest.contains(QLatin1String("HANT")) || rest.contains(QLatin1String("TW")) ||
        rest.contains(QLatin1String("HK")) || rest.contains(QLatin1String("MO")))
      return QStringLiteral("cht");
    return QStringLiteral("chs");
  }
  if (language == QLatin1String("pt"))
    return rest.contains(QLatin1String("BR")) ? QStringLiteral("ptb") : QStringLiteral("ptg");
  return LanguageCodes().value(language);
}

QString QuenLocale::getDefaultLanguage() const {
  // The locale that governs messages: the first non-empty of LC_ALL, LC_MESSAGES, LANG.
  QString locale;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    locale = EnvValue(name);
    if (!locale.isEmpty()) break;
  }
  // LANGUAGE is a priority list, honoured (as gettext does) unless the locale is "C".
  if (!locale.isEmpty() && !IsPlainCLocale(locale)) {
    const QStringList wanted = EnvValue("LANGUAGE").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString& entry : wanted) {
      const QString code = codeForLocaleName(entry);
      if (!code.isEmpty()) return code;
    }
  }
  const QString code = codeForLocaleName(locale);
  return code.isEmpty() ? QStringLiteral("enu") : code;
}
