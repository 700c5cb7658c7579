#pragma once

#include <QCoreApplication>
#include <QString>

#include "capture/mdlwinsock.h"

namespace quillet {

// A failure's reason in the window's language, its places filled.
inline QString ReasonText(const Reason& why)
{
    const QString text = QCoreApplication::translate("CaptureReason", why.text.c_str());
    return QString::fromStdString(FilledReason({text.toStdString(), why.args}));
}

// A failure as the window shows it: the system's own word, then why.
inline QString FailureText(const std::string& first, const Reason& why)
{
    return QString::fromStdString(first) + QLatin1Char('\n') + ReasonText(why);
}

}  // namespace quillet
