// Shared pieces of the launcher tests: the start-up code itself (main.cpp is compiled
// into the test with its entry point renamed, so its start-up steps run in-process),
// the locale switch, and the dialog lookup.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QTranslator>
#include <cstdlib>
#include <string>

#define main launcher_main
#include "../../../ui-client/launcher/main.cpp"
#undef main

#include "launcher.h"

// Registers the translations resource; at global scope because Q_INIT_RESOURCE declares
// the initialiser in the enclosing namespace.
inline void InitTextsResource() { Q_INIT_RESOURCE(texts); }

namespace launchertest {

// Selects a user language through the environment, as a user's session would, and
// installs it the way start-up does. Undone by the destructor.
class LanguageScope {
 public:
  explicit LanguageScope(const char* locale) {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) ::unsetenv(name);
    ::setenv("LANG", locale, 1);
    translator_ = installLanguageAndFont();
  }
  ~LanguageScope() {
    if (translator_ != nullptr) {
      QCoreApplication::removeTranslator(translator_);
      delete translator_;
    }
    ::unsetenv("LANG");
  }
  bool translated() const { return translator_ != nullptr; }

 private:
  QTranslator* translator_ = nullptr;
};

inline QString LabelOf(const QProgressDialog& dialog) {
  const QLabel* label = dialog.findChild<QLabel*>();
  return label == nullptr ? QString() : label->text();
}

inline std::string Str(const QString& s) { return s.toStdString(); }

// The one progress dialog among the top-level widgets (a Launcher makes at most one).
inline ProcessingProgressDialog* FindDialog() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* d = qobject_cast<ProcessingProgressDialog*>(w)) return d;
  return nullptr;
}

}  // namespace launchertest
