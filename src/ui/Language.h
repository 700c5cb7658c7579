#pragma once

#include <QString>

namespace quillet {

// Installs the texts of a language for the whole application: "en" shows
// every text in English; "" (or any language the program has no texts for)
// shows the program's own texts. Call it after the application object is
// made and before the windows are; a later call replaces the earlier one.
// Returns false when the language's texts could not be loaded (the
// program's own texts are shown then).
bool UseLanguage(const QString& code);

// The language asked for on the command line (--lang CODE or --lang=CODE,
// removed from args) or else by QUILLET_LANG; "" when neither says.
QString LanguageAsked(QStringList& args);

}  // namespace quillet
