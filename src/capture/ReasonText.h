#pragma once

#include <QCoreApplication>
#include <QString>

#include "capture/mdlwinsock.h"

namespace quillet {

// A failure's reason in the window's language, its places filled.
inline QString ReasonText(const Reason& why)
{
    const QString text = QCoreApplication::translate("CaptureReason", why.text.c_str());
    // One pass, so that a word that holds "%2" itself is not filled again.
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const int n = i + 1 < text.size() ? text.at(i + 1).digitValue() : -1;
        if (text.at(i) == QLatin1Char('%') && n >= 1 && static_cast<std::size_t>(n) <= why.args.size()) {
            out += QString::fromStdString(why.args[static_cast<std::size_t>(n - 1)]);
            ++i;
        } else {
            out += text.at(i);
        }
    }
    return out;
}

// A failure as the window shows it: the system's own word, then why.
inline QString FailureText(const std::string& first, const Reason& why)
{
    return QString::fromStdString(first) + QLatin1Char('\n') + ReasonText(why);
}

}  // namespace quillet
