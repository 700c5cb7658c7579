#include "ui/Language.h"

#include <memory>

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QStringList>
#include <QTranslator>

namespace quillet {

namespace {

std::unique_ptr<QTranslator>& Installed()
{
    static std::unique_ptr<QTranslator> translator;
    return translator;
}

// The toolkit's own texts (standard buttons, the menus of scroll bars and
// text boxes, file dialogs) in the program's own language, where the system
// has them (Debian's qt6-translations-l10n); otherwise they stay English.
std::unique_ptr<QTranslator>& ToolkitTexts()
{
    static std::unique_ptr<QTranslator> translator;
    return translator;
}

}  // namespace

bool UseLanguage(const QString& code)
{
    for (std::unique_ptr<QTranslator>* slot : {&Installed(), &ToolkitTexts()}) {
        if (*slot) {
            QCoreApplication::removeTranslator(slot->get());
            slot->reset();
        }
    }
    if (code.isEmpty()) {
        auto toolkit = std::make_unique<QTranslator>();
        if (toolkit->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
            QCoreApplication::installTranslator(toolkit.get());
            ToolkitTexts() = std::move(toolkit);
        }
        return true;
    }
    auto translator = std::make_unique<QTranslator>();
    // The texts are built into the program (see translations/).
    if (!translator->load(QStringLiteral(":/i18n/quillet_%1.qm").arg(code)))
        return false;
    QCoreApplication::installTranslator(translator.get());
    Installed() = std::move(translator);
    return true;
}

QString LanguageAsked(QStringList& args)
{
    QString code = qEnvironmentVariable("QUILLET_LANG");
    for (int i = 1; i < args.size();) {
        const QString& a = args.at(i);
        if (a == QLatin1String("--lang") && i + 1 < args.size()) {
            code = args.at(i + 1);
            args.remove(i, 2);
        } else if (a.startsWith(QLatin1String("--lang="))) {
            code = a.mid(7);
            args.removeAt(i);
        } else {
            ++i;
        }
    }
    return code.trimmed().toLower();
}

}  // namespace quillet
