#include "ui/Language.h"

#include <memory>

#include <QCoreApplication>
#include <QStringList>
#include <QTranslator>

namespace quillet {

namespace {

std::unique_ptr<QTranslator>& Installed()
{
    static std::unique_ptr<QTranslator> translator;
    return translator;
}

}  // namespace

bool UseLanguage(const QString& code)
{
    std::unique_ptr<QTranslator>& installed = Installed();
    if (installed) {
        QCoreApplication::removeTranslator(installed.get());
        installed.reset();
    }
    if (code.isEmpty())
        return true;
    auto translator = std::make_unique<QTranslator>();
    // The texts are built into the program (see translations/).
    if (!translator->load(QStringLiteral(":/i18n/quillet_%1.qm").arg(code)))
        return false;
    QCoreApplication::installTranslator(translator.get());
    installed = std::move(translator);
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
