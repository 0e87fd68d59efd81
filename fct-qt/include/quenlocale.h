// The user's interface language, as the three-letter code of a translation file.
#pragma once

#include <QString>

class QuenLocale {
 public:
  static QuenLocale* getInstance();

  // Chosen from LANGUAGE, LC_ALL, LC_MESSAGES and LANG (first non-empty wins; LANGUAGE
  // only when the locale is not "C"/"POSIX"); "enu" for anything not translated.
  QString getDefaultLanguage() const;

  // Maps one locale name ("de_DE.UTF-8", "pt_BR", "zh-TW") to its code, or "" if none.
  static QString codeForLocaleName(const QString& name);

 private:
  QuenLocale() = default;
  QuenLocale(const QuenLocale&) = delete;
  QuenLocale& operator=(const QuenLocale&) = delete;
};
